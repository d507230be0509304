// SPDX-License-Identifier: Apache-2.0
#include "crypto/p256.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>

#include <algorithm>
#include <string>
#include <utility>

#include "crypto/crypto_error.h"

namespace crypto {

namespace {

ossl::Params keyParams(ByteView x963) {
  ossl::ParamBld builder(OSSL_PARAM_BLD_new());
  if (!builder ||
      OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME,
                                      SN_X9_62_prime256v1, 0) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, x963.data(),
                                       x963.size()) != 1) {
    throwLibraryError("EC parameter building");
  }
  ossl::Params params(OSSL_PARAM_BLD_to_param(builder.get()));
  if (!params) throwLibraryError("EC parameter building");
  return params;
}

// Builds a P-256 public key from a point. Returns null when OpenSSL refuses
// the point: not on the curve, or at infinity. P-256 has cofactor 1, so the quick check is the
// whole check; the full one adds a scalar multiplication by the order that proves nothing more.
ossl::Pkey keyFromData(ByteView x963) {
  ossl::Params params = keyParams(x963);
  ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) throwLibraryError("EC key import");
  EVP_PKEY* raw = nullptr;
  const bool imported = EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) == 1;
  ossl::Pkey key(raw);
  if (!imported) {
    ERR_clear_error();  // the point's fault, not the library's
    return nullptr;
  }
  ossl::PkeyCtx checkCtx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!checkCtx) throwLibraryError("EC key check");
  if (EVP_PKEY_public_check_quick(checkCtx.get()) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  return key;
}

P256::KeyAgreement::PublicKey exportPublicKey(const EVP_PKEY* key) {
  std::array<std::uint8_t, P256::KeyAgreement::PublicKey::x963Size> x963{};
  std::size_t length{};
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, x963.data(),
                                      x963.size(), &length) != 1) {
    throwLibraryError("EC public key export");
  }
  if (length != x963.size())
    throwCryptoError("OpenSSL EC public key export failed: not uncompressed");
  return P256::KeyAgreement::PublicKey::fromX963(x963);
}

ossl::Pkey generateKey() {
  ossl::Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", SN_X9_62_prime256v1));
  if (!key) throwLibraryError("EC key generation");
  return key;
}

}  // namespace

SharedSecret::SharedSecret(SecretBytes bytes) : bytes_(std::move(bytes)) {
  if (bytes_.size() != size) throwCryptoError(incorrectKeySize);
}

namespace P256::KeyAgreement {

PublicKey PublicKey::fromX963(ByteView x963) {
  if (x963.size() != x963Size) throwCryptoError(incorrectKeySize);
  // Only the uncompressed form: OpenSSL would also take the hybrid one. It refuses a coordinate of
  // p or more itself, which would name the same point as its reduction: a second encoding.
  if (x963[0] != 0x04 || !keyFromData(x963)) throwCryptoError(invalidPoint);
  std::array<std::uint8_t, x963Size> bytes{};
  std::copy(x963.begin(), x963.end(), bytes.begin());
  return PublicKey(bytes);
}

// pkey_ is declared before publicKey_, so it is ready when the point is exported.
PrivateKey::PrivateKey() : pkey_(generateKey()), publicKey_(exportPublicKey(pkey_.get())) {}

SharedSecret PrivateKey::sharedSecretFromKeyAgreement(const PublicKey& peer) const {
  // Every PublicKey passed the full check when it was built: a refusal here is OpenSSL's, and
  // leaves a null that setting the peer refuses.
  ossl::Pkey peerKey = keyFromData(peer.x963Representation());
  ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey_.get(), nullptr));  // null: refused
  SecretBytes secret(SharedSecret::size);
  std::size_t length = secret.size();
  if (EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_derive_set_peer_ex(ctx.get(), peerKey.get(), 0) != 1 ||
      EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1 || length != secret.size()) {
    throwLibraryError("ECDH");
  }
  return SharedSecret(std::move(secret));
}

}  // namespace P256::KeyAgreement
}  // namespace crypto
