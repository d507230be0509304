// SPDX-License-Identifier: Apache-2.0
#include "crypto/blinding.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>

#include <utility>

#include "crypto/crypto_error.h"

namespace crypto {
namespace {

using X963 = std::array<std::uint8_t, P256::KeyAgreement::PublicKey::x963Size>;

ossl::SecretEcPoint pointFrom(const EC_GROUP* group, const X963& x963, BN_CTX* ctx) {
  ossl::SecretEcPoint point(EC_POINT_new(group));
  if (!point) throwLibraryError("EC point");
  // Refuses points off the curve, so no invalid-curve answer is ever multiplied. No 65-byte
  // encoding names the point at infinity.
  if (EC_POINT_oct2point(group, point.get(), x963.data(), x963.size(), ctx) != 1) {
    ERR_clear_error();
    throwCryptoError(invalidPoint);
  }
  return point;
}

// scalar·point, through OpenSSL's constant-time single-point multiplication.
ossl::SecretEcPoint multiply(const EC_GROUP* group, const EC_POINT* point, const BIGNUM* scalar,
                             BN_CTX* ctx) {
  ossl::SecretEcPoint product(EC_POINT_new(group));
  if (!product || EC_POINT_mul(group, product.get(), nullptr, point, scalar, ctx) != 1) {
    throwLibraryError("EC point multiplication");
  }
  return product;
}

ossl::BnCtx newContext() {
  ossl::BnCtx ctx(BN_CTX_secure_new());  // its temporaries are cleared when it is freed
  if (!ctx) throwLibraryError("BN context");
  return ctx;
}

}  // namespace

Blinding::Blinding(const P256::KeyAgreement::PublicKey& peer, ossl::EcGroup group)
    : group_(std::move(group)), inverse_(BN_secure_new()), blinded_(peer) {
  ossl::BnCtx ctx = newContext();
  ossl::SecretBignum r(BN_secure_new());
  if (!group_ || !inverse_ || !r) throwLibraryError("EC blinding set-up");
  BN_set_flags(r.get(), BN_FLG_CONSTTIME);
  const BIGNUM* order = EC_GROUP_get0_order(group_.get());
  do {
    if (BN_priv_rand_range_ex(r.get(), order, 0, ctx.get()) != 1) throwLibraryError("EC blinding");
  } while (BN_is_zero(r.get()));
  // r^(n-2) = r⁻¹ mod n, n being prime. BN_mod_inverse's branch-free form still takes as long as
  // Euclid takes on r; a fixed-window exponentiation takes the same time for every r, as OpenSSL's
  // own ECDSA nonce inversion does. Not measured by a test: a timing test would flake.
  ossl::Bignum exponent(BN_dup(order));
  if (!exponent || BN_sub_word(exponent.get(), 2) != 1 ||
      BN_mod_exp_mont_consttime(inverse_.get(), r.get(), exponent.get(), order, ctx.get(),
                                nullptr) != 1) {
    throwLibraryError("EC blinding inverse");
  }
  BN_set_flags(inverse_.get(), BN_FLG_CONSTTIME);

  const ossl::SecretEcPoint q = pointFrom(group_.get(), peer.x963Representation(), ctx.get());
  const ossl::SecretEcPoint rq = multiply(group_.get(), q.get(), r.get(), ctx.get());
  X963 x963{};
  if (EC_POINT_point2oct(group_.get(), rq.get(), POINT_CONVERSION_UNCOMPRESSED, x963.data(),
                         x963.size(), ctx.get()) != x963.size()) {
    throwLibraryError("EC point encoding");
  }
  blinded_ = P256::KeyAgreement::PublicKey::fromX963(x963);
}

SharedSecret Blinding::unblind(const X963& answer) const {
  ossl::BnCtx ctx = newContext();
  const ossl::SecretEcPoint blindedSecret = pointFrom(group_.get(), answer, ctx.get());
  const ossl::SecretEcPoint z =
      multiply(group_.get(), blindedSecret.get(), inverse_.get(), ctx.get());
  ossl::SecretBignum x(BN_secure_new());
  SecretBytes secret(SharedSecret::size);
  if (!x ||
      EC_POINT_get_affine_coordinates(group_.get(), z.get(), x.get(), nullptr, ctx.get()) != 1 ||
      BN_bn2binpad(x.get(), secret.data(), static_cast<int>(secret.size())) != 32) {
    throwLibraryError("EC point coordinates");
  }
  return SharedSecret(std::move(secret));
}

}  // namespace crypto
