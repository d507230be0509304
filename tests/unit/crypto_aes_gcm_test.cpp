#include "crypto/aes_gcm.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/crypto_error.h"
#include "support/hex.h"

namespace crypto::AES::GCM {
namespace {

using testing_support::hex;
using testing_support::outcome;
using testing_support::unhex;

// McGrew and Viega, "The Galois/Counter Mode of Operation", appendix B, test case 15.
TEST(AesGcm, OpensAKnownBox) {
  const SymmetricKey key(
      unhex<SecretBytes>("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308"));
  const SealedBox box = SealedBox::fromCombined(
      unhex("cafebabefacedbaddecaf888"
            "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
            "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad"
            "b094dac5d93471bdec1a502270e3cc6c"));
  EXPECT_EQ(hex(open(box, key)),
            "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
            "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255");
}

TEST(AesGcm, OpensWhatItSealedUnderAFreshNonce) {
  const SymmetricKey key(SecretBytes(SymmetricKey::size, 0x5a));
  for (std::size_t length : {0, 1, 16, 33}) {
    const Bytes message(length, 0xc3);
    const SealedBox first = seal(message, key);
    const SealedBox second = seal(message, key);
    EXPECT_EQ(first.combined().size(), nonceSize + length + tagSize);
    EXPECT_NE(hex(first.nonce()), hex(second.nonce()));
    EXPECT_EQ(hex(open(SealedBox::fromCombined(first.combined()), key)), hex(message));
  }
}

TEST(AesGcm, EveryAlteredBoxFailsWithItsText) {
  const SymmetricKey key(SecretBytes(SymmetricKey::size, 0x11));
  const SealedBox sealed = seal(unhex("c0ffee"), key);
  const Bytes box(sealed.combined().begin(), sealed.combined().end());
  const auto opening = [](ByteView combined, const SymmetricKey& k) {
    return outcome<CryptoError>([&] { open(SealedBox::fromCombined(combined), k); });
  };
  ASSERT_EQ(opening(box, key), "ok");
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
}

TEST(AesGcm, OnlyThirtyTwoBytesMakeAKey) {
  for (std::size_t size : {0, 16, 31, 33}) {
    EXPECT_EQ(outcome<CryptoError>([&] { SymmetricKey{SecretBytes(size, 1)}; }), incorrectKeySize);
  }
}

}  // namespace
}  // namespace crypto::AES::GCM
