// SPDX-License-Identifier: Apache-2.0
#include "cli/watchdog.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>

#include "enclave/enclave_error.h"

namespace cli {
namespace {

// Made before the alarm can ring: the handler may only write and exit. Room for the longest line.
std::array<char, std::string_view("morvane-keyvault: unsealing failed: \n").size() +
                     enclave::tpmTimeout.size()>
    line{};
std::size_t lineSize;

void ring(int) {
  [[maybe_unused]] auto written = write(STDERR_FILENO, line.data(), lineSize);
  _exit(1);
}

}  // namespace

void onTpmTimeout(std::string_view leadIn) noexcept {
  lineSize = 0;
  if (!leadIn.empty()) {
    for (const std::string_view part : {std::string_view("morvane-keyvault: "), leadIn,
                                        enclave::tpmTimeout, std::string_view("\n")}) {
      const std::size_t n = std::min(part.size(), line.size() - lineSize);
      std::copy_n(part.begin(), n, line.begin() + static_cast<std::ptrdiff_t>(lineSize));
      lineSize += n;
    }
  }
  struct sigaction action = {};
  action.sa_handler = ring;
  sigaction(SIGALRM, &action, nullptr);
}

}  // namespace cli
