// SPDX-License-Identifier: Apache-2.0
#include "cli/process.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace cli {

void protectProcess() noexcept {
  prctl(PR_SET_DUMPABLE, 0UL, 0UL, 0UL, 0UL);  // read as unsigned long, as the kernel takes them
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);

  // Opened the wrong way round on purpose: write-only on 0, read-only on 1 and 2, so each use
  // fails with EBADF as it would on the closed descriptor.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd) _exit(1);
  }

  // A signal mask and a pending alarm survive exec: a parent's blocked SIGALRM would turn the
  // TPM time-out off for good, and its alarm ring at any point. Setting SIG_IGN drops a SIGALRM
  // already pending; the watchdog installs its handler before the first TPM command.
  alarm(0);
  std::signal(SIGALRM, SIG_IGN);
  sigset_t alarmSignal;
  sigemptyset(&alarmSignal);
  sigaddset(&alarmSignal, SIGALRM);
  sigprocmask(SIG_UNBLOCK, &alarmSignal, nullptr);

  // The TSS reads its log level once, at its first log call, whenever that comes.
  setenv("TSS2_LOG", "all+none", /*overwrite=*/true);
  std::signal(SIGPIPE, SIG_IGN);
  OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
}

}  // namespace cli
