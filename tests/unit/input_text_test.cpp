// Trimming, and the JSON reader at a depth no fuzz seed builds (fuzz_parsers judges the rest).
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "cli/text.h"
#include "sealing/sealed.h"

namespace {

TEST(Trim, RemovesWhiteSpaceAndLineBreaksAtBothEndsOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {" \t\n\r\v\f", ""},
      // U+0085 U+00A0 U+3000 U+2028 lead; U+2029 U+1680 U+202F U+205F U+200A trail.
      {"\xC2\x85\xC2\xA0\xE3\x80\x80\xE2\x80\xA8Q \xC2\xA0U\xE2\x80\xA9\xE1\x9A\x80\xE2\x80\xAF"
       "\xE2\x81\x9F\xE2\x80\x8A\r\n",
       "Q \xC2\xA0U"},
      // U+180E, U+200B and U+FEFF are not white space.
      {"\xE1\xA0\x8E\xE2\x80\x8BQ\xEF\xBB\xBF", "\xE1\xA0\x8E\xE2\x80\x8BQ\xEF\xBB\xBF"},
      // Ill-formed bytes stay, and stop the trimming: cut short, overlong line feeds (C0 8A,
      // E0 80 8A), stray continuation bytes beside U+0085, Latin-1 bytes of U+00A0 and U+0085,
      // and another lead before U+2028's continuations.
      {" \xE2\x80", "\xE2\x80"},
      {"\xC0\x8AQ\xE0\x80\x8A", "\xC0\x8AQ\xE0\x80\x8A"},
      {"\x80\xC2\x85Q\xC2\x85\x80", "\x80\xC2\x85Q\xC2\x85\x80"},
      {"\xA0Q\x85", "\xA0Q\x85"},
      {"\xF2\x80\xA8Q\xF2\x80\xA8", "\xF2\x80\xA8Q\xF2\x80\xA8"},
  };
  for (const auto& [text, kept] : cases) EXPECT_EQ(cli::trimmed(text), kept) << text;
}

// Nesting this deep overflowed the stack of a parser that builds a tree.
TEST(SealedJson, ReadsPastDeeplyNestedOtherMembers) {
  const std::string json = R"({"x":)" + std::string(1'000'000, '[') + std::string(1'000'000, ']') +
                           R"(,"enclave":"a","ephemeral":"b","box":"c"})";
  const auto sealed = sealing::fromJson(crypto::bytesOf(json));
  ASSERT_TRUE(sealed);
  EXPECT_EQ(sealed->enclave + sealed->ephemeral + sealed->box, "abc");
}

}  // namespace
