// SPDX-License-Identifier: Apache-2.0
// A SAPI context of its own over the same TCTI: once ESYS has refused an answer it may refuse
// every later command, yet what the TPM holds for us must still go. Its memory is taken when the
// TPM is connected, so that a flush allocates nothing.
#pragma once

#include <tss2/tss2_sys.h>

#include <cstdint>
#include <vector>

#include "enclave/tpm.h"

namespace enclave {

class Tpm::Sapi {
 public:
  explicit Sapi(TSS2_TCTI_CONTEXT* tcti) : tcti_(tcti), storage_(Tss2_Sys_GetContextSize(0)) {}
  Sapi(const Sapi&) = delete;
  Sapi& operator=(const Sapi&) = delete;
  ~Sapi() { finalize(); }

  // A fresh context, or null: one whose last command broke off half way may refuse the next.
  TSS2_SYS_CONTEXT* start() noexcept {
    finalize();
    ready_ = Tss2_Sys_Initialize(get(), storage_.size(), tcti_, nullptr) == TSS2_RC_SUCCESS;
    return ready_ ? get() : nullptr;
  }
  TSS2_SYS_CONTEXT* get() noexcept { return reinterpret_cast<TSS2_SYS_CONTEXT*>(storage_.data()); }

 private:
  void finalize() noexcept {
    if (ready_) Tss2_Sys_Finalize(get());
    ready_ = false;
  }
  TSS2_TCTI_CONTEXT* tcti_;
  std::vector<std::uint8_t> storage_;
  bool ready_ = false;
};

}  // namespace enclave
