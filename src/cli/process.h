// SPDX-License-Identifier: Apache-2.0
// What the process does for itself before it reads anything or touches the TSS or OpenSSL, in
// the manner of OpenSSH's agent. Cannot fail in a way the run could report: a step the system
// refuses is left out, except filling a closed standard descriptor, without which the run ends
// with status 1 at once.
#pragma once

namespace cli {

// No core file and no ptrace attach by the user's other processes; closed descriptors 0-2
// filled so nothing the tool opens lands there, yet reading a closed stdin or writing a closed
// stdout or stderr still fails; TSS logging off; SIGPIPE ignored, so a closed pipe is a write
// error; OpenSSL's configuration never loaded, so openssl.cnf and OPENSSL_CONF cannot put another
// provider in charge of the tool's cryptography.
void protectProcess() noexcept;

}  // namespace cli
