# SPDX-License-Identifier: Apache-2.0
"""morvane-keyvault-luks and its socket service on LUKS images in regular files,
which cryptsetup formats, reads and changes without device-mapper, beside a private swtpm."""

import base64, json, os, pathlib, shutil, socket, subprocess, tempfile, unittest

from harness import BIN, SoftwareTpm

TMP = os.environ["MORVANE_TEST_TPM_DIR"]
ROOT = pathlib.Path(__file__).resolve().parents[2]
LUKS = str(ROOT / "luks" / "morvane-keyvault-luks")
CRYPTSETUP = shutil.which("cryptsetup", path=os.environ["PATH"] + ":/usr/sbin:/sbin")
PASS, FAST = b"old passphrase", ["--pbkdf", "pbkdf2", "--pbkdf-force-iterations", "1000"]
CLEARED = "key was not made by this TPM, or the TPM was cleared"


def line(message: str) -> bytes:
    return b"morvane-keyvault-luks: " + message.encode() + b"\n"


def cryptsetup(*args, stdin=b"", check=True):
    return subprocess.run([CRYPTSETUP, *map(str, args)], input=stdin, capture_output=True,
                          check=check)


def overlaid(layers: dict) -> list:
    """A command prefix that runs its command with files added to folders, in a mount namespace
    of its own, so the scripts run exactly as installed: {folder: {name: (text, mode)}}."""
    mounts = []
    for folder, files in layers.items():
        layer = tempfile.mkdtemp(dir=TMP)
        for name, (text, mode) in files.items():
            path = pathlib.Path(layer, name)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text), path.chmod(mode)
        mounts.append(f"mount -t overlay overlay -o lowerdir={layer}:{folder} {folder}")
    return ["unshare", "--mount", "sh", "-c", " && ".join(mounts) + ' && exec "$@"', "-"]


@unittest.skipUnless(CRYPTSETUP, "cryptsetup not installed (apt-get install cryptsetup-bin)")
class Luks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        bin_dir = tempfile.mkdtemp(dir=TMP)
        os.symlink(BIN, os.path.join(bin_dir, "morvane-keyvault"))
        os.symlink(CRYPTSETUP, os.path.join(bin_dir, "cryptsetup"))
        cls.env = os.environ | {"PATH": f"{bin_dir}:{ROOT / 'luks'}:{os.environ['PATH']}"}

    def setUp(self):
        self.tpm = self.enterContext(SoftwareTpm())

    def run_luks(self, *args, stdin=b""):
        return subprocess.run([LUKS, *map(str, args)], input=stdin, capture_output=True,
                              env=self.env, timeout=120)

    def volume(self, kind="luks2"):
        path = pathlib.Path(tempfile.mkdtemp(dir=TMP), "volume")
        path.touch(), os.truncate(path, 20 << 20)
        cryptsetup("luksFormat", "-q", "--type", kind, *FAST, "--key-file=-", path, stdin=PASS)
        return path

    def header(self, path):
        dump = json.loads(cryptsetup("luksDump", "--dump-json-metadata", path).stdout)
        return sorted(dump["keyslots"]), dump["tokens"]

    def opens(self, path, key, slot=None):
        slot = ["--key-slot", str(slot)] if slot is not None else []
        return cryptsetup("open", "--test-passphrase", *slot, "--key-file=-", path, stdin=key,
                          check=False).returncode == 0

    def assert_fails(self, result, message):
        self.assertEqual((result.returncode, result.stdout, result.stderr), (1, b"", line(message)))

    def bind(self, path):
        self.assertEqual(self.run_luks("bind", path, "--key-file", "-", stdin=PASS).returncode, 0)

    def test_bind_list_key_unbind(self):
        path = self.volume()
        pass_file = pathlib.Path(TMP, "pass")
        pass_file.write_bytes(PASS)
        self.assertEqual(
            [self.run_luks("bind", path, *how, stdin=PASS).stdout
             for how in (["--key-file", "-"], ["--key-file", pass_file])],
            [b"token 0: keyslot 1, bound\n", b"token 1: keyslot 2, bound\n"])
        self.assertEqual(self.run_luks("list", path).stdout,
                         b"token 0: keyslot 1, bound\ntoken 1: keyslot 2, bound\n")
        key = self.run_luks("key", path)
        self.assertEqual((key.returncode, len(key.stdout), key.stderr), (0, 88, b""))
        self.assertEqual(base64.b64encode(base64.b64decode(key.stdout, validate=True)), key.stdout)
        self.assertTrue(self.opens(path, key.stdout, slot=1))
        self.assertEqual(self.run_luks("unbind", path, 0).stdout, b"token 0: keyslot 1, removed\n")
        self.assertEqual(self.run_luks("unbind", path).stdout, b"token 1: keyslot 2, removed\n")
        self.assertEqual(self.header(path), (["0"], {}))
        self.assertTrue(self.opens(path, PASS))

    def test_refusals_leave_the_volume_alone(self):
        bound, luks1, plain = self.volume(), self.volume("luks1"), pathlib.Path(TMP, "plain")
        plain.write_bytes(bytes(1 << 20))
        self.bind(bound)
        cryptsetup("luksKillSlot", "-q", bound, 0)
        other = self.volume()
        for args, stdin, message in [
                (["bind", luks1], PASS, f"{luks1} is LUKS1, which has no tokens; convert it first:"
                 f" cryptsetup convert --type luks2 {luks1}"),
                (["bind", other, "--key-file", "-"], b"wrong",
                 f"cannot add a keyslot to {other}: No key available with this passphrase."),
                (["unbind", bound], b"", f"refusing to remove the last keyslot of {bound}; add a"
                 f" passphrase first (cryptsetup luksAddKey {bound})"),
                (["list", luks1], b"", f"{luks1} is LUKS1, which has no tokens; convert it first:"
                 f" cryptsetup convert --type luks2 {luks1}"),
                (["key", other], b"", f"{other} has no binding to this TPM (none listed by:"
                 f" morvane-keyvault-luks list {other})")]:
            with self.subTest(args=args):
                before = [self.header(path) for path in (bound, other)]
                self.assert_fails(self.run_luks(*args, stdin=stdin), message)
                self.assertEqual([self.header(path) for path in (bound, other)], before)
        self.assertEqual(self.run_luks("list", plain).returncode, 1)

    def test_half_done_binding_is_settled(self):
        # The states a stopped bind leaves, made by hand: the token written, then perhaps the
        # keyslot added (ours), or taken since by someone else's passphrase.
        key = base64.b64encode(os.urandom(64))
        sealed = subprocess.run([BIN, "seal"], input=key, capture_output=True, check=True).stdout
        token = {"type": "morvane-keyvault", "keyslots": [], "keyslot": "1",
                 "sealed": sealed.decode().strip()}
        bound = "token {}: keyslot {}, bound\n".format
        for added, then, left, listed in [
                (None, "bind", ["0", "1"], bound(0, 1)),
                (key, "bind", ["0", "1", "2"], bound(0, 1) + bound(1, 2)),
                (b"someone's", "bind", ["0", "1", "2"], bound(0, 2)),
                (key, "unbind", ["0"], ""), (b"someone's", "unbind", ["0", "1"], "")]:
            with self.subTest(added=added, then=then):
                path = self.volume()
                cryptsetup("token", "import", "--json-file=-", path,
                           stdin=json.dumps(token).encode())
                if added:
                    self.add_key(path, added)
                self.assertEqual(self.run_luks("list", path).stdout,
                                 b"token 0: keyslot 1, half-done\n")
                result = self.run_luks(then, path, "--key-file", "-", stdin=PASS) \
                    if then == "bind" else self.run_luks(then, path, 0)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual((self.header(path)[0], self.run_luks("list", path).stdout),
                                 (left, listed.encode()))
                self.assertEqual(self.opens(path, b"someone's", slot=1), added == b"someone's")

    def add_key(self, path, key):
        pass_fd, key_fd = os.pipe(), os.pipe()
        for (_, w), data in ((pass_fd, PASS), (key_fd, key)):
            os.write(w, data), os.close(w)
        subprocess.run([CRYPTSETUP, "luksAddKey", *FAST, "--key-slot", "1",
                        f"--key-file=/dev/fd/{pass_fd[0]}", path, f"/dev/fd/{key_fd[0]}"],
                       pass_fds=[pass_fd[0], key_fd[0]], check=True, capture_output=True)
        os.close(pass_fd[0]), os.close(key_fd[0])

    def test_key_fails_in_one_line(self):
        path = self.volume()
        self.bind(path)
        _, tokens = self.header(path)
        damaged = tokens["0"] | {"sealed": tokens["0"]["sealed"][:-8] + "AAAAAAA="}
        damaged_path = self.volume()
        cryptsetup("token", "import", "--json-file=-", damaged_path,
                   stdin=json.dumps(damaged | {"keyslots": ["0"], "keyslot": "0"}).encode())
        self.assert_fails(self.run_luks("key", damaged_path),
                          "token 0: expected a sealed key on stdin")
        self.tpm.stop()
        self.assert_fails(self.run_luks("key", path), "token 0: unsealing failed: no TPM found")
        with SoftwareTpm():
            self.assert_fails(self.run_luks("key", path), f"token 0: unsealing failed: {CLEARED}")
        self.tpm.start()

    def test_serve_answers_the_volume_that_asks(self):
        path = self.volume()
        self.bind(path)
        key = self.run_luks("key", path).stdout
        crypttab = (f"# name source key options\nother /dev/null none\nvault {path} "
                    f"/run/morvane-keyvault/luks.sock luks\n", 0o644)
        hosts = (pathlib.Path("/etc/hosts").read_text(), 0o644)  # the namespace's, for swtpm
        prefix = overlaid({"/etc": {"crypttab": crypttab, "hosts": hosts}})
        for peer, output, stderr in [
                (b"\0a1b2c3/cryptsetup/vault", key, b""),
                (b"\0a1b2c3/cryptsetup/missing", b"", line("volume missing is not in /etc/crypttab")),
                (None, b"", line("the peer is not systemd-cryptsetup asking for a volume"))]:
            with self.subTest(peer=peer), socket.socket(socket.AF_UNIX) as server, \
                    socket.socket(socket.AF_UNIX) as client:
                server.bind(os.path.join(tempfile.mkdtemp(dir=TMP), "luks.sock")), server.listen()
                if peer:
                    client.bind(peer)
                client.connect(server.getsockname())
                connection, _ = server.accept()
                with connection:  # as systemd's Accept=yes with StandardInput=socket hands it on
                    result = subprocess.run([*prefix, LUKS, "serve"], stdin=connection,
                                            stdout=connection, stderr=subprocess.PIPE,
                                            env=self.env, timeout=120)
                client.shutdown(socket.SHUT_WR)
                self.assertEqual((result.returncode == 0, client.makefile("rb").read(),
                                  result.stderr), (not stderr, output, stderr))
