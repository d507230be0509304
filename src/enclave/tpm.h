// SPDX-License-Identifier: Apache-2.0
// One connection to a TPM 2.0, shared by everything a process asks of the chip, and the owner of
// the transient objects it loads there.
#pragma once

#include <tss2/tss2_esys.h>

#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

#include "enclave/esys.h"
#include "enclave/ownership.h"
#include "enclave/signal_hold.h"

namespace enclave {

class Tpm;

// A command to run, held by reference: unlike std::function it never allocates, so a flush cannot
// fail for want of memory. The callable must outlive the call it is passed to.
class Command {
 public:
  template <class F>
  Command(F&& f) noexcept  // implicit, as std::function's
      : target_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        run_([](void* target) -> TSS2_RC {
          return (*static_cast<std::remove_reference_t<F>*>(target))();
        }) {
    static_assert(!std::is_same_v<std::remove_cvref_t<F>, Command>, "pass Commands by const&");
  }
  TSS2_RC operator()() const { return run_(target_); }

 private:
  void* target_;
  TSS2_RC (*run_)(void*);
};

// A transient object of ours in the TPM, flushed when the owner goes. While any exists, SIGINT,
// SIGTERM and SIGHUP are held back (SignalHold), so a killed run still flushes what it loaded.
class Object {
 public:
  Object() noexcept = default;
  Object(Tpm& tpm, ESYS_TR handle, const Ownership& ownership) noexcept;
  Object(Object&& other) noexcept { *this = std::move(other); }
  Object& operator=(Object&& other) noexcept {
    if (this != &other) {
      reset();
      tpm_ = other.tpm_;
      handle_ = std::exchange(other.handle_, ESYS_TR_NONE);
      tpmHandle_ = other.tpmHandle_;
      ownership_ = other.ownership_;
      hold_ = std::exchange(other.hold_, std::nullopt);
    }
    return *this;
  }
  ~Object() { reset(); }

  ESYS_TR get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != ESYS_TR_NONE; }
  void reset() noexcept;

 private:
  Tpm* tpm_ = nullptr;
  ESYS_TR handle_ = ESYS_TR_NONE;
  TPM2_HANDLE tpmHandle_{};         // what the flush names: ESYS may no longer answer by then
  Ownership ownership_;             // for when the TPM knows no object by that handle
  std::optional<SignalHold> hold_;  // engaged while handle_ is
};

class Tpm {
 public:
  // The machine's TPM: the TSS's configured default TCTI, then /dev/tpmrm0, then /dev/tpm0 and
  // nothing else. Connects on first use; throws EnclaveError noTpmFound when none answers, or
  // the access text when /dev/tpmrm0 is there but closed to this user.
  static Tpm& system();
  ~Tpm();

  // True when this TPM can make and use enclave keys now: P-256 with AES-128-CFB, ECDH_ZGen,
  // and a parent for them: the platform's storage root key, or an empty owner password to make
  // one. False when it lacks an algorithm; EnclaveError when the owner password is set (with no
  // platform key), when the TPM has not been started, and for other TPM failures.
  bool canSeal();

  // The platform's storage root key at 0x81000001 when it has the TCG template's form and is a
  // primary key of the owner hierarchy, else ESYS_TR_NONE. Its unique bytes cannot be checked: a
  // key made from other ones is another key. Looked up once. Never flushed: it is not ours.
  ESYS_TR platformStorageRootKey();

  ESYS_CONTEXT* esys() const noexcept { return context_->get(); }

  // Runs one ESYS call: each attempt waits at most commandTimeoutSeconds (command_timeout.h), and
  // the TPM's warnings that ask for a retry (busy, testing, slots full) are retried with a
  // growing pause for about five seconds. Returns the last return code.
  TSS2_RC call(Command command);

  // call() for a command that loads an object: returns the code and, on success, the owner of
  // the object. After any failure but the TPM's clean refusal, the object may be loaded all the
  // same; then every transient object that ownership names ours is flushed.
  TSS2_RC callLoading(Object& loaded, const std::function<TSS2_RC(ESYS_TR&)>& command,
                      const Ownership& ownership);

  // Flushes an object by its TPM handle, through a SAPI context of its own and the retry path:
  // once ESYS has refused an answer it may refuse every later command, yet what the TPM holds
  // for us must still go. If the TPM knows no such object (a handle damaged on its way to us),
  // flushes every transient object that ownership names ours. onlyIfOurs: first checks that the
  // handle holds such an object, and searches for ours if not. Closes the ESYS record too.
  void flush(TPM2_HANDLE tpmHandle, ESYS_TR handle, const Ownership& ownership,
             bool onlyIfOurs) noexcept;

 private:
  class Sapi;
  explicit Tpm(std::unique_ptr<esys::Context> context);
  bool ownerHasPassword();
  void flushLost(const Ownership& ownership) noexcept;
  bool holdsOurs(TPM2_HANDLE handle, const Ownership& ownership);
  std::unique_ptr<esys::Context> context_;
  std::unique_ptr<Sapi> sapi_;  // made with the connection: a flush allocates nothing
  bool platformKeyLookedUp_ = false;
  ESYS_TR platformKey_ = ESYS_TR_NONE;
};

}  // namespace enclave
