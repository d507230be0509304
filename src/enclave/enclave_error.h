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

// Throws EnclaveError "<command> failed: <decoded return code>".
[[noreturn]] void throwTpmError(std::string_view command, TSS2_RC rc);

}  // namespace enclave
