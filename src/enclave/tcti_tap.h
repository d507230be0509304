// A pass-through TCTI in front of the real one. It remembers the handle of an object the TPM
// reports loaded, so that an object whose answer ESYS then refuses (a damaged response) can still
// be flushed: without a resource manager it would hold one of the TPM's few slots until a reboot.
#pragma once

#include <tss2/tss2_tcti.h>
#include <tss2/tss2_tpm2_types.h>

#include <optional>

namespace enclave {

class TctiTap {
 public:
  // inner must outlive the tap.
  explicit TctiTap(TSS2_TCTI_CONTEXT* inner) noexcept;
  TctiTap(const TctiTap&) = delete;
  TctiTap& operator=(const TctiTap&) = delete;

  TSS2_TCTI_CONTEXT* context() noexcept { return reinterpret_cast<TSS2_TCTI_CONTEXT*>(&common_); }

  // The handle the last TPM2_CreatePrimary or TPM2_Load answered with success, once.
  std::optional<TPM2_HANDLE> takeLoaded() noexcept;

 private:
  static TctiTap& of(TSS2_TCTI_CONTEXT* context) noexcept;
  static TSS2_RC transmit(TSS2_TCTI_CONTEXT* context, size_t size, const uint8_t* command);
  static TSS2_RC receive(TSS2_TCTI_CONTEXT* context, size_t* size, uint8_t* response,
                         int32_t timeout);

  TSS2_TCTI_CONTEXT_COMMON_V2 common_;  // first: ESYS sees the tap as a TCTI
  TSS2_TCTI_CONTEXT* inner_;
  TPM2_CC command_ = 0;
  std::optional<TPM2_HANDLE> loaded_;
};

}  // namespace enclave
