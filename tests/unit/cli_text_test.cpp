#include "cli/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string decode(std::string_view bytes) {
  const crypto::SecretText text = cli::decodeUtf8Lossy(crypto::bytesOf(bytes));
  return std::string(text.begin(), text.end());
}

struct DecodeCase {
  const char* name;
  std::string bytes;
  std::string text;
};

class DecodeUtf8 : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeUtf8, ReplacesEachMaximalSubpart) {
  EXPECT_EQ(decode(GetParam().bytes), GetParam().text);
  crypto::SecretText inPlace(GetParam().bytes.begin(), GetParam().bytes.end());
  cli::makeWellFormed(inPlace);
  EXPECT_EQ(std::string(inPlace.begin(), inPlace.end()), GetParam().text);
}

const std::string fffd = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeUtf8,
    testing::Values(DecodeCase{"ascii", "QUJD\n", "QUJD\n"},
                    DecodeCase{"well_formed", "\xC2\xA0\xE3\x80\x80\xF0\x9F\x94\x91",
                               "\xC2\xA0\xE3\x80\x80\xF0\x9F\x94\x91"},
                    // The Unicode Standard's own example (chapter 3, table 3-8).
                    DecodeCase{"unicode_table_3_8",
                               "a\xF1\x80\x80\xE1\x80\xC2"
                               "b\x80"
                               "c\x80\xBF"
                               "d",
                               "a" + fffd + fffd + fffd + "b" + fffd + "c" + fffd + fffd + "d"},
                    DecodeCase{"overlong", "\xC0\xAF", fffd + fffd},
                    DecodeCase{"overlong_three", "\xE0\x80\xAF", fffd + fffd + fffd},
                    DecodeCase{"surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
                    DecodeCase{"past_max", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
                    DecodeCase{"truncated_at_end", "A\xF0\x9F\x94", "A" + fffd},
                    DecodeCase{"invalid_bytes", "\xF5\xFF\xFE", fffd + fffd + fffd}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

struct TrimCase {
  const char* name;
  std::string text;
  std::string kept;
};

class Trimmed : public testing::TestWithParam<TrimCase> {};

TEST_P(Trimmed, RemovesTheTrimSetAtBothEndsOnly) {
  EXPECT_EQ(cli::trimmed(GetParam().text), GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Trimmed,
    testing::Values(TrimCase{"line_feed", "QUJD\n", "QUJD"}, TrimCase{"crlf", "QUJD\r\n", "QUJD"},
                    TrimCase{"only_blanks", " \t\n\r\v\f", ""}, TrimCase{"empty", "", ""},
                    TrimCase{"no_break_space", "\xC2\xA0QUJD\xC2\xA0", "QUJD"},
                    TrimCase{"ideographic_space", "\xE3\x80\x80QUJD\xE3\x80\x80", "QUJD"},
                    TrimCase{"line_separator", "\xE2\x80\xA8QUJD\xE2\x80\xA8", "QUJD"},
                    TrimCase{"paragraph_separator", "\xE2\x80\xA9QUJD\xE2\x80\xA9", "QUJD"},
                    TrimCase{"next_line", "\xC2\x85QUJD\xC2\x85", "QUJD"},
                    TrimCase{"ogham_and_narrow_spaces",
                             "\xE1\x9A\x80\xE2\x80\xAFQ\xE2\x81\x9F\xE2\x80\x8A", "Q"},
                    TrimCase{"inner_blanks_stay", " Q U\xC2\xA0J\xE2\x80\xA8\x44 ",
                             "Q U\xC2\xA0J\xE2\x80\xA8\x44"},
                    // Not white space in Unicode's sense: zero width space, BOM, U+180E, U+FFFD.
                    TrimCase{"zero_width_space_stays", "\xE2\x80\x8BQ", "\xE2\x80\x8BQ"},
                    TrimCase{"bom_stays", "Q\xEF\xBB\xBF", "Q\xEF\xBB\xBF"},
                    TrimCase{"mongolian_vowel_separator_stays", "\xE1\xA0\x8EQ", "\xE1\xA0\x8EQ"},
                    TrimCase{"replacement_stays", "\xEF\xBF\xBD ", "\xEF\xBF\xBD"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(TrimSet, HoldsExactlyTwentyFiveCodePoints) {
  int count = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) count += cli::isTrimmed(c) ? 1 : 0;
  EXPECT_EQ(count, 25);
}

}  // namespace
