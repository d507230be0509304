#include <gtest/gtest.h>

#include "support/hex.h"

#include <string>

#include "crypto/aes_gcm.h"
#include "crypto/crypto_error.h"

namespace crypto::AES::GCM {
namespace {

using testing_support::unhex;

SymmetricKey keyOf(std::uint8_t fill) {
  return SymmetricKey(SecretBytes(SymmetricKey::size, fill));
}

// What opening these bytes as a box gives: "opened" or the error's text.
std::string outcome(ByteView combined, const SymmetricKey& key) {
  try {
    open(SealedBox::fromCombined(combined), key);
    return "opened";
  } catch (const CryptoError& e) {
    return e.what();
  }
}

struct KnownAnswer {
  std::string name, key, nonce, plaintext, ciphertext, tag;
};

class GcmKnownAnswer : public testing::TestWithParam<KnownAnswer> {};

TEST_P(GcmKnownAnswer, OpensTheCombinedBox) {
  const KnownAnswer& v = GetParam();
  const Bytes keyBytes = unhex(v.key);
  const SymmetricKey key(SecretBytes(keyBytes.begin(), keyBytes.end()));
  const SealedBox box = SealedBox::fromCombined(unhex(v.nonce + v.ciphertext + v.tag));
  EXPECT_EQ(Bytes(box.nonce().begin(), box.nonce().end()), unhex(v.nonce));
  EXPECT_EQ(Bytes(box.tag().begin(), box.tag().end()), unhex(v.tag));
  const SecretBytes plaintext = open(box, key);
  EXPECT_EQ(Bytes(plaintext.begin(), plaintext.end()), unhex(v.plaintext));
}

// McGrew and Viega, "The Galois/Counter Mode of Operation", appendix B, test cases 13 to 15
// (256-bit key, 96-bit IV, no associated data).
INSTANTIATE_TEST_SUITE_P(
    McGrewViega, GcmKnownAnswer,
    testing::Values(KnownAnswer{"case13", std::string(64, '0'), std::string(24, '0'), "", "",
                                "530f8afbc74536b9a963b4f1c4cb738b"},
                    KnownAnswer{"case14", std::string(64, '0'), std::string(24, '0'),
                                std::string(32, '0'), "cea7403d4d606b6e074ec5d3baf39d18",
                                "d0d1c8a799996bf0265b98b5d48ab919"},
                    KnownAnswer{"case15",
                                "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
                                "cafebabefacedbaddecaf888",
                                "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
                                "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
                                "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
                                "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
                                "b094dac5d93471bdec1a502270e3cc6c"}),
    [](const testing::TestParamInfo<KnownAnswer>& row) { return row.param.name; });

class GcmRoundTrip : public testing::TestWithParam<std::size_t> {};

TEST_P(GcmRoundTrip, OpensWhatItSealedUnderAFreshNonce) {
  Bytes message(GetParam());
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i * 7);
  const SymmetricKey key = keyOf(0x5a);
  const SealedBox first = seal(message, key);
  const SealedBox second = seal(message, key);
  ASSERT_EQ(first.combined().size(), nonceSize + message.size() + tagSize);
  EXPECT_FALSE(std::ranges::equal(first.nonce(), second.nonce()));
  for (const SealedBox& box : {first, second}) {
    const SecretBytes opened = open(SealedBox::fromCombined(box.combined()), key);
    EXPECT_EQ(Bytes(opened.begin(), opened.end()), message);
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, GcmRoundTrip, testing::Values(0, 1, 16, 33, 1000));

TEST(GcmTamper, EveryAlteredBoxFailsWithItsText) {
  const SymmetricKey key = keyOf(0x11);
  const SealedBox sealed = seal(unhex("c0ffee"), key);
  const Bytes box(sealed.combined().begin(), sealed.combined().end());
  ASSERT_EQ(outcome(box, key), "opened");
  for (std::size_t bit = 0; bit < box.size() * 8; ++bit) {
    Bytes flipped = box;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_EQ(outcome(flipped, key), authenticationFailure) << "bit " << bit;
  }
  for (std::size_t length = 0; length < box.size(); ++length) {
    const std::string_view expected =
        length < nonceSize + tagSize ? incorrectParameterSize : authenticationFailure;
    EXPECT_EQ(outcome(ByteView(box).first(length), key), expected) << "length " << length;
  }
  Bytes extended = box;
  extended.push_back(0);
  EXPECT_EQ(outcome(extended, key), authenticationFailure);
  EXPECT_EQ(outcome(box, keyOf(0x12)), authenticationFailure);
}

TEST(GcmKey, OnlyThirtyTwoBytesMakeAKey) {
  for (std::size_t size : {0, 16, 31, 33}) {
    try {
      SymmetricKey key{SecretBytes(size, 1)};
      ADD_FAILURE() << size << " bytes made a key";
    } catch (const CryptoError& e) {
      EXPECT_EQ(std::string_view(e.what()), incorrectKeySize);
    }
  }
}

}  // namespace
}  // namespace crypto::AES::GCM
