#include "enclave/tpm.h"

#include <tss2/tss2_mu.h>
#include <tss2/tss2_sys.h>
#include <tss2/tss2_tpm2_types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "enclave/enclave_error.h"
#include "enclave/key_templates.h"

namespace enclave {
namespace {

// The TSS's configured default, then the kernel's devices. Never the loader's own built-in
// list: it ends with simulators on localhost, where any local user could pose as the chip.
constexpr std::array<const char*, 3> systemTctis = {"default", "device:/dev/tpmrm0",
                                                    "device:/dev/tpm0"};

constexpr TPM2_HANDLE platformStorageRootKeyHandle = 0x81000001;

// The TSS logs to stderr by default, and fixes its level at first use; the front end sets this
// before anything else runs, this keeps the library quiet for any other user.
void silenceTss() { setenv("TSS2_LOG", "all+none", /*overwrite=*/true); }

std::unique_ptr<esys::Context> connect(const char* nameConf) {
  silenceTss();
  TSS2_TCTI_CONTEXT* rawTcti = nullptr;
  alarm(Tpm::commandTimeoutSeconds);  // a TCTI may talk to its TPM while it starts
  const TSS2_RC rc = Tss2_TctiLdr_Initialize(nameConf, &rawTcti);
  alarm(0);
  if (rc != TSS2_RC_SUCCESS) return nullptr;
  auto context = std::make_unique<esys::Context>(esys::Tcti(rawTcti));
  if (!context->initialize()) return nullptr;
  return context;
}

// Warnings after which the same command may well succeed: the TPM was busy or testing itself,
// or its slots were full of other programs' objects (parallel runs without a resource manager).
bool isWorthRetrying(TSS2_RC rc) {
  switch (tpmCode(rc)) {
    case TPM2_RC_RETRY:
    case TPM2_RC_YIELDED:
    case TPM2_RC_TESTING:
    case TPM2_RC_OBJECT_MEMORY:
    case TPM2_RC_SESSION_MEMORY:
    case TPM2_RC_MEMORY:
      return true;
    default:
      return false;
  }
}

// The public area ESYS recorded for a key handle: its serialized form is the key's TPM handle,
// name and resource type, then the TPM2B_PUBLIC.
std::optional<TPMT_PUBLIC> recordedPublicArea(ESYS_CONTEXT* esys, ESYS_TR handle) {
  std::uint8_t* raw = nullptr;
  std::size_t size{};
  if (Esys_TR_Serialize(esys, handle, &raw, &size) != TSS2_RC_SUCCESS) return std::nullopt;
  const esys::Owned<std::uint8_t> serialized(raw);
  std::size_t offset = 0;
  TPM2_HANDLE tpmHandle{};
  TPM2B_NAME name{};
  UINT32 type{};
  TPM2B_PUBLIC publicArea{};
  constexpr UINT32 keyResource = 1;
  if (Tss2_MU_TPM2_HANDLE_Unmarshal(raw, size, &offset, &tpmHandle) != TSS2_RC_SUCCESS ||
      Tss2_MU_TPM2B_NAME_Unmarshal(raw, size, &offset, &name) != TSS2_RC_SUCCESS ||
      Tss2_MU_UINT32_Unmarshal(raw, size, &offset, &type) != TSS2_RC_SUCCESS ||
      type != keyResource ||
      Tss2_MU_TPM2B_PUBLIC_Unmarshal(raw, size, &offset, &publicArea) != TSS2_RC_SUCCESS) {
    return std::nullopt;
  }
  return publicArea.publicArea;
}

}  // namespace

Object::Object(Tpm& tpm, ESYS_TR handle, IsOurs isOurs) noexcept
    : tpm_(&tpm), handle_(handle), isOurs_(std::move(isOurs)) {
  hold_.emplace();
  Esys_TR_GetTpmHandle(tpm.esys(), handle, &tpmHandle_);
}

void Object::reset() noexcept {
  if (handle_ != ESYS_TR_NONE) {
    // On a failure path the handle may be what went wrong: damaged on its way to us, it can name
    // another program's object, so it is flushed only if it holds ours.
    tpm_->flush(tpmHandle_, std::exchange(handle_, ESYS_TR_NONE), isOurs_,
                std::uncaught_exceptions() > 0);
  }
  hold_.reset();  // after the flush: a held signal may end the run here
}

Tpm::Tpm(std::unique_ptr<esys::Context> context) noexcept : context_(std::move(context)) {}

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

TSS2_RC Tpm::call(const std::function<TSS2_RC()>& command) {
  using std::chrono::milliseconds;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  auto pause = milliseconds(10);
  for (;;) {
    alarm(commandTimeoutSeconds);
    const TSS2_RC rc = command();
    alarm(0);
    if (!isWorthRetrying(rc) || std::chrono::steady_clock::now() + pause > giveUp) return rc;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, milliseconds(500));
  }
}

TSS2_RC Tpm::callLoading(Object& loaded, const std::function<TSS2_RC(ESYS_TR&)>& command,
                         const IsOurs& isOurs) {
  const SignalHold hold;  // from before the command is sent until an owner holds the object
  ESYS_TR handle = ESYS_TR_NONE;
  const TSS2_RC rc = call([&] { return command(handle); });
  if (rc == TSS2_RC_SUCCESS) {
    loaded = Object(*this, handle, isOurs);
  } else if (!context_->tap().lastWasCleanRefusal()) {
    flushLost(isOurs);
  }
  return rc;
}

// A SAPI context of its own over the same TCTI: once ESYS has refused an answer it may refuse
// every later command, yet what the TPM holds for us must still go.
class Tpm::Sapi {
 public:
  explicit Sapi(TSS2_TCTI_CONTEXT* tcti) : storage_(Tss2_Sys_GetContextSize(0)) {
    ready_ = Tss2_Sys_Initialize(get(), storage_.size(), tcti, nullptr) == TSS2_RC_SUCCESS;
  }
  Sapi(const Sapi&) = delete;
  Sapi& operator=(const Sapi&) = delete;
  ~Sapi() {
    if (ready_) Tss2_Sys_Finalize(get());
  }
  explicit operator bool() const noexcept { return ready_; }
  TSS2_SYS_CONTEXT* get() noexcept { return reinterpret_cast<TSS2_SYS_CONTEXT*>(storage_.data()); }

 private:
  std::vector<std::uint8_t> storage_;
  bool ready_ = false;
};

bool Tpm::holdsOurs(Sapi& sys, TPM2_HANDLE handle, const IsOurs& isOurs) {
  TPM2B_PUBLIC publicArea{};
  TPM2B_NAME name{};
  TPM2B_NAME qualifiedName{};
  return call([&] {
           return Tss2_Sys_ReadPublic(sys.get(), handle, nullptr, &publicArea, &name,
                                      &qualifiedName, nullptr);
         }) == TSS2_RC_SUCCESS &&
         isOurs(publicArea.publicArea);
}

void Tpm::flush(TPM2_HANDLE tpmHandle, ESYS_TR handle, const IsOurs& isOurs,
                bool onlyIfOurs) noexcept {
  bool lost = false;
  try {
    Sapi sys(context_->tap().context());
    if (sys) {
      lost = onlyIfOurs && !holdsOurs(sys, tpmHandle, isOurs);
      const TSS2_RC rc = lost ? TSS2_RC_SUCCESS
                              : call([&] { return Tss2_Sys_FlushContext(sys.get(), tpmHandle); });
      lost = lost || isFormatOne(rc, TPM2_RC_HANDLE) || isFormatOne(rc, TPM2_RC_VALUE);
    }
  } catch (...) {
    // Nothing to report it to: the run is ending or already failing.
  }
  if (lost) flushLost(isOurs);
  Esys_TR_Close(esys(), &handle);
}

void Tpm::flushLost(const IsOurs& isOurs) noexcept {
  try {
    Sapi sys(context_->tap().context());
    TPMI_YES_NO more = TPM2_NO;
    TPMS_CAPABILITY_DATA loaded{};
    if (!sys || call([&] {
                  return Tss2_Sys_GetCapability(sys.get(), nullptr, TPM2_CAP_HANDLES,
                                                TPM2_TRANSIENT_FIRST, TPM2_MAX_CAP_HANDLES, &more,
                                                &loaded, nullptr);
                }) != TSS2_RC_SUCCESS) {
      return;
    }
    for (UINT32 i = 0; i < loaded.data.handles.count; ++i) {
      const TPM2_HANDLE handle = loaded.data.handles.handle[i];
      if (holdsOurs(sys, handle, isOurs)) {
        call([&] { return Tss2_Sys_FlushContext(sys.get(), handle); });
      }
    }
  } catch (...) {
    // As for flush: nothing to report it to.
  }
}

ESYS_TR Tpm::platformStorageRootKey() {
  if (platformKeyLookedUp_) return platformKey_;
  ESYS_TR handle = ESYS_TR_NONE;
  TSS2_RC rc = call([&] {
    return Esys_TR_FromTPMPublic(esys(), platformStorageRootKeyHandle, ESYS_TR_NONE, ESYS_TR_NONE,
                                 ESYS_TR_NONE, &handle);
  });
  platformKeyLookedUp_ = true;
  // None there, the usual case; a TPM not started refuses the next command the same way.
  if (rc != TSS2_RC_SUCCESS) return ESYS_TR_NONE;

  // ESYS read the public area to make the handle; its record of it saves a second ReadPublic.
  const std::optional<TPMT_PUBLIC> publicArea = recordedPublicArea(esys(), handle);
  // Another key there (RSA, a policy, other attributes) is someone else's business: not used.
  if (!publicArea || !isStorageRootKey(*publicArea)) {
    Esys_TR_Close(esys(), &handle);
    return ESYS_TR_NONE;
  }
  return platformKey_ = handle;
}

bool Tpm::ownerHasPassword() {
  TPMI_YES_NO more = TPM2_NO;
  TPMS_CAPABILITY_DATA* raw = nullptr;
  const TSS2_RC rc = call([&] {
    return Esys_GetCapability(esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                              TPM2_CAP_TPM_PROPERTIES, TPM2_PT_PERMANENT, 1, &more, &raw);
  });
  const esys::Owned<TPMS_CAPABILITY_DATA> data(raw);
  if (rc != TSS2_RC_SUCCESS) throwTpmError("TPM2_GetCapability", rc);
  const TPML_TAGGED_TPM_PROPERTY& properties = data->data.tpmProperties;
  return properties.count >= 1 && properties.tpmProperty[0].property == TPM2_PT_PERMANENT &&
         (properties.tpmProperty[0].value & TPMA_PERMANENT_OWNERAUTHSET) != 0;
}

bool Tpm::canSeal() {
  // The platform's key, when it is there, proves the curve and AES-128-CFB: no TestParms.
  const bool hasPlatformKey = platformStorageRootKey() != ESYS_TR_NONE;
  if (!hasPlatformKey) {
    TPMT_PUBLIC_PARMS parms{};
    parms.type = TPM2_ALG_ECC;
    parms.parameters.eccDetail = storageRootKeyTemplate().publicArea.parameters.eccDetail;
    const TSS2_RC rc = call(
        [&] { return Esys_TestParms(esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &parms); });
    if (tpmCode(rc) == TPM2_RC_INITIALIZE) throwTpmError("TPM2_TestParms", rc);
    if (rc != TSS2_RC_SUCCESS) return false;
  }

  TPMI_YES_NO more = TPM2_NO;
  TPMS_CAPABILITY_DATA* raw = nullptr;
  const TSS2_RC rc = call([&] {
    return Esys_GetCapability(esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, TPM2_CAP_COMMANDS,
                              TPM2_CC_ECDH_ZGen, 1, &more, &raw);
  });
  const esys::Owned<TPMS_CAPABILITY_DATA> capabilities(raw);
  if (rc != TSS2_RC_SUCCESS) throwTpmError("TPM2_GetCapability", rc);
  const TPML_CCA& commands = capabilities->data.command;
  if (commands.count < 1 ||
      (commands.commandAttributes[0] & TPMA_CC_COMMANDINDEX_MASK) != TPM2_CC_ECDH_ZGen) {
    return false;
  }
  if (!hasPlatformKey && ownerHasPassword()) throw EnclaveError(std::string(ownerPassword));
  return true;
}

}  // namespace enclave
