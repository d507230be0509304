// SPDX-License-Identifier: Apache-2.0
#include "crypto/crypto_error.h"

#include <openssl/err.h>

#include <string>

namespace crypto {

void throwLibraryError(std::string_view operation) {
  std::string reason;
  // Drain the whole queue so that no stale entry is blamed on a later, unrelated call.
  while (unsigned long code = ERR_get_error()) {
    if (!reason.empty()) reason += "; ";
    reason += ERR_error_string(code, nullptr);  // OpenSSL's own buffer: one thread here
  }
  if (reason.empty()) reason = "no reason given";
  throw CryptoError("OpenSSL " + std::string(operation) + " failed: " + reason);
}

}  // namespace crypto
