// A SAPI context of its own over the same TCTI: once ESYS has refused an answer it may refuse
// every later command, yet what the TPM holds for us must still go.
#pragma once

#include <tss2/tss2_sys.h>

#include <cstdint>
#include <vector>

#include "enclave/tpm.h"

namespace enclave {

class Tpm::Sapi {
 public:
  explicit Sapi(TSS2_TCTI_CONTEXT* tcti) : storage_(Tss2_Sys_GetContextSize(0)) {
    ready_ = Tss2_Sys_Initialize(get(), storage_.size(), tcti, nullptr) == TSS2_RC_SUCCESS;
  }
  Sapi(const Sapi&) = delete;
  Sapi& operator=(const Sapi&) = delete;
  ~Sapi() {
    if (ready_) Tss2_Sys_Finalize(get());
  }
  explicit operator bool() const noexcept { return ready_; }
  TSS2_SYS_CONTEXT* get() noexcept { return reinterpret_cast<TSS2_SYS_CONTEXT*>(storage_.data()); }

 private:
  std::vector<std::uint8_t> storage_;
  bool ready_ = false;
};

}  // namespace enclave
