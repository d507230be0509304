// SPDX-License-Identifier: Apache-2.0
// The hardware key-agreement service. On Linux the Secure Enclave is the TPM 2.0: an enclave
// key is a P-256 decrypt key under the TPM's ECC storage root key, and its blob is the TPM 2.0
// Key File DER ("TSS2 PRIVATE KEY") that only the TPM which made it can load.
#pragma once

#include "crypto/p256.h"
#include "crypto/secret_bytes.h"
#include "enclave/key_file.h"
#include "enclave/tpm.h"

namespace enclave::SecureEnclave {

// Whether the system TPM can seal now (Tpm::canSeal). Never throws.
bool isAvailable();

// The same for the seal command, which tells the user why it cannot: false when there is no
// usable TPM; EnclaveError when there is one that cannot seal (owner password, not started,
// no access).
bool canSeal();

namespace P256::KeyAgreement {

// A P-256 key whose private half never leaves the TPM. Loads itself only for the key agreement
// and flushes at once, so it holds no TPM slot between calls; the Tpm must outlive it.
class PrivateKey {
 public:
  // A new key, made inside the TPM, and proven: the blob it will be known by is loaded back
  // into the TPM, which checks the private part against the public one, before it is returned.
  // Throws EnclaveError.
  static PrivateKey create();

  // Restores a key from its blob: parses it strictly, then loads it once to prove it is this
  // TPM's. Throws EnclaveError: malformedBlob, foreignKey, or a decoded TPM error. The blob is
  // parsed before the system TPM is looked for.
  explicit PrivateKey(crypto::ByteView dataRepresentation);

  // The blob: the TPM 2.0 Key File DER of this key.
  crypto::Bytes dataRepresentation() const;

  const crypto::P256::KeyAgreement::PublicKey& publicKey() const { return publicKey_; }

  // TPM2_ECDH_ZGen on a blinded peer point (crypto::Blinding): the bus carries neither the
  // peer point nor the shared secret. Throws EnclaveError, or CryptoError invalidPoint when the
  // TPM answers with a point off the curve.
  crypto::SharedSecret sharedSecretFromKeyAgreement(
      const crypto::P256::KeyAgreement::PublicKey& peer);

 private:
  PrivateKey(Tpm& tpm, const KeyFile& keyFile);
  Object load();

  Tpm* tpm_;
  KeyFile keyFile_;
  crypto::P256::KeyAgreement::PublicKey publicKey_;
  Object loaded_;  // between the restoring load and the agreement only
};

}  // namespace P256::KeyAgreement
}  // namespace enclave::SecureEnclave
