#include <tss2/tss2_mu.h>

#include <cstdint>
#include <optional>

#include "enclave/key_templates.h"
#include "enclave/tpm.h"

namespace enclave {
namespace {

constexpr TPM2_HANDLE platformStorageRootKeyHandle = 0x81000001;

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

}  // namespace enclave
