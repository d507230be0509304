// SPDX-License-Identifier: Apache-2.0
#include <string>

#include "enclave/enclave_error.h"
#include "enclave/key_templates.h"
#include "enclave/tpm.h"

namespace enclave {

bool Tpm::ownerHasPassword() {
  TPMI_YES_NO more = TPM2_NO;
  TPMS_CAPABILITY_DATA* raw = nullptr;
  const TSS2_RC rc = call([&] {
    return Esys_GetCapability(esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                              TPM2_CAP_TPM_PROPERTIES, TPM2_PT_PERMANENT, 1, &more, &raw);
  });
  const esys::Owned<TPMS_CAPABILITY_DATA> data(raw);
  if (rc != TSS2_RC_SUCCESS) throwTpmError("TPM2_GetCapability", rc);
  const TPML_TAGGED_TPM_PROPERTY& properties = data->data.tpmProperties;
  return properties.count >= 1 && properties.tpmProperty[0].property == TPM2_PT_PERMANENT &&
         (properties.tpmProperty[0].value & TPMA_PERMANENT_OWNERAUTHSET) != 0;
}

bool Tpm::canSeal() {
  // The platform's key, when it is there, proves the curve and AES-128-CFB: no TestParms.
  const bool hasPlatformKey = platformStorageRootKey() != ESYS_TR_NONE;
  if (!hasPlatformKey) {
    TPMT_PUBLIC_PARMS parms{};
    parms.type = TPM2_ALG_ECC;
    parms.parameters.eccDetail = storageRootKeyTemplate().publicArea.parameters.eccDetail;
    const TSS2_RC rc = call(
        [&] { return Esys_TestParms(esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &parms); });
    if (tpmCode(rc) == TPM2_RC_INITIALIZE) throwTpmError("TPM2_TestParms", rc);
    if (rc != TSS2_RC_SUCCESS) return false;
  }

  TPMI_YES_NO more = TPM2_NO;
  TPMS_CAPABILITY_DATA* raw = nullptr;
  const TSS2_RC rc = call([&] {
    return Esys_GetCapability(esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, TPM2_CAP_COMMANDS,
                              TPM2_CC_ECDH_ZGen, 1, &more, &raw);
  });
  const esys::Owned<TPMS_CAPABILITY_DATA> capabilities(raw);
  if (rc != TSS2_RC_SUCCESS) throwTpmError("TPM2_GetCapability", rc);
  const TPML_CCA& commands = capabilities->data.command;
  if (commands.count < 1 ||
      (commands.commandAttributes[0] & TPMA_CC_COMMANDINDEX_MASK) != TPM2_CC_ECDH_ZGen) {
    return false;
  }
  if (!hasPlatformKey && ownerHasPassword()) throw EnclaveError(std::string(ownerPassword));
  return true;
}

}  // namespace enclave
