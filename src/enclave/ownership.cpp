// SPDX-License-Identifier: Apache-2.0
#include "enclave/ownership.h"

#include <openssl/rand.h>

#include <tss2/tss2_sys.h>

#include "crypto/crypto_error.h"
#include "enclave/enclave_error.h"
#include "enclave/key_templates.h"
#include "enclave/sapi.h"
#include "enclave/tpm.h"

namespace enclave {
namespace {

// Whether the object takes the password, asked with a command it must refuse after the password
// is checked: ECDH_ZGen on a restricted key. A wrong password is refused first, and costs no
// dictionary-attack count on a noDA key such as a storage root key. Any other answer, a lost one
// included, leaves the object to whoever made it.
bool takesPassword(Tpm& tpm, TSS2_SYS_CONTEXT* sys, TPM2_HANDLE handle,
                   const TPM2B_AUTH& password) {
  TSS2L_SYS_AUTH_COMMAND auth{};
  auth.count = 1;
  auth.auths[0].sessionHandle = TPM2_RH_PW;
  auth.auths[0].hmac = password;
  TPM2B_ECC_POINT point{};
  point.point.x.size = point.point.y.size = 32;
  TPM2B_ECC_POINT answer{};
  const TSS2_RC rc =
      tpm.call([&] { return Tss2_Sys_ECDH_ZGen(sys, handle, &auth, &point, &answer, nullptr); });
  return isFormatOne(rc, TPM2_RC_ATTRIBUTES);
}

}  // namespace

TPM2B_AUTH newMarkingPassword() {
  TPM2B_AUTH password{};
  password.size = 16;
  if (RAND_bytes(password.buffer, password.size) != 1) crypto::throwLibraryError("RAND_bytes");
  return password;
}

// Through the started SAPI context.
bool Tpm::holdsOurs(TPM2_HANDLE handle, const Ownership& ownership) {
  TPM2B_PUBLIC publicArea{};
  TPM2B_NAME name{};
  TPM2B_NAME qualifiedName{};
  if (call([&] {
        return Tss2_Sys_ReadPublic(sapi_->get(), handle, nullptr, &publicArea, &name,
                                   &qualifiedName, nullptr);
      }) != TSS2_RC_SUCCESS) {
    return false;
  }
  const bool sameForm = ownership.publicArea
                            ? samePublicArea(publicArea.publicArea, *ownership.publicArea)
                            : isStorageRootKey(publicArea.publicArea);
  return sameForm && (ownership.password.size == 0 ||
                      takesPassword(*this, sapi_->get(), handle, ownership.password));
}

}  // namespace enclave
