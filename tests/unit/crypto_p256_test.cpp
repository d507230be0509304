#include "crypto/p256.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>

#include "crypto/crypto_error.h"
#include "support/hex.h"

namespace crypto::P256::KeyAgreement {
namespace {

using testing_support::hex;
using testing_support::unhex;

const std::string gx = "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296";
const std::string gy = "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5";
const std::string p = "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff";
// (0, y0) and (x5, 5) lie on P-256; a coordinate plus p names the same point unreduced.
const std::string y0 = "66485c780e2f83d72433bd5d84a06bb6541c2af31dae871728bf856a174f93f4";
const std::string x5 = "d7325d7646cd60d80a92738ceb345f844cffaf35841022cab176f692de8de1d7";
const std::string fivePlusP = "ffffffff00000001000000000000000000000001000000000000000000000004";

TEST(P256, DerivesKnownSharedSecrets) {
  // Scalar, the peer's public key, the shared secret.
  const std::array<std::string, 3> vectors[] = {
      // NIST CAVS 14.1 ECC CDH primitive, P-256, COUNT = 0.
      {"7d7dc5f71eb29ddaf80d6214632eeae03d9058af1fb6d22ed80badb62bc1a534",
       "04700c48f77f56584c5cc632ca65640db91b6bacce3a4df6b42ce7cc838833d287"
       "db71e509e3fd9b060ddb20ba5c51dcc5948d46fbf640dfe0441782cab85fa4ac",
       "46fc62106420ff012e54a434fbdd2d25ccc5852060561e68040dd7778997bd7b"},
      // python3-cryptography: a secret that begins with a zero byte stays 32 bytes long.
      {std::string(61, '0') + "171",
       "04b487d183dc4806058eb31a29bedefd7bcca987b77a381a3684871d8449c18394"
       "2a122cc711a80453678c3032de4b6fff2c86342e82d1e7adb617c4165c43ce5e",
       "0016ed70a6903b86e49585c7b6a2ceee67070986e643962362372ff2cd83c706"},
  };
  for (const auto& [scalar, peer, shared] : vectors) {
    const PrivateKey key = privateKeyForTesting(unhex(scalar));
    const PublicKey peerKey = PublicKey::fromX963(unhex(peer));
    EXPECT_EQ(hex(key.sharedSecretFromKeyAgreement(peerKey).bytes()), shared);
  }
}

TEST(P256, FreshKeysAgreeAndReencode) {
  const PrivateKey alice;
  const PrivateKey bob;
  EXPECT_NE(alice.publicKey(), bob.publicKey());
  EXPECT_EQ(PublicKey::fromX963(alice.publicKey().x963Representation()), alice.publicKey());
  EXPECT_EQ(hex(alice.sharedSecretFromKeyAgreement(bob.publicKey()).bytes()),
            hex(bob.sharedSecretFromKeyAgreement(alice.publicKey()).bytes()));
}

TEST(P256, ParsesOnlyUncompressedPointsOnTheCurve) {
  const std::pair<std::string, std::string_view> cases[] = {
      {"04" + gx + gy, "ok"},
      {"04" + std::string(64, '0') + y0, "ok"},
      {"04" + x5 + std::string(63, '0') + "5", "ok"},
      {"", incorrectKeySize},
      {gx + gy, incorrectKeySize},
      {"04" + gx + gy + "00", incorrectKeySize},
      {"02" + gx, incorrectKeySize},                        // compressed
      {"03" + gx + gy, invalidPoint},                       // compressed prefix
      {"07" + gx + gy, invalidPoint},                       // hybrid
      {"04" + gx + gy.substr(0, 62) + "f6", invalidPoint},  // off the curve
      {"04" + std::string(128, '0'), invalidPoint},         // infinity
      {"04" + p + y0, invalidPoint},                        // x >= p
      {"04" + x5 + fivePlusP, invalidPoint},                // y >= p
  };
  for (const auto& [text, expected] : cases) {
    const Bytes x963 = unhex(text);
    const auto parse = [&] { PublicKey::fromX963(x963); };
    EXPECT_EQ(testing_support::outcome<CryptoError>(parse), expected) << text;
  }
}

}  // namespace
}  // namespace crypto::P256::KeyAgreement
