// SPDX-License-Identifier: Apache-2.0
#include <algorithm>
#include <chrono>
#include <thread>

#include "enclave/command_timeout.h"
#include "enclave/enclave_error.h"
#include "enclave/tpm.h"

namespace enclave {
namespace {

// Warnings after which the same command may well succeed: the TPM was busy or testing itself,
// or its slots were full of other programs' objects (parallel runs without a resource manager).
bool isWorthRetrying(TSS2_RC rc) {
  switch (tpmCode(rc)) {
    case TPM2_RC_RETRY:
    case TPM2_RC_YIELDED:
    case TPM2_RC_TESTING:
    case TPM2_RC_OBJECT_MEMORY:
    case TPM2_RC_SESSION_MEMORY:
    case TPM2_RC_MEMORY:
      return true;
    default:
      return false;
  }
}

}  // namespace

TSS2_RC Tpm::call(Command command) {
  using std::chrono::milliseconds;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  auto pause = milliseconds(10);
  for (;;) {
    TSS2_RC rc{};
    {
      const CommandTimeout timeout;
      rc = command();
    }
    if (!isWorthRetrying(rc) || std::chrono::steady_clock::now() + pause > giveUp) return rc;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, milliseconds(500));
  }
}

}  // namespace enclave
