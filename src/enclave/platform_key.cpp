// SPDX-License-Identifier: Apache-2.0
#include <endian.h>
#include <openssl/evp.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_sys.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "enclave/key_templates.h"
#include "enclave/sapi.h"
#include "enclave/tpm.h"

namespace enclave {
namespace {

constexpr TPM2_HANDLE platformStorageRootKeyHandle = 0x81000001;

// nameAlg ‖ SHA-256(bytes), the form of a name and of a qualified name.
std::optional<TPM2B_NAME> sha256Name(const std::uint8_t* bytes, std::size_t size) {
  TPM2B_NAME name{};
  name.size = 2 + 32;
  name.name[0] = TPM2_ALG_SHA256 >> 8;
  name.name[1] = TPM2_ALG_SHA256 & 0xFF;
  if (EVP_Digest(bytes, size, name.name + 2, nullptr, EVP_sha256(), nullptr) != 1) {
    return std::nullopt;
  }
  return name;
}

bool sameName(const TPM2B_NAME& a, const TPM2B_NAME& b) {
  return std::equal(a.name, a.name + a.size, b.name, b.name + b.size);
}

// A child key can have the template's every byte; only a primary key of the owner hierarchy has
// the qualified name H(owner handle ‖ name), where a child's goes through its parent's.
bool isOwnerPrimary(const TPMT_PUBLIC& publicArea, const TPM2B_NAME& name,
                    const TPM2B_NAME& qualifiedName) {
  std::array<std::uint8_t, sizeof(TPMT_PUBLIC)> marshalled{};
  std::size_t size = 0;  // left 0 if marshalling failed: no key has that name
  Tss2_MU_TPMT_PUBLIC_Marshal(&publicArea, marshalled.data(), marshalled.size(), &size);
  const std::optional<TPM2B_NAME> ownName = sha256Name(marshalled.data(), size);
  if (!ownName || !sameName(*ownName, name)) return false;
  std::array<std::uint8_t, sizeof(TPM2_HANDLE) + sizeof(name.name)> parentAndName{};
  const std::uint32_t owner = htobe32(TPM2_RH_OWNER);
  std::copy_n(reinterpret_cast<const std::uint8_t*>(&owner), sizeof owner, parentAndName.begin());
  std::copy_n(name.name, name.size, parentAndName.begin() + sizeof owner);
  const std::optional<TPM2B_NAME> expected =
      sha256Name(parentAndName.data(), sizeof owner + name.size);
  return expected && sameName(*expected, qualifiedName);
}

// ESYS's record of a key, in the form Esys_TR_Serialize writes: the TPM handle, the name, the
// resource type, the TPM2B_PUBLIC. Made from the ReadPublic answer checked here, so that ESYS
// need not read the same public area again.
ESYS_TR esysRecord(ESYS_CONTEXT* esys, const TPM2B_PUBLIC& publicArea, const TPM2B_NAME& name) {
  std::array<std::uint8_t,
             sizeof(TPM2_HANDLE) + sizeof(TPM2B_NAME) + sizeof(UINT32) + sizeof(TPM2B_PUBLIC)>
      record{};
  std::size_t size = 0;
  constexpr UINT32 keyResource = 1;
  ESYS_TR handle = ESYS_TR_NONE;
  if (Tss2_MU_TPM2_HANDLE_Marshal(platformStorageRootKeyHandle, record.data(), record.size(),
                                  &size) != TSS2_RC_SUCCESS ||
      Tss2_MU_TPM2B_NAME_Marshal(&name, record.data(), record.size(), &size) != TSS2_RC_SUCCESS ||
      Tss2_MU_UINT32_Marshal(keyResource, record.data(), record.size(), &size) != TSS2_RC_SUCCESS ||
      Tss2_MU_TPM2B_PUBLIC_Marshal(&publicArea, record.data(), record.size(), &size) !=
          TSS2_RC_SUCCESS ||
      Esys_TR_Deserialize(esys, record.data(), size, &handle) != TSS2_RC_SUCCESS) {
    return ESYS_TR_NONE;
  }
  return handle;
}

}  // namespace

ESYS_TR Tpm::platformStorageRootKey() {
  if (platformKeyLookedUp_) return platformKey_;
  platformKeyLookedUp_ = true;
  TSS2_SYS_CONTEXT* sys = sapi_->start();
  TPM2B_PUBLIC publicArea{};
  TPM2B_NAME name{};
  TPM2B_NAME qualifiedName{};
  // None there, the usual case; a TPM not started refuses the next command the same way.
  if (sys == nullptr || call([&] {
                          return Tss2_Sys_ReadPublic(sys, platformStorageRootKeyHandle, nullptr,
                                                     &publicArea, &name, &qualifiedName, nullptr);
                        }) != TSS2_RC_SUCCESS) {
    return ESYS_TR_NONE;
  }
  // Another key there (RSA, a policy, other attributes, a child) is someone else's business.
  if (!isStorageRootKey(publicArea.publicArea) ||
      !isOwnerPrimary(publicArea.publicArea, name, qualifiedName)) {
    return ESYS_TR_NONE;
  }
  return platformKey_ = esysRecord(esys(), publicArea, name);
}

}  // namespace enclave
