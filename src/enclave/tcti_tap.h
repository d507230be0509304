// SPDX-License-Identifier: Apache-2.0
// A pass-through TCTI in front of the real one. It tells whether the last answer was a TPM's
// clean refusal, a bare header with an error code: after anything else (a damaged or lost
// answer) an object the TPM loaded may be there without ESYS knowing it, and without a resource
// manager it would hold one of the TPM's few slots until someone flushes it by hand.
#pragma once

#include <tss2/tss2_tcti.h>
#include <tss2/tss2_tpm2_types.h>

namespace enclave {

class TctiTap {
 public:
  // inner must outlive the tap.
  explicit TctiTap(TSS2_TCTI_CONTEXT* inner) noexcept;
  TctiTap(const TctiTap&) = delete;
  TctiTap& operator=(const TctiTap&) = delete;

  TSS2_TCTI_CONTEXT* context() noexcept { return reinterpret_cast<TSS2_TCTI_CONTEXT*>(&common_); }

  bool lastWasCleanRefusal() const noexcept { return cleanRefusal_; }

 private:
  static TctiTap& of(TSS2_TCTI_CONTEXT* context) noexcept;
  static TSS2_RC transmit(TSS2_TCTI_CONTEXT* context, size_t size, const uint8_t* command);
  static TSS2_RC receive(TSS2_TCTI_CONTEXT* context, size_t* size, uint8_t* response,
                         int32_t timeout);

  TSS2_TCTI_CONTEXT_COMMON_V1 common_;  // first: ESYS sees the tap as a TCTI
  TSS2_TCTI_CONTEXT* inner_;
  bool cleanRefusal_{};
};

}  // namespace enclave
