#include "sealing/base64.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <utility>

namespace sealing {
namespace {

using namespace std::string_literals;

TEST(Base64, MatchesKnownAnswersBothWays) {
  const std::pair<std::string, std::string> cases[] = {
      // RFC 4648 section 10.
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      // The whole alphabet in order (Python's base64).
      {"\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93\x51\x55\x97\x61\x96\x9b\x71"
       "\xd7\x9f\x82\x18\xa3\x92\x59\xa7\xa2\x9a\xab\xb2\xdb\xaf\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e"
       "\xbb\xf3\xdf\xbf"s,
       "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(base64Encode(crypto::bytesOf(bytes)), text);
    const std::optional<crypto::SecretBytes> decoded = base64Decode(text);
    ASSERT_TRUE(decoded.has_value()) << text;
    EXPECT_EQ(std::string(decoded->begin(), decoded->end()), bytes);
  }
}

TEST(Base64, RejectsAnyOtherForm) {
  const std::string rejected[] = {
      "Zm9v YmE",   // inner space
      "Zm9v\nYg=",  // line feed
      "Zg",         // missing padding
      "Zm9vY",      // length not a multiple of four
      "Zm=v",       // misplaced padding
      "Z===",       // excess padding
      "Zm-_",       // URL-safe alphabet
      "QR==",       // non-zero pad bits, one byte
      "QUJ=",       // non-zero pad bits, two bytes
      "Zm9\xff",    // non-ASCII byte
  };
  for (const std::string& text : rejected) EXPECT_EQ(base64Decode(text), std::nullopt) << text;
}

TEST(Base64, RoundTripsEveryLengthUpTo64) {
  std::mt19937 random(20240601);
  crypto::Bytes bytes;
  for (std::size_t length = 0; length <= 64; ++length) {
    const std::optional<crypto::SecretBytes> decoded = base64Decode(base64Encode(bytes));
    ASSERT_TRUE(decoded.has_value()) << length;
    EXPECT_TRUE(std::ranges::equal(*decoded, bytes)) << length;
    bytes.push_back(static_cast<std::uint8_t>(random()));
  }
}

}  // namespace
}  // namespace sealing
