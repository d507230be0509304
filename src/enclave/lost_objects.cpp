// SPDX-License-Identifier: Apache-2.0
#include "enclave/sapi.h"
#include "enclave/tpm.h"

namespace enclave {

TSS2_RC Tpm::callLoading(Object& loaded, const std::function<TSS2_RC(ESYS_TR&)>& command,
                         const Ownership& ownership) {
  const SignalHold hold;  // from before the command is sent until an owner holds the object
  ESYS_TR handle = ESYS_TR_NONE;
  const TSS2_RC rc = call([&] { return command(handle); });
  if (rc == TSS2_RC_SUCCESS) {
    loaded = Object(*this, handle, ownership);
  } else if (!context_->tap().lastWasCleanRefusal()) {
    flushLost(ownership);
  }
  return rc;
}

void Tpm::flushLost(const Ownership& ownership) noexcept {
  try {
    TSS2_SYS_CONTEXT* sys = sapi_->start();
    TPMI_YES_NO more = TPM2_NO;
    TPMS_CAPABILITY_DATA loaded{};
    if (sys == nullptr || call([&] {
                            return Tss2_Sys_GetCapability(
                                sys, nullptr, TPM2_CAP_HANDLES, TPM2_TRANSIENT_FIRST,
                                TPM2_MAX_CAP_HANDLES, &more, &loaded, nullptr);
                          }) != TSS2_RC_SUCCESS) {
      return;
    }
    for (UINT32 i = 0; i < loaded.data.handles.count; ++i) {
      const TPM2_HANDLE handle = loaded.data.handles.handle[i];
      if (holdsOurs(handle, ownership)) {
        call([&] { return Tss2_Sys_FlushContext(sys, handle); });
      }
    }
  } catch (...) {
    // As for flush: nothing to report it to.
  }
}

}  // namespace enclave
