// SPDX-License-Identifier: Apache-2.0
#include <tss2/tss2_tctildr.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>

#include "enclave/command_timeout.h"
#include "enclave/enclave_error.h"
#include "enclave/sapi.h"
#include "enclave/tpm.h"

namespace enclave {
namespace {

// The TSS's configured default, then the kernel's devices. Never the loader's own built-in
// list: it ends with simulators on localhost, where any local user could pose as the chip.
constexpr std::array<const char*, 3> systemTctis = {"default", "device:/dev/tpmrm0",
                                                    "device:/dev/tpm0"};

// The TSS logs to stderr by default, and fixes its level at first use; the front end sets this
// before anything else runs, this keeps the library quiet for any other user.
void silenceTss() { setenv("TSS2_LOG", "all+none", /*overwrite=*/true); }

std::unique_ptr<esys::Context> connect(const char* nameConf) {
  silenceTss();
  TSS2_TCTI_CONTEXT* rawTcti = nullptr;
  TSS2_RC rc{};
  {
    const CommandTimeout timeout;  // a TCTI may talk to its TPM while it starts
    rc = Tss2_TctiLdr_Initialize(nameConf, &rawTcti);
  }
  if (rc != TSS2_RC_SUCCESS) return nullptr;
  auto context = std::make_unique<esys::Context>(esys::Tcti(rawTcti));
  if (!context->initialize()) return nullptr;
  return context;
}

}  // namespace

Tpm::Tpm(std::unique_ptr<esys::Context> context)
    : context_(std::move(context)), sapi_(std::make_unique<Sapi>(context_->tap().context())) {}

Tpm::~Tpm() = default;

Tpm& Tpm::system() {
  static std::unique_ptr<Tpm> tpm;
  if (tpm) return *tpm;
  for (const char* nameConf : systemTctis) {
    if (auto context = connect(nameConf)) {
      tpm.reset(new Tpm(std::move(context)));
      return *tpm;
    }
  }
  // The usual reason on a machine with a TPM: the user is not in the device's group.
  if (access("/dev/tpmrm0", F_OK) == 0 && access("/dev/tpmrm0", R_OK | W_OK) != 0) {
    throw EnclaveError("no access to /dev/tpmrm0 (join the tss group)");
  }
  throw EnclaveError(std::string(noTpmFound));
}

}  // namespace enclave
