#include <exception>

#include "enclave/enclave_error.h"
#include "enclave/sapi.h"
#include "enclave/tpm.h"

namespace enclave {

Object::Object(Tpm& tpm, ESYS_TR handle, IsOurs isOurs) noexcept
    : tpm_(&tpm), handle_(handle), isOurs_(std::move(isOurs)) {
  hold_.emplace();
  Esys_TR_GetTpmHandle(tpm.esys(), handle, &tpmHandle_);
}

void Object::reset() noexcept {
  if (handle_ != ESYS_TR_NONE) {
    // On a failure path the handle may be what went wrong: damaged on its way to us, it can name
    // another program's object, so it is flushed only if it holds ours.
    tpm_->flush(tpmHandle_, std::exchange(handle_, ESYS_TR_NONE), isOurs_,
                std::uncaught_exceptions() > 0);
  }
  hold_.reset();  // after the flush: a held signal may end the run here
}

void Tpm::flush(TPM2_HANDLE tpmHandle, ESYS_TR handle, const IsOurs& isOurs,
                bool onlyIfOurs) noexcept {
  bool lost = false;
  try {
    Sapi sys(context_->tap().context());
    if (sys) {
      lost = onlyIfOurs && !holdsOurs(sys, tpmHandle, isOurs);
      const TSS2_RC rc = lost ? TSS2_RC_SUCCESS
                              : call([&] { return Tss2_Sys_FlushContext(sys.get(), tpmHandle); });
      lost = lost || isFormatOne(rc, TPM2_RC_HANDLE) || isFormatOne(rc, TPM2_RC_VALUE);
    }
  } catch (...) {
    // Nothing to report it to: the run is ending or already failing.
  }
  if (lost) flushLost(isOurs);
  Esys_TR_Close(esys(), &handle);
}

}  // namespace enclave
