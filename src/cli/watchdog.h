// SPDX-License-Identifier: Apache-2.0
// The end of a run whose TPM stopped answering. The TPM code bounds each command with alarm();
// when it rings, this handler writes the command's one line and ends the run with status 1: a
// hung chip can be neither waited out nor asked to flush, and the process's memory goes with it.
#pragma once

#include <string_view>

namespace cli {

// Arms the handler for this command; an empty lead-in (`available`) ends the run silently.
void onTpmTimeout(std::string_view leadIn) noexcept;

}  // namespace cli
