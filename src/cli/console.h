// SPDX-License-Identifier: Apache-2.0
// The console: the only code that touches standard input, output and error.
#pragma once

#include <exception>
#include <string_view>

#include "cli/input_buffer.h"

namespace cli {

// Thrown by fail once its line is written, and caught only in main: the unwinding on its way
// there wipes every secret and flushes every TPM object. Not a std::exception, so that no
// handler for those can take it.
struct Exit {
  int status;
};

// All of standard input up to end of file, trimmed of white space and line breaks at both ends.
// Waits for data on a non-blocking descriptor as on a blocking one. Ends the run through fail if
// standard input cannot be read; throws std::bad_alloc if it does not fit in memory.
InputBuffer input();

// Writes "morvane-keyvault: <message>\n" to standard error in one write, without allocating,
// and whatever the outcome throws Exit{1}.
[[noreturn]] void fail(std::string_view message);

// The same with the lead-in ("sealing failed: ") and the error's short text, "out of memory" for
// std::bad_alloc.
[[noreturn]] void fail(std::string_view leadIn, const std::exception& error);

// Writes the line for an error that reached main, and never throws: the run ends with status 1.
void report(const std::exception* error) noexcept;

// Writes text and one line feed to standard output. Ends the run through fail if the line
// cannot be written whole, so that a caller is never told of a result it did not get.
void writeResultLine(std::string_view text);

}  // namespace cli
