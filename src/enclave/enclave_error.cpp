// SPDX-License-Identifier: Apache-2.0
#include "enclave/enclave_error.h"

#include <tss2/tss2_rc.h>
#include <tss2/tss2_tpm2_types.h>

namespace enclave {

TSS2_RC tpmCode(TSS2_RC rc) {
  const TSS2_RC layer = rc & TSS2_RC_LAYER_MASK;
  return layer == TSS2_TPM_RC_LAYER || layer == TSS2_RESMGR_TPM_RC_LAYER ? rc & ~TSS2_RC_LAYER_MASK
                                                                         : rc;
}

bool isFormatOne(TSS2_RC rc, TSS2_RC error) {
  return (tpmCode(rc) & (TPM2_RC_FMT1 | 0x3F)) == error;
}

void throwTpmError(std::string_view command, TSS2_RC rc) {
  switch (tpmCode(rc)) {
    // The kernel starts a chip when it probes it; one that is not started was reset under the
    // platform, and whoever sends TPM2_Startup now fixes the PCR baseline. Not this tool.
    case TPM2_RC_INITIALIZE:
      throw EnclaveError(std::string(notStarted));
    case TPM2_RC_OBJECT_MEMORY:
    case TPM2_RC_SESSION_MEMORY:
    case TPM2_RC_MEMORY:
      throw EnclaveError(std::string(slotsFull));
    default:
      break;
  }
  std::string text(command);
  text += " failed: ";
  text += Tss2_RC_Decode(rc);
  throw EnclaveError(text);
}

}  // namespace enclave
