#include "enclave/sapi.h"
#include "enclave/tpm.h"

namespace enclave {

TSS2_RC Tpm::callLoading(Object& loaded, const std::function<TSS2_RC(ESYS_TR&)>& command,
                         const IsOurs& isOurs) {
  const SignalHold hold;  // from before the command is sent until an owner holds the object
  ESYS_TR handle = ESYS_TR_NONE;
  const TSS2_RC rc = call([&] { return command(handle); });
  if (rc == TSS2_RC_SUCCESS) {
    loaded = Object(*this, handle, isOurs);
  } else if (!context_->tap().lastWasCleanRefusal()) {
    flushLost(isOurs);
  }
  return rc;
}

bool Tpm::holdsOurs(Sapi& sys, TPM2_HANDLE handle, const IsOurs& isOurs) {
  TPM2B_PUBLIC publicArea{};
  TPM2B_NAME name{};
  TPM2B_NAME qualifiedName{};
  return call([&] {
           return Tss2_Sys_ReadPublic(sys.get(), handle, nullptr, &publicArea, &name,
                                      &qualifiedName, nullptr);
         }) == TSS2_RC_SUCCESS &&
         isOurs(publicArea.publicArea);
}

void Tpm::flushLost(const IsOurs& isOurs) noexcept {
  try {
    Sapi sys(context_->tap().context());
    TPMI_YES_NO more = TPM2_NO;
    TPMS_CAPABILITY_DATA loaded{};
    if (!sys || call([&] {
                  return Tss2_Sys_GetCapability(sys.get(), nullptr, TPM2_CAP_HANDLES,
                                                TPM2_TRANSIENT_FIRST, TPM2_MAX_CAP_HANDLES, &more,
                                                &loaded, nullptr);
                }) != TSS2_RC_SUCCESS) {
      return;
    }
    for (UINT32 i = 0; i < loaded.data.handles.count; ++i) {
      const TPM2_HANDLE handle = loaded.data.handles.handle[i];
      if (holdsOurs(sys, handle, isOurs)) {
        call([&] { return Tss2_Sys_FlushContext(sys.get(), handle); });
      }
    }
  } catch (...) {
    // As for flush: nothing to report it to.
  }
}

}  // namespace enclave
