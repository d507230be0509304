// SPDX-License-Identifier: Apache-2.0
#include "enclave/key_templates.h"

#include <tss2/tss2_mu.h>

#include <algorithm>
#include <vector>

#include "crypto/crypto_error.h"
#include "enclave/enclave_error.h"

namespace enclave {
namespace {

constexpr std::size_t coordinateSize = 32;

// fixedTPM | fixedParent | sensitiveDataOrigin | userWithAuth | noDA | decrypt. Bound to this
// chip, no user presence, and noDA so that a chip in dictionary-attack lockout still unseals.
constexpr TPMA_OBJECT enclaveKeyAttributes =
    TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT | TPMA_OBJECT_SENSITIVEDATAORIGIN |
    TPMA_OBJECT_USERWITHAUTH | TPMA_OBJECT_NODA | TPMA_OBJECT_DECRYPT;

TPM2B_PUBLIC eccP256Template(TPMA_OBJECT attributes, const TPMT_SYM_DEF_OBJECT& symmetric) {
  TPM2B_PUBLIC result{};
  TPMT_PUBLIC& area = result.publicArea;
  area.type = TPM2_ALG_ECC;
  area.nameAlg = TPM2_ALG_SHA256;
  area.objectAttributes = attributes;
  area.parameters.eccDetail.symmetric = symmetric;
  area.parameters.eccDetail.scheme.scheme = TPM2_ALG_NULL;
  area.parameters.eccDetail.curveID = TPM2_ECC_NIST_P256;
  area.parameters.eccDetail.kdf.scheme = TPM2_ALG_NULL;
  return result;
}

// Everything but the unique point: the parts a template fixes.
bool sameParameters(const TPMT_PUBLIC& a, const TPMT_PUBLIC& b) {
  const TPMS_ECC_PARMS& x = a.parameters.eccDetail;
  const TPMS_ECC_PARMS& y = b.parameters.eccDetail;
  return a.type == b.type && a.nameAlg == b.nameAlg && a.objectAttributes == b.objectAttributes &&
         a.authPolicy.size == b.authPolicy.size && x.symmetric.algorithm == y.symmetric.algorithm &&
         (x.symmetric.algorithm == TPM2_ALG_NULL ||
          (x.symmetric.keyBits.sym == y.symmetric.keyBits.sym &&
           x.symmetric.mode.sym == y.symmetric.mode.sym)) &&
         x.scheme.scheme == y.scheme.scheme && x.curveID == y.curveID &&
         x.kdf.scheme == y.kdf.scheme;
}

void padInto(const TPM2B_ECC_PARAMETER& coordinate, std::uint8_t* out) {
  std::fill_n(out, coordinateSize - coordinate.size, 0);
  std::copy_n(coordinate.buffer, coordinate.size, out + coordinateSize - coordinate.size);
}

}  // namespace

TPM2B_PUBLIC storageRootKeyTemplate() {
  TPMT_SYM_DEF_OBJECT aes128Cfb{};
  aes128Cfb.algorithm = TPM2_ALG_AES;
  aes128Cfb.keyBits.aes = 128;
  aes128Cfb.mode.aes = TPM2_ALG_CFB;
  return eccP256Template(
      enclaveKeyAttributes | TPMA_OBJECT_RESTRICTED,  // 0x00030472, as TCG's template has it
      aes128Cfb);
}

bool isStorageRootKey(const TPMT_PUBLIC& publicArea) {
  return sameParameters(publicArea, storageRootKeyTemplate().publicArea);
}

bool samePublicArea(const TPMT_PUBLIC& a, const TPMT_PUBLIC& b) {
  const auto marshalled = [](const TPMT_PUBLIC& area) {
    std::array<std::uint8_t, sizeof(TPMT_PUBLIC)> bytes{};
    std::size_t size{};
    Tss2_MU_TPMT_PUBLIC_Marshal(&area, bytes.data(), bytes.size(), &size);
    return std::vector(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
  };
  return marshalled(a) == marshalled(b);
}

TPM2B_PUBLIC enclaveKeyTemplate() {
  TPMT_SYM_DEF_OBJECT none{};
  none.algorithm = TPM2_ALG_NULL;
  return eccP256Template(enclaveKeyAttributes, none);
}

bool toX963(const TPMS_ECC_POINT& point, std::array<std::uint8_t, 65>& x963) {
  const auto fits = [](const TPM2B_ECC_PARAMETER& c) {
    return c.size >= 1 && c.size <= coordinateSize;
  };
  if (!fits(point.x) || !fits(point.y)) return false;
  x963[0] = 0x04;
  padInto(point.x, x963.data() + 1);
  padInto(point.y, x963.data() + 1 + coordinateSize);
  return true;
}

TPMS_ECC_POINT fromX963(const std::array<std::uint8_t, 65>& x963) {
  TPMS_ECC_POINT point{};
  point.x.size = coordinateSize;
  point.y.size = coordinateSize;
  std::copy_n(x963.begin() + 1, coordinateSize, point.x.buffer);
  std::copy_n(x963.begin() + 1 + coordinateSize, coordinateSize, point.y.buffer);
  return point;
}

crypto::P256::KeyAgreement::PublicKey enclavePublicKey(const TPMT_PUBLIC& area) {
  std::array<std::uint8_t, crypto::P256::KeyAgreement::PublicKey::x963Size> x963{};
  if (!sameParameters(area, enclaveKeyTemplate().publicArea) || !toX963(area.unique.ecc, x963)) {
    throw EnclaveError(std::string(malformedBlob));
  }
  try {
    return crypto::P256::KeyAgreement::PublicKey::fromX963(x963);
  } catch (const crypto::CryptoError&) {
    throw EnclaveError(std::string(malformedBlob));
  }
}

}  // namespace enclave
