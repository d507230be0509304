// SPDX-License-Identifier: Apache-2.0
#include "sealing/unseal.h"

#include <utility>

#include "crypto/aes_gcm.h"
#include "crypto/p256.h"
#include "sealing/base64.h"
#include "sealing/failure.h"
#include "sealing/wrapping_key.h"

namespace sealing {
namespace {

// Decodes a member and lets its text go: for a large key the box text is most of the record.
crypto::SecretBytes decodeMember(std::string& member) {
  std::optional<crypto::SecretBytes> bytes = base64Decode(std::exchange(member, {}));
  if (!bytes) throw Failure(Failure::input);
  return std::move(*bytes);
}

}  // namespace

crypto::SecretBytes unseal(Sealed sealed, const KeyService& keys) {
  // All three members are decoded before the TPM is touched.
  const crypto::SecretBytes enclaveBytes = decodeMember(sealed.enclave);
  const crypto::SecretBytes ephemeralBytes = decodeMember(sealed.ephemeral);
  const crypto::SecretBytes boxBytes = decodeMember(sealed.box);

  const std::unique_ptr<EnclaveKey> enclaveKey = keys.restore(enclaveBytes);
  const auto ephemeralKey = crypto::P256::KeyAgreement::PublicKey::fromX963(ephemeralBytes);
  const crypto::SharedSecret sharedSecret = enclaveKey->sharedSecretFromKeyAgreement(ephemeralKey);
  // Derived before the box is looked at, so a foreign key is reported as such, whatever the box.
  const crypto::SymmetricKey key = wrappingKey(sharedSecret, enclaveKey->publicKey(), ephemeralKey);
  const auto box = crypto::AES::GCM::SealedBox::fromCombined(boxBytes);
  return crypto::AES::GCM::open(box, key);
}

}  // namespace sealing
