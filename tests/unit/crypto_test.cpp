#include <gtest/gtest.h>

#include <string>

#include <openssl/ecerr.h>
#include <openssl/err.h>
#include <openssl/evperr.h>

#include "crypto/crypto_error.h"

namespace crypto {
namespace {

std::string failure(const char* operation) {
  try {
    throwLibraryError(operation);
  } catch (const CryptoError& e) {
    return e.what();
  }
  return "no failure";
}

// A failure inside OpenSSL names the operation and every reason on the queue, and leaves the
// queue empty, so no stale entry is blamed on a later call.
TEST(CryptoError, DrainsTheOpenSslQueueIntoOneLine) {
  ERR_raise(ERR_LIB_EVP, EVP_R_BAD_DECRYPT);
  ERR_raise(ERR_LIB_EC, EC_R_POINT_IS_NOT_ON_CURVE);
  const std::string text = failure("ECDH");
  EXPECT_TRUE(text.starts_with("OpenSSL ECDH failed: error:")) << text;
  EXPECT_NE(text.find("bad decrypt; error:"), std::string::npos) << text;
  EXPECT_NE(text.find("point is not on curve"), std::string::npos) << text;
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(ERR_peek_error(), 0u);
  EXPECT_EQ(failure("HKDF"), "OpenSSL HKDF failed: no reason given");
}

}  // namespace
}  // namespace crypto
