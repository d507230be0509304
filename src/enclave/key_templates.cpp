#include "enclave/key_templates.h"

#include <algorithm>
#include <array>

#include "crypto/crypto_error.h"
#include "enclave/enclave_error.h"

namespace enclave {
namespace {

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

TPM2B_PUBLIC enclaveKeyTemplate() {
  TPMT_SYM_DEF_OBJECT none{};
  none.algorithm = TPM2_ALG_NULL;
  return eccP256Template(enclaveKeyAttributes, none);
}

crypto::P256::KeyAgreement::PublicKey enclavePublicKey(const TPMT_PUBLIC& area) {
  const TPMS_ECC_PARMS& ecc = area.parameters.eccDetail;
  const TPMS_ECC_POINT& point = area.unique.ecc;
  const bool isEnclaveKey = area.type == TPM2_ALG_ECC && area.nameAlg == TPM2_ALG_SHA256 &&
                            area.objectAttributes == enclaveKeyAttributes &&
                            area.authPolicy.size == 0 && ecc.symmetric.algorithm == TPM2_ALG_NULL &&
                            ecc.scheme.scheme == TPM2_ALG_NULL &&
                            ecc.curveID == TPM2_ECC_NIST_P256 && ecc.kdf.scheme == TPM2_ALG_NULL &&
                            point.x.size == 32 && point.y.size == 32;
  if (!isEnclaveKey) throw EnclaveError(std::string(malformedBlob));

  std::array<std::uint8_t, crypto::P256::KeyAgreement::PublicKey::x963Size> x963{0x04};
  std::copy_n(point.x.buffer, 32, x963.begin() + 1);
  std::copy_n(point.y.buffer, 32, x963.begin() + 33);
  try {
    return crypto::P256::KeyAgreement::PublicKey::fromX963(x963);
  } catch (const crypto::CryptoError&) {
    throw EnclaveError(std::string(malformedBlob));
  }
}

}  // namespace enclave
