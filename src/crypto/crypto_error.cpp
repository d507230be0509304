#include "crypto/crypto_error.h"

#include <openssl/err.h>

#include <array>
#include <string>

namespace crypto {

void throwLibraryError(std::string_view operation) {
  std::string reason;
  // Drain the whole queue so that no stale entry is blamed on a later, unrelated call.
  while (unsigned long code = ERR_get_error()) {
    std::array<char, 256> text{};
    ERR_error_string_n(code, text.data(), text.size());
    if (!reason.empty()) reason += "; ";
    reason += text.data();
  }
  if (reason.empty()) reason = "no reason given";
  throw CryptoError("OpenSSL " + std::string(operation) + " failed: " + reason);
}

}  // namespace crypto
