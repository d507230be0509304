// SPDX-License-Identifier: Apache-2.0
// The entry: one command word, one command, one exit status.
#pragma once

#include <string>
#include <vector>

namespace cli {

// The command-line arguments without the program path; only the first is ever read.
using Args = std::vector<std::string>;

// Runs the command named by args[0] and returns the exit status, or ends the run through fail.
int dispatch(const Args& args);

}  // namespace cli
