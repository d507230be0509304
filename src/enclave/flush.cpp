// SPDX-License-Identifier: Apache-2.0
#include <exception>

#include "enclave/enclave_error.h"
#include "enclave/sapi.h"
#include "enclave/tpm.h"

namespace enclave {

Object::Object(Tpm& tpm, ESYS_TR handle, const Ownership& ownership) noexcept
    : tpm_(&tpm), handle_(handle), ownership_(ownership) {
  hold_.emplace();
  Esys_TR_GetTpmHandle(tpm.esys(), handle, &tpmHandle_);
}

void Object::reset() noexcept {
  if (handle_ != ESYS_TR_NONE) {
    // On a failure path the handle may be what went wrong: damaged on its way to us, it can name
    // another program's object, so it is flushed only if it holds ours.
    tpm_->flush(tpmHandle_, std::exchange(handle_, ESYS_TR_NONE), ownership_,
                std::uncaught_exceptions() > 0);
  }
  hold_.reset();  // after the flush: a held signal may end the run here
}

void Tpm::flush(TPM2_HANDLE tpmHandle, ESYS_TR handle, const Ownership& ownership,
                bool onlyIfOurs) noexcept {
  bool lost = false;
  try {
    if (TSS2_SYS_CONTEXT* sys = sapi_->start()) {
      lost = onlyIfOurs && !holdsOurs(tpmHandle, ownership);
      const TSS2_RC rc =
          lost ? TSS2_RC_SUCCESS : call([&] { return Tss2_Sys_FlushContext(sys, tpmHandle); });
      lost = lost || isFormatOne(rc, TPM2_RC_HANDLE) || isFormatOne(rc, TPM2_RC_VALUE);
    }
  } catch (...) {
    // Nothing to report it to: the run is ending or already failing.
  }
  if (lost) flushLost(ownership);
  Esys_TR_Close(esys(), &handle);
}

}  // namespace enclave
