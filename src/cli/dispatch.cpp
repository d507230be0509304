// SPDX-License-Identifier: Apache-2.0
#include "cli/dispatch.h"

#include <array>
#include <string_view>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/watchdog.h"
#include "enclave/secure_enclave.h"

namespace cli {
namespace {

constexpr std::string_view usage = "usage: morvane-keyvault available | seal | unseal";

// Answers by exit status alone.
int runAvailable() {
  onTpmTimeout({});
  return enclave::SecureEnclave::isAvailable() ? 0 : 1;
}

struct Command {
  std::string_view word;
  int (*run)();
};

constexpr std::array<Command, 3> commands = {{
    {"available", runAvailable},
    {"seal", runSeal},
    {"unseal", runUnseal},
}};

}  // namespace

int dispatch(const Args& args) {
  if (args.empty()) fail(usage);
  // Whole-word, case-sensitive: "Seal", " seal" and "sea" are not commands.
  for (const Command& command : commands) {
    if (args.front() == command.word) return command.run();
  }
  fail(usage);
}

}  // namespace cli
