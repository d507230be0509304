"""Records checked with an independent implementation: the OpenSSL tpm2 provider does the ECDH
inside the TPM, python3-cryptography does P-256, HKDF-SHA-256 and AES-256-GCM. Records the binary
writes are opened by hand, and records made by hand are opened by the binary."""

import base64
import os
import subprocess
import tempfile
import textwrap
import unittest

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from harness import SoftwareTpm, b64, member_bytes, record_from_text, run, text_from_record

SALT = b"morvane keystore 2"
LOADABLE_KEY_OID = bytes.fromhex("06 06 67 81 05 0a 01 03")  # 2.23.133.10.1.3
OWNER_HIERARCHY = 0x40000001
# fixedTPM | fixedParent | sensitiveDataOrigin | userWithAuth | noDA | decrypt
ENCLAVE_KEY_ATTRIBUTES = 0x00020472
TPM_ALG_NULL, TPM_ALG_ECDH, TPM_ALG_ECC, TPM_ALG_SHA256, TPM_ECC_NIST_P256 = 0x10, 0x19, 0x23, 0xB, 3
PROVIDERS = ["-provider", "tpm2", "-provider", "default"]


def der_items(data: bytes) -> list:
    """The (tag, contents) of consecutive DER items filling data exactly."""
    items, i = [], 0
    while i < len(data):
        tag, length = data[i], data[i + 1]
        i += 2
        if length & 0x80:
            count = length & 0x7F
            length = int.from_bytes(data[i:i + count], "big")
            i += count
        if i + length > len(data):
            raise ValueError("DER item overruns its container")
        items.append((tag, data[i:i + length]))
        i += length
    return items


class TpmReader:
    """Reads big-endian TPM marshalling front to back."""

    def __init__(self, data: bytes):
        self.data, self.at = data, 0

    def take(self, n: int) -> bytes:
        if self.at + n > len(self.data):
            raise ValueError("TPM structure ends early")
        self.at += n
        return self.data[self.at - n:self.at]

    def u16(self) -> int:
        return int.from_bytes(self.take(2), "big")

    def u32(self) -> int:
        return int.from_bytes(self.take(4), "big")

    def tpm2b(self) -> bytes:
        return self.take(self.u16())


def parse_public_area(tpm2b_public: bytes) -> dict:
    """The fields of an ECC TPM2B_PUBLIC that matter here."""
    outer = TpmReader(tpm2b_public)
    r = TpmReader(outer.tpm2b())
    if outer.at != len(tpm2b_public):
        raise ValueError("bytes after TPM2B_PUBLIC")
    area = {"type": r.u16(), "nameAlg": r.u16(), "attributes": r.u32(), "authPolicy": r.tpm2b()}
    area["symmetric"] = r.u16()
    if area["symmetric"] != TPM_ALG_NULL:
        r.take(4)
    area["scheme"] = r.u16()
    if area["scheme"] != TPM_ALG_NULL:
        r.take(2)
    area["curve"] = r.u16()
    area["kdf"] = r.u16()
    if area["kdf"] != TPM_ALG_NULL:
        r.take(2)
    x, y = r.tpm2b(), r.tpm2b()
    area["point"] = b"\x04" + x + y
    if r.at != len(r.data):
        raise ValueError("bytes after TPMT_PUBLIC")
    return area


def pem(label: str, der: bytes) -> bytes:
    body = "\n".join(textwrap.wrap(base64.b64encode(der).decode(), 64))
    return f"-----BEGIN {label}-----\n{body}\n-----END {label}-----\n".encode()


def public_key(point: bytes) -> ec.EllipticCurvePublicKey:
    return ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), point)


def x963(key: ec.EllipticCurvePublicKey) -> bytes:
    return key.public_bytes(serialization.Encoding.X962,
                            serialization.PublicFormat.UncompressedPoint)


def wrapping_key(shared_secret: bytes, enclave_point: bytes, ephemeral_point: bytes) -> bytes:
    return HKDF(hashes.SHA256(), 32, SALT, enclave_point + ephemeral_point).derive(shared_secret)


class CrossCheck(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tpm = SoftwareTpm().start()
        cls.work = tempfile.mkdtemp(prefix="cross-", dir=os.environ["MORVANE_TEST_TPM_DIR"])
        cls.key = os.urandom(32)
        sealed = run("seal", stdin=base64.b64encode(cls.key)).stdout
        cls.record = record_from_text(sealed)
        cls.blob, cls.ephemeral, cls.box = member_bytes(cls.record)
        cls.key_pem = os.path.join(cls.work, "enclave.pem")
        with open(cls.key_pem, "wb") as f:
            f.write(pem("TSS2 PRIVATE KEY", cls.blob))

    @classmethod
    def tearDownClass(cls):
        cls.tpm.stop()

    def openssl(self, *args: str) -> bytes:
        proc = subprocess.run(["openssl", args[0], *PROVIDERS, *args[1:]], capture_output=True,
                              timeout=60)
        if proc.returncode != 0:
            self.fail(f"openssl {' '.join(args)} failed ({proc.returncode}):\n"
                      f"{proc.stderr.decode(errors='replace')}")
        return proc.stdout

    def enclave_point(self) -> bytes:
        pub_pem = self.openssl("pkey", "-in", self.key_pem, "-pubout")
        return x963(serialization.load_pem_public_key(pub_pem))

    def tpm_ecdh(self, peer_point: bytes) -> bytes:
        """ECDH of the enclave key (inside the TPM, through the tpm2 provider) with a peer."""
        peer_pem = os.path.join(self.work, "peer.pem")
        with open(peer_pem, "wb") as f:
            f.write(public_key(peer_point).public_bytes(
                serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
        return self.openssl("pkeyutl", "-derive", "-inkey", self.key_pem, "-peerkey", peer_pem)

    def test_blob_is_a_tpm2_key_file_of_a_p256_decrypt_key(self):
        [(tag, body)] = der_items(self.blob)
        self.assertEqual(tag, 0x30)
        items = der_items(body)
        self.assertEqual([t for t, _ in items], [0x06, 0xA0, 0x02, 0x04, 0x04])
        self.assertEqual(bytes([0x06, len(items[0][1])]) + items[0][1], LOADABLE_KEY_OID)
        self.assertEqual(items[1][1], b"\x01\x01\xff", "emptyAuth TRUE in canonical DER")
        self.assertEqual(int.from_bytes(items[2][1], "big"), OWNER_HIERARCHY)
        area = parse_public_area(items[3][1])
        self.assertEqual(area["type"], TPM_ALG_ECC)
        self.assertEqual(area["nameAlg"], TPM_ALG_SHA256)
        self.assertEqual(hex(area["attributes"]), hex(ENCLAVE_KEY_ATTRIBUTES))
        self.assertEqual(area["authPolicy"], b"")
        self.assertEqual(area["symmetric"], TPM_ALG_NULL)
        self.assertIn(area["scheme"], (TPM_ALG_NULL, TPM_ALG_ECDH))
        self.assertEqual((area["curve"], area["kdf"]), (TPM_ECC_NIST_P256, TPM_ALG_NULL))
        public_key(area["point"])  # on the curve
        self.assertEqual(area["point"], self.enclave_point())

    def test_binary_record_opens_by_hand(self):
        enclave_point = self.enclave_point()
        secret = self.tpm_ecdh(self.ephemeral)
        self.assertEqual(len(secret), 32)
        key = wrapping_key(secret, enclave_point, self.ephemeral)
        self.assertEqual(AESGCM(key).decrypt(self.box[:12], self.box[12:], None), self.key)

    def test_record_made_by_hand_opens_in_the_binary(self):
        enclave_point = self.enclave_point()
        for size in [0, 1, 32, 1000]:
            with self.subTest(size=size):
                chosen = os.urandom(size)
                ephemeral = ec.generate_private_key(ec.SECP256R1())
                ephemeral_point = x963(ephemeral.public_key())
                secret = ephemeral.exchange(ec.ECDH(), public_key(enclave_point))
                self.assertEqual(self.tpm_ecdh(ephemeral_point), secret)
                nonce = os.urandom(12)
                box = nonce + AESGCM(wrapping_key(secret, enclave_point, ephemeral_point)).encrypt(
                    nonce, chosen, None)
                record = {"enclave": self.record["enclave"], "ephemeral": b64(ephemeral_point),
                          "box": b64(box)}
                self.assertEqual(run("unseal", stdin=text_from_record(record)),
                                 (0, base64.b64encode(chosen) + b"\n", b""))

    def test_blob_with_true_written_as_the_provider_writes_it(self):
        blob = self.blob.replace(b"\xa0\x03\x01\x01\xff", b"\xa0\x03\x01\x01\x01", 1)
        self.assertNotEqual(blob, self.blob)
        record = self.record | {"enclave": b64(blob)}
        self.assertEqual(run("unseal", stdin=text_from_record(record)),
                         (0, base64.b64encode(self.key) + b"\n", b""))


if __name__ == "__main__":
    unittest.main()
