// SPDX-License-Identifier: Apache-2.0
// Holds SIGINT, SIGTERM and SIGHUP back while the TPM holds objects of this process. A TPM without
// a resource manager keeps what a killed process loaded until someone flushes it by hand, and a
// few such leftovers fill its slots for every later run. A held signal takes effect, with its usual
// action, as soon as the last hold goes: after the flush.
#pragma once

#include <signal.h>

namespace enclave {

class SignalHold {
 public:
  SignalHold() noexcept {
    if (depth_++ == 0) pthread_sigmask(SIG_BLOCK, &held(), &before_);
  }
  // Restores the caller's mask: a signal it blocked itself stays blocked.
  ~SignalHold() {
    if (--depth_ == 0) pthread_sigmask(SIG_SETMASK, &before_, nullptr);
  }
  SignalHold(const SignalHold&) noexcept : SignalHold() {}
  SignalHold& operator=(const SignalHold&) noexcept { return *this; }

 private:
  static const sigset_t& held() noexcept {
    static const sigset_t set = [] {
      sigset_t s;
      sigemptyset(&s);
      sigaddset(&s, SIGINT);
      sigaddset(&s, SIGTERM);
      sigaddset(&s, SIGHUP);
      return s;
    }();
    return set;
  }
  static inline int depth_ = 0;  // one thread: the tool has no others
  static inline sigset_t before_{};
};

}  // namespace enclave
