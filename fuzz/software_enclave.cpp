#include "software_enclave.h"

#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "crypto/crypto_error.h"
#include "crypto/ossl.h"
#include "enclave/enclave_error.h"
#include "enclave/key_file.h"
#include "enclave/key_templates.h"

namespace fuzzing {
namespace {

using crypto::P256::KeyAgreement::PublicKey;
using X963 = std::array<std::uint8_t, PublicKey::x963Size>;

const EC_GROUP* p256() {
  static const crypto::ossl::EcGroup group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  return group.get();
}

// d·point (the generator when point is null) as X9.63, or nothing for a scalar out of range.
std::optional<X963> multiply(const BIGNUM* d, const EC_POINT* point) {
  const crypto::ossl::EcPoint product(EC_POINT_new(p256()));
  X963 x963{};
  if (BN_is_zero(d) || BN_cmp(d, EC_GROUP_get0_order(p256())) >= 0 ||
      EC_POINT_mul(p256(), product.get(), point ? nullptr : d, point, point ? d : nullptr,
                   nullptr) != 1 ||
      EC_POINT_point2oct(p256(), product.get(), POINT_CONVERSION_UNCOMPRESSED, x963.data(),
                         x963.size(), nullptr) != x963.size()) {
    return std::nullopt;
  }
  return x963;
}

class SoftwareKey final : public sealing::EnclaveKey {
 public:
  SoftwareKey(const enclave::KeyFile& file, const X963& point)
      : file_(file), publicKey_(PublicKey::fromX963(point)) {}
  const PublicKey& publicKey() const override { return publicKey_; }
  crypto::Bytes dataRepresentation() const override { return enclave::encodeKeyFile(file_); }
  crypto::SharedSecret sharedSecretFromKeyAgreement(const PublicKey& peer) override {
    const crypto::ossl::EcPoint q(EC_POINT_new(p256()));
    const auto& x963 = peer.x963Representation();
    EC_POINT_oct2point(p256(), q.get(), x963.data(), x963.size(), nullptr);
    const std::optional<X963> z = multiply(scalar().get(), q.get());
    if (!z) throw crypto::CryptoError("stand-in ECDH");
    return crypto::SharedSecret(crypto::SecretBytes(z->begin() + 1, z->begin() + 33));
  }
  crypto::ossl::SecretBignum scalar() const {
    return crypto::ossl::SecretBignum(
        BN_bin2bn(file_.privateArea.buffer, file_.privateArea.size, nullptr));
  }

 private:
  enclave::KeyFile file_;
  PublicKey publicKey_;
};

// Parsed by the tool's own reader; a scalar that does not give the named point is another
// TPM's key, as a TPM refuses a private part that does not match its public part.
std::unique_ptr<sealing::EnclaveKey> restore(crypto::ByteView blob) {
  const enclave::KeyFile file = enclave::decodeKeyFile(blob);
  const X963 named = enclave::enclavePublicKey(file.publicArea.publicArea).x963Representation();
  const auto key = std::make_unique<SoftwareKey>(file, named);
  if (multiply(key->scalar().get(), nullptr) != named) {
    throw enclave::EnclaveError(std::string(enclave::foreignKey));
  }
  return std::make_unique<SoftwareKey>(file, named);
}

std::unique_ptr<sealing::EnclaveKey> create() {
  // A fixed scalar: a fuzz input must give the same run every time.
  enclave::KeyFile file{enclave::enclaveKeyTemplate(), {}};
  file.privateArea.size = 32;
  file.privateArea.buffer[31] = 7;
  const crypto::ossl::SecretBignum d(BN_bin2bn(file.privateArea.buffer, 32, nullptr));
  const X963 point = *multiply(d.get(), nullptr);
  file.publicArea.publicArea.unique.ecc = enclave::fromX963(point);
  return std::make_unique<SoftwareKey>(file, point);
}

}  // namespace

const sealing::KeyService& softwareKeyService() {
  static const sealing::KeyService service{create, restore};
  return service;
}

}  // namespace fuzzing
