#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sealing/base64.h"
#include "sealing/sealed.h"

namespace sealing {
namespace {

using namespace std::string_literals;

std::optional<Sealed> read(std::string_view json) { return fromJson(crypto::bytesOf(json)); }

const Sealed abc{"a", "b", "c"};
const std::string abcJson = R"({"enclave":"a","ephemeral":"b","box":"c"})";

// The exact text for a fixed record, computed with Python's base64 module.
const Sealed known{"AAEC/w==", "BA+/", ""};
const std::string knownText =
    "eyJlbmNsYXZlIjoiQUFFQy93PT0iLCJlcGhlbWVyYWwiOiJCQSsvIiwiYm94IjoiIn0=";

TEST(SealedJson, WriterIsCompactInRecordOrder) {
  EXPECT_EQ(toJson(abc), abcJson);
  EXPECT_EQ(writeSealedKeyText(known), knownText);
  EXPECT_ANY_THROW(toJson(Sealed{"\xff", "", ""}));
}

TEST(SealedJson, RoundTrips) {
  const Sealed record{"AAEC/w+=", std::string(88, 'B'), "x\"\\/\u00e9\n"};
  EXPECT_EQ(fromJson(crypto::bytesOf(toJson(record))), record);
  EXPECT_EQ(readSealedKeyText(writeSealedKeyText(record)), record);
}

struct Accepted {
  const char* name;
  std::string json;
  Sealed expected;
};

class SealedJsonAccepts : public testing::TestWithParam<Accepted> {};

TEST_P(SealedJsonAccepts, Json) { EXPECT_EQ(read(GetParam().json), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Forms, SealedJsonAccepts,
    testing::Values(
        Accepted{"OtherOrder", R"({"box":"c","ephemeral":"b","enclave":"a"})", abc},
        Accepted{"Whitespace",
                 " \t\r\n{ \"enclave\" :\"a\" ,\n\"ephemeral\"\t:\"b\",\"box\":\"c\"}\r\n", abc},
        Accepted{"ExtraMembers",
                 R"({"x":1,"enclave":"a","y":[{"enclave":5}],"ephemeral":"b","z":null,"box":"c"})",
                 abc},
        Accepted{"Escapes", R"({"enclave":"a\/b","ephemeral":"\u0041\u00e9","box":"\ud83d\ude00"})",
                 Sealed{"a/b", "A\u00e9", "\U0001F600"}},
        Accepted{"EmptyStrings", R"({"enclave":"","ephemeral":"","box":""})", Sealed{}},
        Accepted{"DuplicateKeepsLast", R"({"enclave":"z","enclave":"a","ephemeral":"b","box":"c"})",
                 abc}),
    [](const testing::TestParamInfo<Accepted>& row) { return row.param.name; });

struct Rejected {
  std::string name;
  std::string json;
};

std::vector<Rejected> rejectedForms() {
  std::vector<Rejected> forms = {
      {"NotJson", "hello"},
      {"Empty", ""},
      {"OnlyWhitespace", " \n"},
      {"TrailingGarbage", abcJson + "x"},
      {"TwoValues", abcJson + abcJson},
      {"BlockComment", "/* c */" + abcJson},
      {"LineComment", "{\"enclave\":\"a\", // c\n\"ephemeral\":\"b\",\"box\":\"c\"}"},
      {"TrailingComma", R"({"enclave":"a","ephemeral":"b","box":"c",})"},
      {"SingleQuotes", R"({'enclave':'a','ephemeral':'b','box':'c'})"},
      {"Unterminated", R"({"enclave":"a","ephemeral":"b","box":"c")"},
      {"TopLevelArray", "[" + abcJson + "]"},
      {"TopLevelString", R"("abc")"},
      {"TopLevelNumber", "1"},
      {"TopLevelNull", "null"},
      {"CapitalEnclave", R"({"Enclave":"a","ephemeral":"b","box":"c"})"},
      {"CapitalBox", R"({"enclave":"a","ephemeral":"b","BOX":"c"})"},
      {"NameWithNul", R"({"enclave\u0000":"a","ephemeral":"b","box":"c"})"},
      {"InvalidUtf8", "{\"enclave\":\"\xff\",\"ephemeral\":\"b\",\"box\":\"c\"}"},
      {"OverlongUtf8", "{\"enclave\":\"\xc0\xaf\",\"ephemeral\":\"b\",\"box\":\"c\"}"},
      {"LoneSurrogate", R"({"enclave":"\ud800","ephemeral":"b","box":"c"})"},
      {"RawControlCharacter", "{\"enclave\":\"a\nb\",\"ephemeral\":\"b\",\"box\":\"c\"}"},
  };
  const std::vector<std::pair<std::string, std::string>> members = {
      {"enclave", "\"a\""}, {"ephemeral", "\"b\""}, {"box", "\"c\""}};
  const std::vector<std::pair<std::string, std::string>> wrongValues = {{"Null", "null"},
                                                                        {"Number", "1"},
                                                                        {"Boolean", "true"},
                                                                        {"Array", "[\"a\"]"},
                                                                        {"Object", "{\"a\":\"b\"}"},
                                                                        {"Missing", ""}};
  for (std::size_t wrong = 0; wrong < members.size(); ++wrong) {
    for (const auto& [kind, value] : wrongValues) {
      std::string json = "{";
      for (std::size_t i = 0; i < members.size(); ++i) {
        if (i == wrong && value.empty()) continue;
        if (json.size() > 1) json += ",";
        json += "\"" + members[i].first + "\":" + (i == wrong ? value : members[i].second);
      }
      forms.push_back({members[wrong].first + kind, json + "}"});
    }
  }
  return forms;
}

class SealedJsonRejects : public testing::TestWithParam<Rejected> {};

TEST_P(SealedJsonRejects, Json) {
  EXPECT_EQ(read(GetParam().json), std::nullopt);
  EXPECT_EQ(readSealedKeyText(base64Encode(crypto::bytesOf(GetParam().json))), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Forms, SealedJsonRejects, testing::ValuesIn(rejectedForms()),
                         [](const testing::TestParamInfo<Rejected>& row) {
                           return row.param.name;
                         });

struct TextCase {
  const char* name;
  std::string text;
  bool accepted;
};

class SealedKeyText : public testing::TestWithParam<TextCase> {};

TEST_P(SealedKeyText, Reads) {
  EXPECT_EQ(readSealedKeyText(GetParam().text),
            GetParam().accepted ? std::optional(known) : std::nullopt);
}

// The front end trims surrounding white space; this layer sees only what is left.
INSTANTIATE_TEST_SUITE_P(
    Envelope, SealedKeyText,
    testing::Values(
        TextCase{"Valid", knownText, true},
        TextCase{"InnerSpace", knownText.substr(0, 20) + " " + knownText.substr(20), false},
        TextCase{"InnerLineBreak", knownText.substr(0, 20) + "\n" + knownText.substr(20), false},
        TextCase{"InnerCrLf", knownText.substr(0, 20) + "\r\n" + knownText.substr(20), false},
        TextCase{"TrailingLineFeed", knownText + "\n", false},
        TextCase{"Unpadded", knownText.substr(0, knownText.size() - 1), false},
        TextCase{"RawJson", "{\"enclave\":\"a\",\"ephemeral\":\"b\",\"box\":\"c\"}", false},
        TextCase{"Empty", "", false}),
    [](const testing::TestParamInfo<TextCase>& row) { return row.param.name; });

}  // namespace
}  // namespace sealing
