#include <gtest/gtest.h>

#include <string>
#include <utility>

#include <openssl/ecerr.h>
#include <openssl/err.h>
#include <openssl/evperr.h>

#include "crypto/crypto_error.h"
#include "crypto/p256.h"
#include "support/hex.h"

namespace crypto {
namespace {

using P256::KeyAgreement::PublicKey;
using testing_support::unhex;

// "ok", or the text of the CryptoError that f throws.
template <class F>
std::string outcome(F&& f) {
  try {
    f();
    return "ok";
  } catch (const CryptoError& e) {
    return e.what();
  }
}

// HKDF and AES-GCM are checked against an independent implementation end to end (the cross
// check opens and makes records with python3-cryptography); these are what it cannot reach.
TEST(P256, ParsesOnlyUncompressedPointsOnTheCurve) {
  const std::string gx = "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296";
  const std::string gy = "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5";
  const std::string p = "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff";
  // (0, y0) and (x5, 5) lie on P-256; a coordinate plus p names the same point unreduced.
  const std::string y0 = "66485c780e2f83d72433bd5d84a06bb6541c2af31dae871728bf856a174f93f4";
  const std::string x5 = "d7325d7646cd60d80a92738ceb345f844cffaf35841022cab176f692de8de1d7";
  const std::string fivePlusP = "ffffffff00000001000000000000000000000001000000000000000000000004";
  const std::pair<std::string, std::string_view> cases[] = {
      {"04" + gx + gy, "ok"},
      {"04" + std::string(64, '0') + y0, "ok"},
      {"04" + x5 + std::string(63, '0') + "5", "ok"},
      {"02" + gx, incorrectKeySize},
      {"07" + gx + gy, invalidPoint},  // hybrid, which OpenSSL would accept
      {"04" + gx + gy.substr(0, 62) + "f6", invalidPoint},
      {"04" + std::string(128, '0'), invalidPoint},
      {"04" + p + y0, invalidPoint},
      {"04" + x5 + fivePlusP, invalidPoint},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(outcome([&] { PublicKey::fromX963(unhex(text)); }), expected) << text;
  }
}

// A failure inside OpenSSL names the operation and every reason on the queue, and leaves the
// queue empty, so no stale entry is blamed on a later call.
TEST(CryptoError, DrainsTheOpenSslQueueIntoOneLine) {
  ERR_raise(ERR_LIB_EVP, EVP_R_BAD_DECRYPT);
  ERR_raise(ERR_LIB_EC, EC_R_POINT_IS_NOT_ON_CURVE);
  const std::string text = outcome([] { throwLibraryError("ECDH"); });
  EXPECT_TRUE(text.starts_with("OpenSSL ECDH failed: error:")) << text;
  EXPECT_NE(text.find("bad decrypt; error:"), std::string::npos) << text;
  EXPECT_NE(text.find("point is not on curve"), std::string::npos) << text;
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(ERR_peek_error(), 0u);
  EXPECT_EQ(outcome([] { throwLibraryError("HKDF"); }), "OpenSSL HKDF failed: no reason given");
}

}  // namespace
}  // namespace crypto
