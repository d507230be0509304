#include <gtest/gtest.h>

#include "support/hex.h"

#include <string>

#include "crypto/crypto_error.h"
#include "crypto/p256.h"

namespace crypto::P256::KeyAgreement {
namespace {

using testing_support::unhex;

Bytes x963Of(const PublicKey& key) {
  return {key.x963Representation().begin(), key.x963Representation().end()};
}

// What parsing these bytes gives: "parsed" or the error's text.
std::string outcome(ByteView x963) {
  try {
    PublicKey::fromX963(x963);
    return "parsed";
  } catch (const CryptoError& e) {
    return e.what();
  }
}

const std::string gx = "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296";
const std::string gy = "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5";
const std::string p = "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff";
// (0, y0) lies on P-256; x = p names the same point unreduced.
const std::string y0 = "66485c780e2f83d72433bd5d84a06bb6541c2af31dae871728bf856a174f93f4";

struct Agreement {
  std::string name, scalar, publicKey, peer, shared;
};

class EcdhKnownAnswer : public testing::TestWithParam<Agreement> {};

TEST_P(EcdhKnownAnswer, DerivesTheRawXCoordinate) {
  const Agreement& v = GetParam();
  const PrivateKey key = privateKeyForTesting(unhex(v.scalar));
  EXPECT_EQ(x963Of(key.publicKey()), unhex(v.publicKey));
  const SharedSecret shared = key.sharedSecretFromKeyAgreement(PublicKey::fromX963(unhex(v.peer)));
  EXPECT_EQ(Bytes(shared.bytes().begin(), shared.bytes().end()), unhex(v.shared));
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, EcdhKnownAnswer,
    testing::Values(
        // NIST CAVS 14.1 ECC CDH primitive, P-256, COUNT = 0.
        Agreement{"cavs0", "7d7dc5f71eb29ddaf80d6214632eeae03d9058af1fb6d22ed80badb62bc1a534",
                  "04ead218590119e8876b29146ff89ca61770c4edbbf97d38ce385ed281d8a6b230"
                  "28af61281fd35e2fa7002523acc85a429cb06ee6648325389f59edfce1405141",
                  "04700c48f77f56584c5cc632ca65640db91b6bacce3a4df6b42ce7cc838833d287"
                  "db71e509e3fd9b060ddb20ba5c51dcc5948d46fbf640dfe0441782cab85fa4ac",
                  "46fc62106420ff012e54a434fbdd2d25ccc5852060561e68040dd7778997bd7b"},
        // python3-cryptography: a short scalar and a secret with a leading zero byte, which must
        // stay 32 bytes.
        Agreement{"leadingZero", std::string(61, '0') + "171",
                  "04915a89859799f6066c761faf3e74d684e2e736de2b45248a1a7ea92df0f2a659"
                  "7ea1fcde3c0e363007e16261427b0c4902364222be981f1b4d1a6d153bf70980",
                  "04b487d183dc4806058eb31a29bedefd7bcca987b77a381a3684871d8449c18394"
                  "2a122cc711a80453678c3032de4b6fff2c86342e82d1e7adb617c4165c43ce5e",
                  "0016ed70a6903b86e49585c7b6a2ceee67070986e643962362372ff2cd83c706"},
        // The scalar 1 has the generator of SEC 2 as its public key.
        Agreement{"generator", std::string(63, '0') + "1", "04" + gx + gy, "04" + gx + gy, gx}),
    [](const testing::TestParamInfo<Agreement>& row) { return row.param.name; });

TEST(P256, FreshKeysAgreeAndReencode) {
  const PrivateKey alice;
  const PrivateKey bob;
  EXPECT_NE(alice.publicKey(), bob.publicKey());
  for (const PrivateKey* key : {&alice, &bob}) {
    const auto& x963 = key->publicKey().x963Representation();
    EXPECT_EQ(x963[0], 0x04);
    EXPECT_EQ(PublicKey::fromX963(x963), key->publicKey());
  }
  const SharedSecret ab = alice.sharedSecretFromKeyAgreement(bob.publicKey());
  const SharedSecret ba = bob.sharedSecretFromKeyAgreement(alice.publicKey());
  EXPECT_TRUE(std::ranges::equal(ab.bytes(), ba.bytes()));
}

struct Encoding {
  std::string name, hex;
  std::string_view expected;
};

class X963Parsing : public testing::TestWithParam<Encoding> {};

TEST_P(X963Parsing, AcceptsOnlyUncompressedPointsOnTheCurve) {
  EXPECT_EQ(outcome(unhex(GetParam().hex)), GetParam().expected);
}

constexpr std::string_view parsed = "parsed";

INSTANTIATE_TEST_SUITE_P(
    Table, X963Parsing,
    testing::Values(Encoding{"generator", "04" + gx + gy, parsed},
                    Encoding{"negatedGenerator",
                             "04" + gx +
                                 "b01cbd1c01e58065711814b583f061e9d431cca994cea1313449bf97c840ae0a",
                             parsed},
                    Encoding{"zeroX", "04" + std::string(64, '0') + y0, parsed},
                    Encoding{"empty", "", incorrectKeySize},
                    Encoding{"bare64", gx + gy, incorrectKeySize},
                    Encoding{"long66", "04" + gx + gy + "00", incorrectKeySize},
                    Encoding{"compressed33", "02" + gx, incorrectKeySize},
                    Encoding{"prefix02", "02" + gx + gy, invalidPoint},
                    Encoding{"prefix03", "03" + gx + gy, invalidPoint},
                    Encoding{"hybrid07", "07" + gx + gy, invalidPoint},
                    Encoding{"offCurve", "04" + gx + gy.substr(0, 62) + "f6", invalidPoint},
                    Encoding{"allZero", std::string(130, '0'), invalidPoint},
                    Encoding{"origin", "04" + std::string(128, '0'), invalidPoint},
                    Encoding{"xIsP", "04" + p + y0, invalidPoint},
                    Encoding{"yIsP", "04" + gx + p, invalidPoint},
                    Encoding{"xAllOnes", "04" + std::string(64, 'f') + gy, invalidPoint}),
    [](const testing::TestParamInfo<Encoding>& row) { return row.param.name; });

}  // namespace
}  // namespace crypto::P256::KeyAgreement
