// The hardware key-agreement service. On Linux the Secure Enclave is the TPM 2.0: an enclave
// key is a P-256 decrypt key under the TPM's ECC storage root key, and its blob is the TPM 2.0
// Key File DER ("TSS2 PRIVATE KEY") that only the TPM which made it can load.
#pragma once

#include <optional>

#include "crypto/p256.h"
#include "crypto/secret_bytes.h"
#include "enclave/esys.h"
#include "enclave/key_file.h"
#include "enclave/tpm.h"

namespace enclave::SecureEnclave {

// Whether the system TPM (or the one given) can hold enclave keys. Never throws.
bool isAvailable();
bool isAvailable(Tpm& tpm);

namespace P256::KeyAgreement {

// A P-256 key whose private half never leaves the TPM. Owns the TPM objects it loads and
// flushes them when it goes; the Tpm must outlive it.
class PrivateKey {
 public:
  // A new key, made inside the TPM. Throws EnclaveError.
  static PrivateKey create(Tpm& tpm = Tpm::system());

  // Restores a key from its blob: parses it strictly, then loads it under a re-created parent.
  // Throws EnclaveError: malformedBlob, foreignKey, or a decoded TPM error. Without a Tpm, the
  // blob is parsed before the system TPM is looked for.
  explicit PrivateKey(crypto::ByteView dataRepresentation);
  PrivateKey(crypto::ByteView dataRepresentation, Tpm& tpm);

  PrivateKey(PrivateKey&&) noexcept = default;
  PrivateKey& operator=(PrivateKey&&) noexcept = default;

  // The blob: the TPM 2.0 Key File DER of this key.
  crypto::Bytes dataRepresentation() const;

  const crypto::P256::KeyAgreement::PublicKey& publicKey() const { return publicKey_; }

  // TPM2_ECDH_ZGen with the peer, in a salted session with the response encrypted, so the
  // secret never crosses the bus in clear. Throws EnclaveError.
  crypto::SharedSecret sharedSecretFromKeyAgreement(
      const crypto::P256::KeyAgreement::PublicKey& peer);

 private:
  PrivateKey(Tpm& tpm, const KeyFile& keyFile);
  static PrivateKey restore(crypto::ByteView dataRepresentation, Tpm* tpm);
  void load();

  Tpm* tpm_;
  KeyFile keyFile_;
  crypto::P256::KeyAgreement::PublicKey publicKey_;
  esys::Object key_;  // loaded on first use
};

}  // namespace P256::KeyAgreement
}  // namespace enclave::SecureEnclave
