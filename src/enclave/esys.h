// Owners for tpm2-tss handles: the TCTI, the ESYS context, transient objects and sessions, and
// the buffers ESYS hands out. Objects and sessions flush themselves, so no path leaves a slot
// taken in a TPM that has no resource manager.
#pragma once

#include <tss2/tss2_esys.h>
#include <tss2/tss2_tctildr.h>

#include <memory>
#include <utility>

namespace enclave::esys {

struct FreeDeleter {
  void operator()(void* p) const noexcept { Esys_Free(p); }
};

// An ESYS output buffer.
template <class T>
using Owned = std::unique_ptr<T, FreeDeleter>;

struct TctiDeleter {
  void operator()(TSS2_TCTI_CONTEXT* tcti) const noexcept { Tss2_TctiLdr_Finalize(&tcti); }
};
using Tcti = std::unique_ptr<TSS2_TCTI_CONTEXT, TctiDeleter>;

// An ESYS context and the TCTI under it; ESYS is finalized before its TCTI.
class Context {
 public:
  Context(Tcti tcti, ESYS_CONTEXT* esys) noexcept : tcti_(std::move(tcti)), esys_(esys) {}
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() {
    if (esys_ != nullptr) Esys_Finalize(&esys_);
  }
  ESYS_CONTEXT* get() const noexcept { return esys_; }

 private:
  Tcti tcti_;
  ESYS_CONTEXT* esys_;
};

// A transient object or session, flushed from the TPM when the owner goes.
class Object {
 public:
  Object() noexcept = default;
  Object(ESYS_CONTEXT* esys, ESYS_TR handle) noexcept : esys_(esys), handle_(handle) {}
  Object(Object&& other) noexcept
      : esys_(other.esys_), handle_(std::exchange(other.handle_, ESYS_TR_NONE)) {}
  Object& operator=(Object&& other) noexcept {
    if (this != &other) {
      reset();
      esys_ = other.esys_;
      handle_ = std::exchange(other.handle_, ESYS_TR_NONE);
    }
    return *this;
  }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  ~Object() { reset(); }

  ESYS_TR get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != ESYS_TR_NONE; }

  void reset() noexcept {
    if (handle_ != ESYS_TR_NONE) Esys_FlushContext(esys_, std::exchange(handle_, ESYS_TR_NONE));
  }

 private:
  ESYS_CONTEXT* esys_ = nullptr;
  ESYS_TR handle_ = ESYS_TR_NONE;
};

}  // namespace enclave::esys
