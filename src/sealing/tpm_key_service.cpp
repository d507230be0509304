// SPDX-License-Identifier: Apache-2.0
#include "enclave/secure_enclave.h"
#include "sealing/key_service.h"

namespace sealing {
namespace {

class TpmKey final : public EnclaveKey {
 public:
  explicit TpmKey(enclave::SecureEnclave::P256::KeyAgreement::PrivateKey key)
      : key_(std::move(key)) {}
  const crypto::P256::KeyAgreement::PublicKey& publicKey() const override {
    return key_.publicKey();
  }
  crypto::Bytes dataRepresentation() const override { return key_.dataRepresentation(); }
  crypto::SharedSecret sharedSecretFromKeyAgreement(
      const crypto::P256::KeyAgreement::PublicKey& peer) override {
    return key_.sharedSecretFromKeyAgreement(peer);
  }

 private:
  enclave::SecureEnclave::P256::KeyAgreement::PrivateKey key_;
};

}  // namespace

const KeyService& tpmKeyService() {
  using enclave::SecureEnclave::P256::KeyAgreement::PrivateKey;
  static const KeyService service{
      [] { return std::make_unique<TpmKey>(PrivateKey::create()); },
      [](crypto::ByteView blob) { return std::make_unique<TpmKey>(PrivateKey(blob)); },
  };
  return service;
}

}  // namespace sealing
