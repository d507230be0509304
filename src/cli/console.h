// The console: the only code that touches standard input, output and error.
#pragma once

#include <string_view>

#include "crypto/secret_bytes.h"

namespace cli {

// All of standard input up to end of file, decoded as UTF-8 (ill-formed sequences become
// U+FFFD) and trimmed of white space and line breaks at both ends. Ends the run through fail
// if standard input cannot be read at all.
crypto::SecretText input();

// Writes "morvane-keyvault: <message>\n" to standard error in one write and exits with 1.
[[noreturn]] void fail(std::string_view message);

// Writes text and one line feed to standard output. Ends the run through fail if the line
// cannot be written whole, so that a caller is never told of a result it did not get.
void writeResultLine(std::string_view text);

}  // namespace cli
