#!/usr/bin/python3
"""Writes wrapping_key.txt: known answers for the wrapping-key derivation, computed with
python3-cryptography (an implementation independent of the tool's OpenSSL code).

Deterministic: the scalars come from SHA-256 of fixed labels, so a re-run gives the same file.
Run by hand (/usr/bin/python3 make_wrapping_key_vectors.py > wrapping_key.txt), never by the
build.
"""
import hashlib

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

SALT = b"morvane keystore 2"
ORDER = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551


def private_key(label):
    scalar = int.from_bytes(hashlib.sha256(label.encode()).digest(), "big") % (ORDER - 1) + 1
    return ec.derive_private_key(scalar, ec.SECP256R1())


def x963(key):
    return key.public_key().public_bytes(
        serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)


def scalar_bytes(key):
    return key.private_numbers().private_value.to_bytes(32, "big")


def vector(enclave, ephemeral, comment):
    shared = ephemeral.exchange(ec.ECDH(), enclave.public_key())
    assert shared == enclave.exchange(ec.ECDH(), ephemeral.public_key())
    info = x963(enclave) + x963(ephemeral)
    key = HKDF(algorithm=hashes.SHA256(), length=32, salt=SALT, info=info).derive(shared)
    print(f"# {comment}")
    for name, value in [("enclaveScalar", scalar_bytes(enclave)),
                        ("ephemeralScalar", scalar_bytes(ephemeral)),
                        ("sharedSecret", shared), ("enclavePoint", x963(enclave)),
                        ("ephemeralPoint", x963(ephemeral)), ("wrappingKey", key)]:
        print(f"{name} = {value.hex()}")
    print()


def main():
    print("# HKDF-SHA-256(ikm = sharedSecret, salt = \"morvane keystore 2\",")
    print("#   info = enclavePoint || ephemeralPoint, L = 32), by make_wrapping_key_vectors.py.")
    print()
    for n in range(3):
        vector(private_key(f"enclave {n}"), private_key(f"ephemeral {n}"), f"pair {n}")
    # A shared secret with a leading zero byte: the raw x-coordinate keeps all 32 bytes.
    n = 0
    while True:
        enclave, ephemeral = private_key(f"enclave z{n}"), private_key(f"ephemeral z{n}")
        if ephemeral.exchange(ec.ECDH(), enclave.public_key())[0] == 0:
            vector(enclave, ephemeral, f"pair z{n}: shared secret begins with 00")
            break
        n += 1


if __name__ == "__main__":
    main()
