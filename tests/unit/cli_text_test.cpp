#include "cli/text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using InOut = std::pair<std::string, std::string>;

TEST(Utf8, ReplacesEachMaximalIllFormedSubpart) {
  const std::string r = "\xEF\xBF\xBD";
  const InOut cases[] = {
      {"Q\n\xC2\xA0\xE3\x80\x80\xF0\x9F\x94\x91", "Q\n\xC2\xA0\xE3\x80\x80\xF0\x9F\x94\x91"},
      // The Unicode Standard, chapter 3, table 3-8.
      {"a\xF1\x80\x80\xE1\x80\xC2"
       "b\x80"
       "c\x80\xBF"
       "d",
       "a" + r + r + r + "b" + r + "c" + r + r + "d"},
      // Never a lead byte, overlong, a surrogate, past U+10FFFF.
      {"\xC0\xF5\xE0\x80\xED\xA0\xF4\x90", r + r + r + r + r + r + r + r},
      {"A\xF0\x9F\x94", "A" + r},  // cut short at the end
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(crypto::view(cli::decodeUtf8Lossy(crypto::bytesOf(bytes))), text) << bytes;
    crypto::SecretText inPlace(bytes.begin(), bytes.end());
    cli::makeWellFormed(inPlace);
    EXPECT_EQ(crypto::view(inPlace), text) << bytes;
  }
}

TEST(Trim, RemovesTheTwentyFiveWhiteSpaceCodePointsAtBothEndsOnly) {
  const InOut cases[] = {
      {"", ""},
      {" \t\n\r\v\f", ""},
      // U+0085 U+00A0 U+3000 U+2028 lead; U+2029 U+1680 U+202F U+205F U+200A trail.
      {"\xC2\x85\xC2\xA0\xE3\x80\x80\xE2\x80\xA8Q \xC2\xA0U\xE2\x80\xA9\xE1\x9A\x80\xE2\x80\xAF"
       "\xE2\x81\x9F\xE2\x80\x8A\r\n",
       "Q \xC2\xA0U"},
      // U+180E, U+200B and U+FEFF are not white space.
      {"\xE1\xA0\x8E\xE2\x80\x8BQ\xEF\xBB\xBF", "\xE1\xA0\x8E\xE2\x80\x8BQ\xEF\xBB\xBF"},
  };
  for (const auto& [text, kept] : cases) EXPECT_EQ(cli::trimmed(text), kept) << text;
  int count = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) count += cli::isTrimmed(c) ? 1 : 0;
  EXPECT_EQ(count, 25);
}

}  // namespace
