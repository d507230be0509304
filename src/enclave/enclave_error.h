// SPDX-License-Identifier: Apache-2.0
// Errors of the TPM key service. what() is a short, stable, one-line text shown after the
// command's lead-in; it never holds key material.
#pragma once

#include <tss2/tss2_common.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace enclave {

class EnclaveError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::string_view noTpmFound = "no TPM found";
inline constexpr std::string_view malformedBlob = "enclave key is not a TPM key blob";
inline constexpr std::string_view foreignKey =
    "key was not made by this TPM, or the TPM was cleared";
inline constexpr std::string_view ownerPassword =
    "the TPM's owner hierarchy has a password; this tool needs it empty";
inline constexpr std::string_view notStarted = "the TPM has not been started";
// Each TPM command gets commandTimeoutSeconds: ECC commands take under a second on the
// slowest chips, and the rest leaves room for a queue behind other programs' RSA key generation.
inline constexpr std::string_view tpmTimeout = "the TPM did not answer within 30 seconds";
// tpm2_flushcontext -t flushes every program's objects: the condition comes first, so that no one
// reads the command without it.
inline constexpr std::string_view slotsFull =
    "the TPM has no free object slots; if no other TPM program is running, tpm2_flushcontext -t "
    "frees them";

// The TPM's own response code, with the layer a resource manager may have put on it removed;
// other layers' codes (ESYS, TCTI) are returned as they are.
TSS2_RC tpmCode(TSS2_RC rc);

// True for a format-one code (which carries a handle, session or parameter number) of error, a
// format-one code itself (TPM2_RC_FMT1 set).
bool isFormatOne(TSS2_RC rc, TSS2_RC error);

// Throws EnclaveError: the texts above for a TPM that was never started or has its slots full,
// else "<command> failed: <decoded return code>".
[[noreturn]] void throwTpmError(std::string_view command, TSS2_RC rc);

}  // namespace enclave
