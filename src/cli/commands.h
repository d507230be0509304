// SPDX-License-Identifier: Apache-2.0
// The commands that dispatch runs. Each returns the exit status of a successful run; every
// failure ends the run through fail, which throws cli::Exit.
#pragma once

namespace cli {

int runSeal();
int runUnseal();

}  // namespace cli
