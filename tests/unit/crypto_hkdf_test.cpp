#include "crypto/hkdf.h"

#include <gtest/gtest.h>

#include <string>

#include "support/hex.h"

namespace crypto {
namespace {

using testing_support::hex;

Bytes counting(int from, int to) {
  Bytes bytes;
  for (int b = from; b < to; ++b) bytes.push_back(static_cast<std::uint8_t>(b));
  return bytes;
}

// RFC 5869 appendix A, test cases 1 to 3 (case 3: empty salt and info).
TEST(Hkdf, MatchesRfc5869) {
  struct Case {
    Bytes ikm, salt, info;
    std::string okm;
  };
  const Case cases[] = {
      {Bytes(22, 0x0b), counting(0x00, 0x0d), counting(0xf0, 0xfa),
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {counting(0x00, 0x50), counting(0x60, 0xb0), counting(0xb0, 0x100),
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e"
       "590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
      {Bytes(22, 0x0b), Bytes(), Bytes(),
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hex(hkdfSha256(c.ikm, c.salt, c.info, c.okm.size() / 2)), c.okm);
  }
}

}  // namespace
}  // namespace crypto
