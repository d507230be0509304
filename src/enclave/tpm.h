// One connection to a TPM 2.0, shared by everything a process asks of the chip.
#pragma once

#include <tss2/tss2_esys.h>

#include <functional>
#include <memory>
#include <string>

#include "enclave/esys.h"

namespace enclave {

class Tpm {
 public:
  // Connects through exactly this TCTI name-conf (e.g. "swtpm:port=2331"); for tests.
  // Throws EnclaveError noTpmFound if it cannot be reached.
  explicit Tpm(const std::string& tctiNameConf);

  // The machine's TPM: the TSS's configured default TCTI, then /dev/tpmrm0, then /dev/tpm0 and
  // nothing else. Connects on first use; throws EnclaveError noTpmFound when none answers.
  static Tpm& system();

  // True when the TPM has what sealing needs: P-256, AES-128-CFB and TPM2_ECDH_ZGen.
  bool supportsSealing();

  ESYS_CONTEXT* esys() const noexcept { return context_->get(); }

  // Runs one ESYS call. A TPM that has not been started is started once (TPM2_Startup(CLEAR))
  // and the call repeated; the TPM's retry, yielded and testing warnings get a short, bounded
  // back-off. Returns the call's final return code.
  TSS2_RC call(const std::function<TSS2_RC()>& command);

 private:
  explicit Tpm(std::unique_ptr<esys::Context> context) noexcept;
  std::unique_ptr<esys::Context> context_;
};

}  // namespace enclave
