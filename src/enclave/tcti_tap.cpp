// SPDX-License-Identifier: Apache-2.0
#include "enclave/tcti_tap.h"

#include <endian.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace enclave {
namespace {

constexpr std::size_t headerSize = 10;  // tag, size, command or response code

std::uint32_t bigEndian32(const uint8_t* p) {
  std::uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return be32toh(value);
}

}  // namespace

TctiTap::TctiTap(TSS2_TCTI_CONTEXT* inner) noexcept : common_{}, inner_(inner) {
  // Only what ESYS and SAPI call: version 1's transmit and receive. The rest stays null, which the
  // TCTI macros answer with "not implemented"; no magic, which only a TCTI's own code checks; no
  // finalize, since the owner finalizes the inner TCTI.
  common_.version = 1;
  common_.transmit = transmit;
  common_.receive = receive;
}

TctiTap& TctiTap::of(TSS2_TCTI_CONTEXT* context) noexcept {
  static_assert(offsetof(TctiTap, common_) == 0);  // ESYS holds the tap by its first member
  return *reinterpret_cast<TctiTap*>(context);
}

TSS2_RC TctiTap::transmit(TSS2_TCTI_CONTEXT* context, size_t size, const uint8_t* command) {
  TctiTap& tap = of(context);
  tap.cleanRefusal_ = false;
  return Tss2_Tcti_Transmit(tap.inner_, size, command);
}

TSS2_RC TctiTap::receive(TSS2_TCTI_CONTEXT* context, size_t* size, uint8_t* response,
                         int32_t timeout) {
  TctiTap& tap = of(context);
  const TSS2_RC rc = Tss2_Tcti_Receive(tap.inner_, size, response, timeout);
  // A TPM that did the work answers with more than a header, whatever the code field says.
  if (response != nullptr) {
    tap.cleanRefusal_ = rc == TSS2_RC_SUCCESS && *size == headerSize &&
                        bigEndian32(response + 2) == headerSize &&
                        bigEndian32(response + 6) != TPM2_RC_SUCCESS;
  }
  return rc;
}

}  // namespace enclave
