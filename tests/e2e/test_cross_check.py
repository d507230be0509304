"""Records checked against an independent implementation: the OpenSSL tpm2 provider does the
ECDH inside the TPM, python3-cryptography does P-256, HKDF-SHA-256 and AES-256-GCM. A record the
binary writes is opened by hand, and a record made by hand is opened by the binary."""

import os
import subprocess
import textwrap

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat, load_pem_public_key

from harness import BinaryTest, SoftwareTpm, b64, record_from_text, text_from_record, unb64

X962 = (Encoding.X962, PublicFormat.UncompressedPoint)


def openssl(command: str, *args: str, stdin: bytes = b"") -> bytes:
    return subprocess.run(["openssl", command, "-provider", "tpm2", "-provider", "default", *args],
                          input=stdin, stdout=subprocess.PIPE, check=True, timeout=60).stdout


def aes_for(secret: bytes, enclave_point: bytes, ephemeral_point: bytes) -> AESGCM:
    hkdf = HKDF(hashes.SHA256(), 32, b"morvane keystore 2", enclave_point + ephemeral_point)
    return AESGCM(hkdf.derive(secret))


class CrossCheck(BinaryTest):
    def test_records_open_both_ways(self):
        with SoftwareTpm():
            key = os.urandom(32)
            record = record_from_text(self.seal_key(key))
            key_pem = os.path.join(os.environ["MORVANE_TEST_TPM_DIR"], "enclave.pem")
            label, body = "TSS2 PRIVATE KEY", "\n".join(textwrap.wrap(record["enclave"], 64))
            with open(key_pem, "w") as f:
                f.write(f"-----BEGIN {label}-----\n{body}\n-----END {label}-----\n")
            enclave_key = load_pem_public_key(openssl("pkey", "-in", key_pem, "-pubout"))
            enclave_point = enclave_key.public_bytes(*X962)

            ephemeral, box = unb64(record["ephemeral"]), unb64(record["box"])
            peer = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), ephemeral)
            peer_pem = peer.public_bytes(Encoding.PEM, PublicFormat.SubjectPublicKeyInfo)
            secret = openssl("pkeyutl", "-derive", "-inkey", key_pem, "-peerkey", "/dev/stdin",
                             stdin=peer_pem)
            aes = aes_for(secret, enclave_point, ephemeral)
            self.assertEqual(aes.decrypt(box[:12], box[12:], None), key)

            key, nonce = os.urandom(1000), os.urandom(12)
            ephemeral = ec.generate_private_key(ec.SECP256R1())
            point = ephemeral.public_key().public_bytes(*X962)
            aes = aes_for(ephemeral.exchange(ec.ECDH(), enclave_key), enclave_point, point)
            record |= {"ephemeral": b64(point), "box": b64(nonce + aes.encrypt(nonce, key, None))}
            self.unseal_to(text_from_record(record), key)
