// Helpers for tests that run under scripts/with-test-tpm, beside a fresh, unstarted swtpm on
// 127.0.0.1:2321 that is reachable only through one connection at a time (no resource
// manager). Tpm::system() holds that connection until the process ends, so a test that needs a
// second connection, or an outside program, must not touch Tpm::system().
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "crypto/p256.h"
#include "enclave/tpm.h"

namespace testtpm {

constexpr int mainPort = 2321;

// "swtpm:host=127.0.0.1,port=<port>".
std::string tctiFor(int port);

// The run's scratch directory (MORVANE_TEST_TPM_DIR). Throws if the run has none.
std::filesystem::path scratchDir();

// One more swtpm, our child: starts on 127.0.0.1:port (control port+1) with its state in
// stateDir (made if missing; kept, so a later instance there is the same TPM after a power
// cycle) and waits until it listens. Throws std::runtime_error if it does not come up. Stopped
// when the owner goes.
class Swtpm {
 public:
  Swtpm(int port, const std::filesystem::path& stateDir);
  Swtpm(const Swtpm&) = delete;
  Swtpm& operator=(const Swtpm&) = delete;
  ~Swtpm();

  std::string tcti() const { return tctiFor(port_); }

 private:
  int port_;
  pid_t pid_ = -1;
};

// The transient objects and the loaded and saved sessions the TPM holds now.
std::vector<TPM2_HANDLE> liveHandles(enclave::Tpm& tpm);

crypto::SecretBytes bytesOf(const crypto::SharedSecret& secret);

// A whole file's bytes; empty if it cannot be read.
crypto::Bytes readFile(const std::filesystem::path& path);

}  // namespace testtpm
