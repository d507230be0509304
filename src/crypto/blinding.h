// SPDX-License-Identifier: Apache-2.0
// Blinding for a key agreement done by someone who must not learn its result: the TPM, across a
// bus anyone with the hardware can listen to. The TPM is given r·Q (r a fresh random scalar, Q
// the peer point) and answers d·r·Q; only this process, knowing r, turns that into d·Q.
// A bus listener sees r·Q and r·Z, never Z = d·Q; recovering Z from them is the Diffie–Hellman
// problem on P-256.
#pragma once

#include <openssl/obj_mac.h>

#include <array>
#include <cstdint>

#include "crypto/ossl.h"
#include "crypto/p256.h"

namespace crypto {

class Blinding {
 public:
  // Draws r in [1, n-1] from OpenSSL's private DRBG (seeded from the kernel's CSPRNG) and
  // computes r·Q in constant time. Throws CryptoError only if OpenSSL fails.
  explicit Blinding(const P256::KeyAgreement::PublicKey& peer)
      : Blinding(peer, ossl::EcGroup(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1))) {}

  // r·Q, the point to hand to the TPM.
  const P256::KeyAgreement::PublicKey& blindedPoint() const { return blinded_; }

  // The x-coordinate of r⁻¹·answer: the shared secret, if the answer is d·r·Q. Throws
  // CryptoError invalidPoint when the answer is not a point of P-256. A wrong point on the
  // curve gives a wrong secret, which the box's authentication then refuses.
  SharedSecret unblind(
      const std::array<std::uint8_t, P256::KeyAgreement::PublicKey::x963Size>& answer) const;

 private:
  Blinding(const P256::KeyAgreement::PublicKey& peer, ossl::EcGroup group);

  ossl::EcGroup group_;
  ossl::SecretBignum inverse_;  // r⁻¹ mod n; r itself is gone once r·Q is made
  P256::KeyAgreement::PublicKey blinded_;
};

}  // namespace crypto
