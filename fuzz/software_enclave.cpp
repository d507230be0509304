#include "software_enclave.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <algorithm>
#include <array>
#include <string>

#include "crypto/crypto_error.h"
#include "crypto/ossl.h"
#include "enclave/enclave_error.h"
#include "enclave/key_file.h"
#include "enclave/key_templates.h"

namespace fuzzing {
namespace {

using crypto::P256::KeyAgreement::PublicKey;

[[noreturn]] void fail(const char* what) { throw crypto::CryptoError(what); }

class SoftwareKey final : public sealing::EnclaveKey {
 public:
  // The key whose scalar is the 32 bytes given; refuses scalars out of range.
  static std::unique_ptr<SoftwareKey> fromScalar(crypto::ByteView scalar) {
    crypto::ossl::SecretBignum d(
        BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), nullptr));
    const crypto::ossl::EcGroup group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    const crypto::ossl::EcPoint point(EC_POINT_new(group.get()));
    std::array<std::uint8_t, PublicKey::x963Size> x963{};
    if (!d || BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group.get())) >= 0 ||
        EC_POINT_mul(group.get(), point.get(), d.get(), nullptr, nullptr, nullptr) != 1 ||
        EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, x963.data(),
                           x963.size(), nullptr) != x963.size()) {
      return nullptr;
    }
    crypto::ossl::ParamBld builder(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, SN_X9_62_prime256v1,
                                    0);
    OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, x963.data(),
                                     x963.size());
    OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get());
    const crypto::ossl::Params params(OSSL_PARAM_BLD_to_param(builder.get()));
    const crypto::ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) != 1) {
      fail("stand-in key import");
    }
    auto key = std::unique_ptr<SoftwareKey>(
        new SoftwareKey(crypto::ossl::Pkey(raw), PublicKey::fromX963(x963)));
    key->file_.publicArea = enclave::enclaveKeyTemplate();
    key->file_.publicArea.publicArea.unique.ecc = enclave::fromX963(x963);
    key->file_.privateArea.size = static_cast<UINT16>(scalar.size());
    std::ranges::copy(scalar, key->file_.privateArea.buffer);
    return key;
  }

  const PublicKey& publicKey() const override { return publicKey_; }
  crypto::Bytes dataRepresentation() const override { return enclave::encodeKeyFile(file_); }

  crypto::SharedSecret sharedSecretFromKeyAgreement(const PublicKey& peer) override {
    const auto& x963 = peer.x963Representation();
    crypto::ossl::ParamBld builder(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, SN_X9_62_prime256v1,
                                    0);
    OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, x963.data(),
                                     x963.size());
    const crypto::ossl::Params params(OSSL_PARAM_BLD_to_param(builder.get()));
    const crypto::ossl::PkeyCtx importCtx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* rawPeer = nullptr;
    if (!params || !importCtx || EVP_PKEY_fromdata_init(importCtx.get()) != 1 ||
        EVP_PKEY_fromdata(importCtx.get(), &rawPeer, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
      fail("stand-in peer import");
    }
    const crypto::ossl::Pkey peerKey(rawPeer);
    const crypto::ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey_.get(), nullptr));
    crypto::SecretBytes secret(crypto::SharedSecret::size);
    std::size_t length = secret.size();
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
        EVP_PKEY_derive_set_peer_ex(ctx.get(), peerKey.get(), 0) != 1 ||
        EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1 || length != secret.size()) {
      fail("stand-in ECDH");
    }
    return crypto::SharedSecret(std::move(secret));
  }

 private:
  SoftwareKey(crypto::ossl::Pkey pkey, const PublicKey& publicKey)
      : pkey_(std::move(pkey)), publicKey_(publicKey) {}
  crypto::ossl::Pkey pkey_;
  PublicKey publicKey_;
  enclave::KeyFile file_{};
};

std::unique_ptr<sealing::EnclaveKey> restore(crypto::ByteView blob) {
  const enclave::KeyFile file = enclave::decodeKeyFile(blob);
  const PublicKey named = enclave::enclavePublicKey(file.publicArea.publicArea);
  auto key =
      SoftwareKey::fromScalar(crypto::ByteView(file.privateArea.buffer, file.privateArea.size));
  if (!key || key->publicKey().x963Representation() != named.x963Representation()) {
    throw enclave::EnclaveError(std::string(enclave::foreignKey));
  }
  return key;
}

}  // namespace

const sealing::KeyService& softwareKeyService() {
  static const sealing::KeyService service{
      [] {
        // A fixed scalar: a fuzz input must give the same run every time.
        std::array<std::uint8_t, 32> scalar{};
        scalar.back() = 7;
        return std::unique_ptr<sealing::EnclaveKey>(SoftwareKey::fromScalar(scalar));
      },
      restore,
  };
  return service;
}

}  // namespace fuzzing
