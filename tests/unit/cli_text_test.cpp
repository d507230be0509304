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
      {"\xC0\xAF\xF5\xFF", r + r + r + r},  // never a lead byte
      {"\xE0\x80\xAF", r + r + r},          // overlong
      {"\xED\xA0\x80", r + r + r},          // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // past U+10FFFF
      {"A\xF0\x9F\x94", "A" + r},           // cut short at the end
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(crypto::view(cli::decodeUtf8Lossy(crypto::bytesOf(bytes))), text) << bytes;
    crypto::SecretText inPlace(bytes.begin(), bytes.end());
    cli::makeWellFormed(inPlace);
    EXPECT_EQ(crypto::view(inPlace), text) << bytes;
  }
}

TEST(Trim, RemovesWhiteSpaceAtBothEndsOnly) {
  const InOut cases[] = {
      {"QUJD\n", "QUJD"},
      {"QUJD\r\n", "QUJD"},
      {" \t\n\r\v\f", ""},
      {"", ""},
      {"\xC2\xA0QUJD\xC2\xA0", "QUJD"},                            // U+00A0
      {"\xE3\x80\x80QUJD\xE3\x80\x80", "QUJD"},                    // U+3000
      {"\xE2\x80\xA8QUJD\xE2\x80\xA8", "QUJD"},                    // U+2028
      {"\xE2\x80\xA9QUJD\xE2\x80\xA9", "QUJD"},                    // U+2029
      {"\xC2\x85QUJD\xC2\x85", "QUJD"},                            // U+0085
      {"\xE1\x9A\x80\xE2\x80\xAFQ\xE2\x81\x9F\xE2\x80\x8A", "Q"},  // U+1680 U+202F U+205F U+200A
      {" Q U\xC2\xA0J\xE2\x80\xA8\x44 ", "Q U\xC2\xA0J\xE2\x80\xA8\x44"},
      // Not white space: U+200B, U+FEFF, U+180E.
      {"\xE2\x80\x8BQ\xEF\xBB\xBF", "\xE2\x80\x8BQ\xEF\xBB\xBF"},
      {"\xE1\xA0\x8EQ", "\xE1\xA0\x8EQ"},
  };
  for (const auto& [text, kept] : cases) EXPECT_EQ(cli::trimmed(text), kept) << text;
}

TEST(Trim, SetHoldsExactlyTwentyFiveCodePoints) {
  int count = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) count += cli::isTrimmed(c) ? 1 : 0;
  EXPECT_EQ(count, 25);
}

}  // namespace
