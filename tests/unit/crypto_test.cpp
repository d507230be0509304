#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

#include <openssl/ecerr.h>
#include <openssl/err.h>
#include <openssl/evperr.h>

#include "crypto/aes_gcm.h"
#include "crypto/crypto_error.h"
#include "crypto/hkdf.h"
#include "crypto/p256.h"
#include "support/hex.h"

namespace crypto {
namespace {

using namespace AES::GCM;
using P256::KeyAgreement::PublicKey;
using testing_support::hex;
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

// RFC 5869 appendix A, test cases 1 and 3 (no salt, no info).
TEST(Hkdf, MatchesRfc5869) {
  const auto counting = [](int from, int to) {
    Bytes bytes;
    for (int b = from; b < to; ++b) bytes.push_back(static_cast<std::uint8_t>(b));
    return bytes;
  };
  const Bytes elevens(22, 0x0b);
  const std::tuple<Bytes, Bytes, Bytes, std::string> cases[] = {
      {elevens, counting(0x00, 0x0d), counting(0xf0, 0xfa),
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {elevens, Bytes(), Bytes(),
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const auto& [ikm, salt, info, okm] : cases) {
    EXPECT_EQ(hex(hkdfSha256(ikm, salt, info, okm.size() / 2)), okm);
  }
}

// McGrew and Viega, "The Galois/Counter Mode of Operation", appendix B, test case 15.
TEST(AesGcm, OpensAKnownBoxOnlyAsItIsAndSealsUnderFreshNonces) {
  const SymmetricKey key(
      unhex<SecretBytes>("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308"));
  const Bytes box = unhex(
      "cafebabefacedbaddecaf888"
      "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
      "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad"
      "b094dac5d93471bdec1a502270e3cc6c");
  EXPECT_EQ(hex(open(SealedBox::fromCombined(box), key)),
            "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
            "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255");

  const auto opening = [](ByteView combined, const SymmetricKey& k) {
    return outcome([&] { open(SealedBox::fromCombined(combined), k); });
  };
  EXPECT_EQ(opening(box, SymmetricKey(SecretBytes(SymmetricKey::size, 0x12))),
            authenticationFailure);
  for (std::size_t bit = 0; bit < box.size() * 8; ++bit) {
    Bytes flipped = box;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_EQ(opening(flipped, key), authenticationFailure) << "bit " << bit;
  }
  for (std::size_t length = 0; length < box.size(); ++length) {
    const std::string_view expected =
        length < nonceSize + tagSize ? incorrectParameterSize : authenticationFailure;
    EXPECT_EQ(opening(ByteView(box).first(length), key), expected) << "length " << length;
  }
  EXPECT_EQ(outcome([] { SymmetricKey{SecretBytes(31, 1)}; }), incorrectKeySize);

  const SealedBox sealed = seal(unhex("c0ffee"), key);
  EXPECT_EQ(sealed.combined().size(), nonceSize + 3 + tagSize);
  EXPECT_NE(hex(sealed.nonce()), hex(seal(unhex("c0ffee"), key).nonce()));
  EXPECT_EQ(hex(open(sealed, key)), "c0ffee");
}

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
