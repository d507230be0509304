#include "enclave/tpm.h"

#include <tss2/tss2_tpm2_types.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "enclave/enclave_error.h"
#include "enclave/key_templates.h"

namespace enclave {
namespace {

// The TSS's configured default, then the kernel's devices. Never the loader's own built-in
// list: it ends with simulators on localhost, where any local user could pose as the chip.
constexpr std::array<const char*, 3> systemTctis = {"default", "device:/dev/tpmrm0",
                                                    "device:/dev/tpm0"};

// tpm2-tss logs warnings to stderr by default; the tool's only stderr output is its one line.
void silenceTss() { setenv("TSS2_LOG", "all+none", 1); }

std::unique_ptr<esys::Context> connect(const char* nameConf) {
  TSS2_TCTI_CONTEXT* rawTcti = nullptr;
  if (Tss2_TctiLdr_Initialize(nameConf, &rawTcti) != TSS2_RC_SUCCESS) return nullptr;
  esys::Tcti tcti(rawTcti);
  ESYS_CONTEXT* esys = nullptr;
  if (Esys_Initialize(&esys, tcti.get(), nullptr) != TSS2_RC_SUCCESS) return nullptr;
  return std::make_unique<esys::Context>(std::move(tcti), esys);
}

// A resource manager reports the TPM's codes in its own layer; compare the TPM's part.
TSS2_RC tpmCode(TSS2_RC rc) {
  const TSS2_RC layer = rc & TSS2_RC_LAYER_MASK;
  return layer == TSS2_TPM_RC_LAYER || layer == TSS2_RESMGR_TPM_RC_LAYER ? rc & ~TSS2_RC_LAYER_MASK
                                                                         : rc;
}

bool isRetryWarning(TSS2_RC rc) {
  const TSS2_RC code = tpmCode(rc);
  return code == TPM2_RC_RETRY || code == TPM2_RC_YIELDED || code == TPM2_RC_TESTING;
}

}  // namespace

Tpm::Tpm(std::unique_ptr<esys::Context> context) noexcept : context_(std::move(context)) {}

Tpm::Tpm(const std::string& tctiNameConf) {
  silenceTss();
  context_ = connect(tctiNameConf.c_str());
  if (!context_) throw EnclaveError(std::string(noTpmFound));
}

Tpm& Tpm::system() {
  static std::unique_ptr<Tpm> tpm;
  if (tpm) return *tpm;
  silenceTss();
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

TSS2_RC Tpm::call(const std::function<TSS2_RC()>& command) {
  TSS2_RC rc = command();
  if (tpmCode(rc) == TPM2_RC_INITIALIZE) {
    // A chip fresh from power-on; Startup answers INITIALIZE if someone else just started it.
    const TSS2_RC started = Esys_Startup(esys(), TPM2_SU_CLEAR);
    if (started != TSS2_RC_SUCCESS && tpmCode(started) != TPM2_RC_INITIALIZE) return started;
    rc = command();
  }
  // ESYS resubmits a few times at once; a chip still busy after that gets a little time.
  auto pause = std::chrono::milliseconds(10);
  for (int attempt = 0; attempt < 5 && isRetryWarning(rc); ++attempt) {
    std::this_thread::sleep_for(pause);
    pause *= 2;
    rc = command();
  }
  return rc;
}

bool Tpm::supportsSealing() {
  // One TestParms covers the curve and the parent's AES-128-CFB.
  TPMT_PUBLIC_PARMS parms{};
  parms.type = TPM2_ALG_ECC;
  parms.parameters.eccDetail = storageRootKeyTemplate().publicArea.parameters.eccDetail;
  if (call([&] {
        return Esys_TestParms(esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &parms);
      }) != TSS2_RC_SUCCESS) {
    return false;
  }

  TPMI_YES_NO more = TPM2_NO;
  TPMS_CAPABILITY_DATA* rawCapabilities = nullptr;
  if (call([&] {
        return Esys_GetCapability(esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                  TPM2_CAP_COMMANDS, TPM2_CC_ECDH_ZGen, 1, &more, &rawCapabilities);
      }) != TSS2_RC_SUCCESS) {
    return false;
  }
  const esys::Owned<TPMS_CAPABILITY_DATA> capabilities(rawCapabilities);
  const TPML_CCA& commands = capabilities->data.command;
  return commands.count >= 1 &&
         (commands.commandAttributes[0] & TPMA_CC_COMMANDINDEX_MASK) == TPM2_CC_ECDH_ZGen;
}

}  // namespace enclave
