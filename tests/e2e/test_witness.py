# SPDX-License-Identifier: Apache-2.0
"""Outside witnesses, the only independent check of the record format and the wrapping key: the
OpenSSL tpm2 provider and python3-cryptography open a record the binary writes and make one it
opens. Knowing Z, the TPM bus and the binary's memory at exit show neither Z nor the key leaks."""

import os, pathlib, subprocess, tempfile, textwrap

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat, load_pem_public_key

from harness import BIN, SANITIZED, BinaryTest, SoftwareTpm, b64, record_from_text, \
    run, text_from_record, unb64
from tpm_proxy import TpmProxy

X962, SPKI = (Encoding.X962, PublicFormat.UncompressedPoint), PublicFormat.SubjectPublicKeyInfo
CANARY = os.urandom(16).hex()  # in the environment: found, it shows the search sees the memory


def openssl(command: str, *args, stdin: bytes = b"") -> bytes:
    return subprocess.run(["openssl", command, "-provider", "tpm2", "-provider", "default", *args],
                          input=stdin, stdout=subprocess.PIPE, check=True, timeout=60).stdout


def wrapping_key(secret: bytes, enclave_point: bytes, ephemeral_point: bytes) -> bytes:
    return HKDF(hashes.SHA256(), 32, b"morvane keystore 2",
                enclave_point + ephemeral_point).derive(secret)


def memory_at_exit(command, stdin: bytes, stdout=None) -> tuple:
    """The binary's memory at its last system call (a core taken by gdb), and its stdout when
    not sent to the file named by stdout."""
    with tempfile.TemporaryDirectory() as tmp:
        pathlib.Path(tmp, "in").write_bytes(stdin)
        subprocess.run(["gdb", "-nx", "-batch", "-ex", "set use-coredump-filter off", "-ex",
                        "catch syscall exit_group", "-ex",
                        f"run {command} < {tmp}/in > {stdout or tmp + '/out'}", "-ex",
                        f"gcore {tmp}/core", "-ex", "kill", BIN], capture_output=True,
                       env=os.environ | {"MORVANE_CANARY": CANARY}, check=True)
        out = b"" if stdout else pathlib.Path(tmp, "out").read_bytes()
        return pathlib.Path(tmp, "core").read_bytes(), out


def agreement(record: dict) -> tuple:
    """A record's enclave public key and point, ephemeral point, Z and wrapping key, worked out
    with the TPM's key through the OpenSSL tpm2 provider."""
    key_pem = pathlib.Path(os.environ["MORVANE_TEST_TPM_DIR"], "enclave.pem")
    key_pem.write_text("-----BEGIN TSS2 PRIVATE KEY-----\n%s\n-----END TSS2 PRIVATE KEY-----\n"
                       % "\n".join(textwrap.wrap(record["enclave"], 64)))
    enclave_key = load_pem_public_key(openssl("pkey", "-in", key_pem, "-pubout"))
    enclave_point, ephemeral = enclave_key.public_bytes(*X962), unb64(record["ephemeral"])
    peer = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), ephemeral)
    secret = openssl("pkeyutl", "-derive", "-inkey", key_pem, "-peerkey", "/dev/stdin",
                     stdin=peer.public_bytes(Encoding.PEM, SPKI))
    return enclave_key, enclave_point, ephemeral, secret, \
        wrapping_key(secret, enclave_point, ephemeral)


class Witness(BinaryTest):
    @classmethod
    def setUpClass(cls):
        cls.tpm = cls.enterClassContext(SoftwareTpm(port=2331))
        cls.proxy = TpmProxy(cls.tpm.port)
        cls.addClassCleanup(cls.proxy.close)
        cls.key = os.urandom(48)
        cls.sealed = run("seal", stdin=b64(cls.key).encode()).stdout
        cls.record = record_from_text(cls.sealed)
        cls.enclave_key, cls.enclave_point, cls.ephemeral, cls.secret, cls.wrapping_key = \
            agreement(cls.record)

    def test_records_open_both_ways(self):
        box = unb64(self.record["box"])
        self.assertEqual(AESGCM(self.wrapping_key).decrypt(box[:12], box[12:], None), self.key)
        key, nonce = os.urandom(1000), os.urandom(12)
        ephemeral = ec.generate_private_key(ec.SECP256R1())
        point = ephemeral.public_key().public_bytes(*X962)
        aes = AESGCM(wrapping_key(ephemeral.exchange(ec.ECDH(), self.enclave_key),
                                  self.enclave_point, point))
        record = self.record | {"ephemeral": b64(point),
                                "box": b64(nonce + aes.encrypt(nonce, key, None))}
        self.unseal_to(text_from_record(record), key)

    def test_the_tpm_bus_never_carries_the_shared_secret(self):
        self.proxy.wire.clear()
        self.unseal_to(self.sealed, self.key)
        # The enclave key's x-coordinate shows that the capture saw the key's load.
        needles = self.enclave_point[1:33], self.secret, self.ephemeral[1:33]
        self.assertEqual([x in self.proxy.wire for x in needles], [True, False, False])

    def test_secrets_are_wiped_on_every_path(self):
        if SANITIZED:
            self.skipTest("the sanitizers' shadow memory is too large to search")
        text = b64(self.key).encode()
        for command, stdin, stdout in [("seal", text, None), ("unseal", self.sealed, "/dev/null"),
                                       ("unseal", self.sealed, "/dev/full")]:
            with self.subTest(command, stdout=stdout):
                memory, out = memory_at_exit(command, stdin, stdout)
                # seal's own Z and wrapping key, from the record it printed
                secret, key = (self.secret, self.wrapping_key) if stdout else \
                    agreement(record_from_text(out))[3:]
                needles = {"key": self.key, "key text": text, "Z": secret, "wrapping key": key}
                # Reversed: the byte order of a BIGNUM's words on this machine.
                needles |= {name + " reversed": needle[::-1] for name, needle in needles.items()}
                needles["canary"] = CANARY.encode()
                # From byte 16: a freed block's first 16 bytes hold the allocator's links.
                self.assertEqual([name for name, needle in needles.items()
                                  if needle[16:] in memory], ["canary"])
