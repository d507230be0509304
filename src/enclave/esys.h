// SPDX-License-Identifier: Apache-2.0
// Owners for tpm2-tss handles: the TCTI, the ESYS context and the buffers ESYS hands out.
// Transient TPM objects have their own owner, Tpm::Object, which flushes them.
#pragma once

#include <tss2/tss2_esys.h>
#include <tss2/tss2_tctildr.h>

#include <memory>
#include <utility>

#include "enclave/tcti_tap.h"

namespace enclave::esys {

// An ESYS output buffer. Not wiped: all it holds crossed the TPM's bus, which the blinding of the
// key agreement already treats as public.
struct FreeDeleter {
  void operator()(void* p) const noexcept { Esys_Free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, FreeDeleter>;

struct TctiDeleter {
  void operator()(TSS2_TCTI_CONTEXT* tcti) const noexcept { Tss2_TctiLdr_Finalize(&tcti); }
};
using Tcti = std::unique_ptr<TSS2_TCTI_CONTEXT, TctiDeleter>;

// An ESYS context over a tap over the loaded TCTI; torn down in the reverse order.
class Context {
 public:
  explicit Context(Tcti tcti) : tcti_(std::move(tcti)), tap_(tcti_.get()) {}
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() { Esys_Finalize(&esys_); }  // null when initialize() failed: a no-op

  // False when ESYS cannot start on the TCTI.
  bool initialize() { return Esys_Initialize(&esys_, tap_.context(), nullptr) == TSS2_RC_SUCCESS; }
  ESYS_CONTEXT* get() const noexcept { return esys_; }
  TctiTap& tap() noexcept { return tap_; }

 private:
  Tcti tcti_;
  TctiTap tap_;
  ESYS_CONTEXT* esys_ = nullptr;
};

}  // namespace enclave::esys
