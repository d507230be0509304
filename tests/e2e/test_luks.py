"""The man page's LUKS recipe: a sealed key opens a LUKS2 volume through a pipe; a record from
another TPM fails with the tool's line first and leaves the volume as it was."""

import hashlib, os, pathlib, shutil, subprocess, tempfile, unittest

from harness import BinaryTest, SoftwareTpm

CRYPTSETUP = shutil.which("cryptsetup", path=os.environ["PATH"] + ":/usr/sbin:/sbin")
OPEN = '"$MORVANE_BIN" unseal | base64 -d | "$0" open --test-passphrase --key-file=- "$1"'
FOREIGN = b"morvane-keyvault: unsealing failed: key was not made by this TPM, or the TPM was "


@unittest.skipUnless(CRYPTSETUP, "cryptsetup not installed (apt-get install cryptsetup-bin)")
class Luks(BinaryTest):
    def test_sealed_key_opens_the_volume_on_its_tpm_only(self):
        key = os.urandom(64)
        volume = pathlib.Path(tempfile.mkdtemp(dir=os.environ["MORVANE_TEST_TPM_DIR"]), "volume")
        volume.write_bytes(bytes(20 << 20))
        subprocess.run([CRYPTSETUP, "luksFormat", "-q", "--pbkdf", "pbkdf2", "--key-file=-",
                        "--pbkdf-force-iterations", "1000", volume], input=key, check=True)
        formatted, tpm = hashlib.sha256(volume.read_bytes()).digest(), SoftwareTpm()
        with tpm:
            sealed = self.seal_key(key)
        for machine, failure in [(tpm, b""), (SoftwareTpm(), FOREIGN + b"cleared\n")]:
            with self.subTest(failure=failure), machine:
                opened = subprocess.run(["bash", "-c", OPEN, CRYPTSETUP, volume], input=sealed,
                                        capture_output=True)
                self.assertEqual(opened.returncode == 0, not failure, opened.stderr)
                self.assertTrue(opened.stderr.startswith(failure), opened.stderr)
        self.assertEqual(hashlib.sha256(volume.read_bytes()).digest(), formatted, "volume changed")
