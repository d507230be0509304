// SPDX-License-Identifier: Apache-2.0
// Derivation of the AES-256-GCM wrapping key from one P-256 key agreement:
// HKDF-SHA-256(ikm = shared secret, salt = `salt`, info = enclave X9.63 || ephemeral X9.63).
// The enclave point always comes first, whichever side derives. Cannot fail.
#pragma once

#include <array>
#include <cstdint>

#include "crypto/aes_gcm.h"
#include "crypto/p256.h"

namespace sealing {

// "morvane keystore 2" in ASCII, no terminator.
inline constexpr auto salt = std::to_array<std::uint8_t>(
    {'m', 'o', 'r', 'v', 'a', 'n', 'e', ' ', 'k', 'e', 'y', 's', 't', 'o', 'r', 'e', ' ', '2'});

crypto::SymmetricKey wrappingKey(const crypto::SharedSecret& sharedSecret,
                                 const crypto::P256::KeyAgreement::PublicKey& enclave,
                                 const crypto::P256::KeyAgreement::PublicKey& ephemeral);

}  // namespace sealing
