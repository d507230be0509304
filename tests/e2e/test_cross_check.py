"""Records checked against an independent implementation: the OpenSSL tpm2 provider does the
ECDH inside the TPM, python3-cryptography does P-256, HKDF-SHA-256 and AES-256-GCM. A record the
binary writes is opened by hand, and records made by hand are opened by the binary."""

import base64
import os
import subprocess
import textwrap
import unittest

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from harness import BinaryTest, SoftwareTpm, b64, record_from_text, run, text_from_record, unb64


def openssl(command: str, *args: str, stdin: bytes = b"") -> bytes:
    return subprocess.run(["openssl", command, "-provider", "tpm2", "-provider", "default", *args],
                          input=stdin, stdout=subprocess.PIPE, check=True, timeout=60).stdout


def point_of(key: ec.EllipticCurvePublicKey) -> bytes:
    return key.public_bytes(serialization.Encoding.X962,
                            serialization.PublicFormat.UncompressedPoint)


def wrapping_key(secret: bytes, enclave_point: bytes, ephemeral_point: bytes) -> bytes:
    info = enclave_point + ephemeral_point
    return HKDF(hashes.SHA256(), 32, b"morvane keystore 2", info).derive(secret)


class CrossCheck(BinaryTest):
    @classmethod
    def setUpClass(cls):
        cls.tpm = SoftwareTpm().start()
        cls.addClassCleanup(cls.tpm.stop)
        cls.key = os.urandom(32)
        cls.record = record_from_text(run("seal", stdin=base64.b64encode(cls.key)).stdout)
        cls.key_pem = os.path.join(os.environ["MORVANE_TEST_TPM_DIR"], "enclave.pem")
        body = "\n".join(textwrap.wrap(cls.record["enclave"], 64))
        with open(cls.key_pem, "w") as f:
            f.write(f"-----BEGIN TSS2 PRIVATE KEY-----\n{body}\n-----END TSS2 PRIVATE KEY-----\n")
        pub_pem = openssl("pkey", "-in", cls.key_pem, "-pubout")
        cls.enclave_key = serialization.load_pem_public_key(pub_pem)
        cls.enclave_point = point_of(cls.enclave_key)

    def test_record_of_the_binary_opens_by_hand(self):
        ephemeral, box = unb64(self.record["ephemeral"]), unb64(self.record["box"])
        peer = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), ephemeral)
        peer_pem = peer.public_bytes(serialization.Encoding.PEM,
                                     serialization.PublicFormat.SubjectPublicKeyInfo)
        secret = openssl("pkeyutl", "-derive", "-inkey", self.key_pem, "-peerkey", "/dev/stdin",
                         stdin=peer_pem)
        aes = AESGCM(wrapping_key(secret, self.enclave_point, ephemeral))
        self.assertEqual(aes.decrypt(box[:12], box[12:], None), self.key)

    def test_record_made_by_hand_opens_in_the_binary(self):
        for size in [1, 1000]:
            with self.subTest(size=size):
                key, nonce = os.urandom(size), os.urandom(12)
                ephemeral = ec.generate_private_key(ec.SECP256R1())
                ephemeral_point = point_of(ephemeral.public_key())
                secret = ephemeral.exchange(ec.ECDH(), self.enclave_key)
                aes = AESGCM(wrapping_key(secret, self.enclave_point, ephemeral_point))
                box = nonce + aes.encrypt(nonce, key, None)
                record = self.record | {"ephemeral": b64(ephemeral_point), "box": b64(box)}
                self.unseal_to(text_from_record(record), key)


if __name__ == "__main__":
    unittest.main()
