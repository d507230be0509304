#include <gtest/gtest.h>

#include "support/hex.h"

#include <string>

#include "crypto/crypto_error.h"
#include "crypto/hkdf.h"

namespace crypto {
namespace {

using testing_support::unhex;

Bytes counting(int from, int to) {
  Bytes bytes;
  for (int b = from; b < to; ++b) bytes.push_back(static_cast<std::uint8_t>(b));
  return bytes;
}

struct HkdfCase {
  std::string name;
  Bytes ikm, salt, info;
  std::string okm;
};

class Rfc5869 : public testing::TestWithParam<HkdfCase> {};

TEST_P(Rfc5869, DerivesTheOutputKeyingMaterial) {
  const HkdfCase& c = GetParam();
  const Bytes okm = unhex(c.okm);
  const SecretBytes out = hkdfSha256(c.ikm, c.salt, c.info, okm.size());
  EXPECT_EQ(Bytes(out.begin(), out.end()), okm);
}

// RFC 5869 appendix A, test cases 1 to 3 (case 3: empty salt and info).
INSTANTIATE_TEST_SUITE_P(
    Sha256, Rfc5869,
    testing::Values(
        HkdfCase{"basic", Bytes(22, 0x0b), counting(0x00, 0x0d), counting(0xf0, 0xfa),
                 "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b88718"
                 "5865"},
        HkdfCase{"longer", counting(0x00, 0x50), counting(0x60, 0xb0), counting(0xb0, 0x100),
                 "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac78272"
                 "71cb41c65e590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f"
                 "1d87"},
        HkdfCase{"emptySaltAndInfo",
                 Bytes(22, 0x0b),
                 {},
                 {},
                 "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a"
                 "96c8"}),
    [](const testing::TestParamInfo<HkdfCase>& row) { return row.param.name; });

TEST(Hkdf, OutputIsLimitedTo255Blocks) {
  const Bytes ikm(32, 0x42);
  EXPECT_EQ(hkdfSha256(ikm, {}, {}, 255 * 32).size(), 255u * 32);
  EXPECT_THROW(hkdfSha256(ikm, {}, {}, 255 * 32 + 1), CryptoError);
}

}  // namespace
}  // namespace crypto
