// SPDX-License-Identifier: Apache-2.0
// The watchdog's arming: every exchange with the TPM runs under alarm(), whose SIGALRM the front
// end turns into the time-out line. A hung chip can be neither waited out nor asked to flush.
#pragma once

#include <unistd.h>

namespace enclave {

inline constexpr unsigned commandTimeoutSeconds = 30;

class CommandTimeout {
 public:
  CommandTimeout() noexcept { alarm(commandTimeoutSeconds); }
  ~CommandTimeout() { alarm(0); }
  CommandTimeout(const CommandTimeout&) = delete;
  CommandTimeout& operator=(const CommandTimeout&) = delete;
};

}  // namespace enclave
