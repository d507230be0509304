#include <gtest/gtest.h>

#include <random>
#include <string>

#include "sealing/base64.h"

namespace sealing {
namespace {

using namespace std::string_literals;

crypto::SecretBytes secret(std::string_view text) {
  const crypto::ByteView bytes = crypto::bytesOf(text);
  return {bytes.begin(), bytes.end()};
}

struct KnownAnswer {
  std::string plain;
  std::string encoded;
};

class Base64KnownAnswer : public testing::TestWithParam<KnownAnswer> {};

TEST_P(Base64KnownAnswer, EncodesAndDecodes) {
  const KnownAnswer& v = GetParam();
  EXPECT_EQ(base64Encode(crypto::bytesOf(v.plain)), v.encoded);
  EXPECT_EQ(crypto::view(base64Encode<crypto::SecretText>(crypto::bytesOf(v.plain))), v.encoded);
  EXPECT_EQ(base64EncodedSize(v.plain.size()), v.encoded.size());
  EXPECT_EQ(base64Decode(v.encoded), secret(v.plain));
}

// RFC 4648 section 10, and the whole alphabet in order (decoded with Python's base64).
INSTANTIATE_TEST_SUITE_P(
    Rfc4648, Base64KnownAnswer,
    testing::Values(KnownAnswer{"", ""}, KnownAnswer{"f", "Zg=="}, KnownAnswer{"fo", "Zm8="},
                    KnownAnswer{"foo", "Zm9v"}, KnownAnswer{"foob", "Zm9vYg=="},
                    KnownAnswer{"fooba", "Zm9vYmE="}, KnownAnswer{"foobar", "Zm9vYmFy"},
                    KnownAnswer{
                        "\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93\x51\x55\x97"
                        "\x61\x96\x9b\x71\xd7\x9f\x82\x18\xa3\x92\x59\xa7\xa2\x9a\xab\xb2\xdb\xaf"
                        "\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e\xbb\xf3\xdf\xbf"s,
                        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"}));

struct Rejected {
  const char* name;
  std::string text;
};

class Base64Rejects : public testing::TestWithParam<Rejected> {};

TEST_P(Base64Rejects, Text) { EXPECT_EQ(base64Decode(GetParam().text), std::nullopt); }

// Most texts keep a length that is a multiple of four, so the length check alone cannot pass
// them.
INSTANTIATE_TEST_SUITE_P(
    Strictness, Base64Rejects,
    testing::Values(Rejected{"InnerSpace", "Zm9v YmE"}, Rejected{"LeadingSpace", " Zm9vYmE"},
                    Rejected{"InnerLineFeed", "Zm9v\nYmE"},
                    Rejected{"TrailingLineFeed", "Zm9vYmE\n"},
                    Rejected{"LineFeedAfterPadding", "Zg==\n"},
                    Rejected{"CarriageReturn", "Zm9v\r\nYm"}, Rejected{"Tab", "\tZm9vYmE"},
                    Rejected{"Nul", "Zm9v\0YmE"s}, Rejected{"MissingPadding2", "Zg"},
                    Rejected{"MissingPadding1", "Zm8"}, Rejected{"MissingPaddingInGroup", "Zm9vZg"},
                    Rejected{"ThreePads", "Z==="}, Rejected{"OnlyPadding", "===="},
                    Rejected{"PaddingThenMore", "Zg==Zg=="}, Rejected{"PaddingInGroup", "Zm=v"},
                    Rejected{"PaddingBeforeLast", "Zm9=Zm9v"}, Rejected{"PaddingFirst", "=m9v"},
                    Rejected{"ExtraPadding", "Zm8=="}, Rejected{"UrlSafeDash", "Zm9-"},
                    Rejected{"UrlSafeUnderscore", "Zm9_"}, Rejected{"NonCanonical2", "QR=="},
                    Rejected{"NonCanonical2High", "Zh=="}, Rejected{"NonCanonical1", "QUJ="},
                    Rejected{"NonAscii", "Zm\xc3\xa9"}, Rejected{"Latin1", "Zm9\xff"},
                    Rejected{"ReplacementCharacter",
                             "Zm9v\xef\xbf\xbd"
                             "A"},
                    Rejected{"Length1", "Z"}, Rejected{"Length5", "Zm9vY"}),
    [](const testing::TestParamInfo<Rejected>& row) { return row.param.name; });

TEST(Base64, CanonicalPadBitsDecode) {
  EXPECT_EQ(base64Decode("QQ=="), secret("A"));
  EXPECT_EQ(base64Decode("QUI="), secret("AB"));
}

TEST(Base64, RoundTripsEveryLengthUpTo64) {
  std::mt19937 random(20240601);
  for (std::size_t length = 0; length <= 64; ++length) {
    crypto::Bytes bytes(length);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    const std::string text = base64Encode(bytes);
    ASSERT_EQ(text.size(), (length + 2) / 3 * 4) << length;
    ASSERT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                     "0123456789+/="),
              std::string::npos)
        << text;
    const std::optional<crypto::SecretBytes> decoded = base64Decode(text);
    ASSERT_TRUE(decoded.has_value()) << text;
    EXPECT_TRUE(std::equal(decoded->begin(), decoded->end(), bytes.begin(), bytes.end())) << text;
  }
}

}  // namespace
}  // namespace sealing
