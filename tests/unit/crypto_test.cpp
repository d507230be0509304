#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include <openssl/ecerr.h>
#include <openssl/err.h>
#include <openssl/evperr.h>

#include "crypto/crypto_error.h"

namespace crypto {
namespace {

// A failure inside OpenSSL names the operation and every reason on the queue in one line, and
// leaves the queue empty, so no stale entry is blamed on a later call.
TEST(CryptoError, DrainsTheOpenSslQueueIntoOneLine) {
  ERR_raise(ERR_LIB_EVP, EVP_R_BAD_DECRYPT);
  ERR_raise(ERR_LIB_EC, EC_R_POINT_IS_NOT_ON_CURVE);
  std::string lines;
  for (const char* operation : {"ECDH", "HKDF"}) {
    try {
      throwLibraryError(operation);
    } catch (const CryptoError& e) {
      lines += e.what() + std::string("\n");
    }
  }
  EXPECT_TRUE(lines.starts_with("OpenSSL ECDH failed: error:") &&
              lines.find("bad decrypt; error:") != std::string::npos &&
              lines.ends_with("point is not on curve\nOpenSSL HKDF failed: no reason given\n") &&
              std::ranges::count(lines, '\n') == 2)
      << lines;
}

}  // namespace
}  // namespace crypto
