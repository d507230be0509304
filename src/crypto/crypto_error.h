// SPDX-License-Identifier: Apache-2.0
// Errors of the software cryptography. what() is the short, stable text the user sees after
// "sealing failed: " or "unsealing failed: "; it never holds secret material.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace crypto {

class CryptoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Texts of the failures that input can cause; named as the platform names them.
inline constexpr std::string_view incorrectParameterSize = "incorrectParameterSize";
inline constexpr std::string_view incorrectKeySize = "incorrectKeySize";
inline constexpr std::string_view invalidPoint = "invalidPoint";
inline constexpr std::string_view authenticationFailure = "authenticationFailure";

// Throws CryptoError with one of the texts above.
[[noreturn]] inline void throwCryptoError(std::string_view text) {
  throw CryptoError(std::string(text));
}

// Throws CryptoError for a failure inside OpenSSL that no input explains. The OpenSSL error
// queue is drained into the text ("OpenSSL <operation> failed: <reason>"), never printed.
[[noreturn]] void throwLibraryError(std::string_view operation);

}  // namespace crypto
