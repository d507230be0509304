// SPDX-License-Identifier: Apache-2.0
#include "sealing/seal.h"

#include "crypto/aes_gcm.h"
#include "crypto/p256.h"
#include "sealing/base64.h"
#include "sealing/wrapping_key.h"

namespace sealing {

Sealed seal(crypto::ByteView keyBytes, const KeyService& keys) {
  // The TPM key's template stands for the access control: this chip only, no user presence.
  const std::unique_ptr<EnclaveKey> enclaveKey = keys.create();
  const crypto::P256::KeyAgreement::PrivateKey ephemeralKey;
  const crypto::SharedSecret sharedSecret =
      ephemeralKey.sharedSecretFromKeyAgreement(enclaveKey->publicKey());
  const crypto::SymmetricKey key =
      wrappingKey(sharedSecret, enclaveKey->publicKey(), ephemeralKey.publicKey());
  const crypto::AES::GCM::SealedBox box = crypto::AES::GCM::seal(keyBytes, key);
  return Sealed{
      .enclave = base64Encode(enclaveKey->dataRepresentation()),
      .ephemeral = base64Encode(ephemeralKey.publicKey().x963Representation()),
      .box = base64Encode(box.combined()),
  };
}

}  // namespace sealing
