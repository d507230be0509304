// SPDX-License-Identifier: Apache-2.0
#include "sealing/wrapping_key.h"

#include <algorithm>

#include "crypto/hkdf.h"

namespace sealing {

crypto::SymmetricKey wrappingKey(const crypto::SharedSecret& sharedSecret,
                                 const crypto::P256::KeyAgreement::PublicKey& enclave,
                                 const crypto::P256::KeyAgreement::PublicKey& ephemeral) {
  constexpr std::size_t pointSize = crypto::P256::KeyAgreement::PublicKey::x963Size;
  // Points are public, so the info needs no wiping container.
  std::array<std::uint8_t, 2 * pointSize> sharedInfo;
  std::ranges::copy(enclave.x963Representation(), sharedInfo.begin());
  std::ranges::copy(ephemeral.x963Representation(), sharedInfo.begin() + pointSize);
  return crypto::SymmetricKey(
      crypto::hkdfSha256(sharedSecret.bytes(), salt, sharedInfo, crypto::SymmetricKey::size));
}

}  // namespace sealing
