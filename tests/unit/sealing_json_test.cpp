#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "sealing/base64.h"
#include "sealing/sealed.h"

namespace sealing {
namespace {

std::optional<Sealed> read(std::string_view json) { return fromJson(crypto::bytesOf(json)); }

const Sealed abc{"a", "b", "c"};
const std::string abcJson = R"({"enclave":"a","ephemeral":"b","box":"c"})";

TEST(SealedJson, WritesCompactJsonAndOneLineBase64) {
  EXPECT_EQ(toJson(abc), abcJson);
  // Python's base64 of the compact JSON.
  EXPECT_EQ(writeSealedKeyText({"AAEC/w==", "BA+/", ""}),
            "eyJlbmNsYXZlIjoiQUFFQy93PT0iLCJlcGhlbWVyYWwiOiJCQSsvIiwiYm94IjoiIn0=");
  EXPECT_ANY_THROW(toJson(Sealed{"\xff", "", ""}));
}

TEST(SealedJson, RoundTrips) {
  const Sealed record{"AAEC/w+=", std::string(88, 'B'), "x\"\\/\u00e9\n"};
  EXPECT_EQ(read(toJson(record)), record);
  EXPECT_EQ(readSealedKeyText(writeSealedKeyText(record)), record);
}

TEST(SealedJson, ReadsEveryFormOfTheSameRecord) {
  const std::pair<std::string, Sealed> cases[] = {
      {R"({"box":"c","ephemeral":"b","enclave":"a"})", abc},
      {" \t\r\n{ \"enclave\" :\"a\" ,\n\"ephemeral\"\t:\"b\",\"box\":\"c\"}\r\n", abc},
      {R"({"x":1,"enclave":"a","y":[{"enclave":5}],"ephemeral":"b","z":null,"box":"c"})", abc},
      {R"({"enclave":"a\/b","ephemeral":"\u0041\u00e9","box":"\ud83d\ude00"})",
       {"a/b", "A\u00e9", "\U0001F600"}},
      {R"({"enclave":"","ephemeral":"","box":""})", {}},
      {R"({"enclave":"z","enclave":"a","ephemeral":"b","box":"c"})", abc},
  };
  for (const auto& [json, record] : cases) EXPECT_EQ(read(json), record) << json;
}

TEST(SealedJson, RejectsAnythingButOneRecordObject) {
  const std::string rejected[] = {
      "hello",
      "",
      abcJson + "x",
      abcJson + abcJson,
      "/* c */" + abcJson,
      R"({"enclave":"a","ephemeral":"b","box":"c",})",
      "[" + abcJson + "]",
      R"({"Enclave":"a","ephemeral":"b","box":"c"})",
      R"({"ephemeral":"b","box":"c"})",
      R"({"enclave":"a","box":"c"})",
      R"({"enclave":"a","ephemeral":"b"})",
      // A wanted member of another kind, after one that is a string: the last counts.
      R"({"enclave":"a","ephemeral":"b","box":"c","enclave":null})",
      R"({"enclave":"a","ephemeral":"b","box":"c","ephemeral":true})",
      R"({"enclave":"a","ephemeral":"b","box":"c","box":1})",
      R"({"enclave":"a","ephemeral":"b","box":"c","enclave":-1})",
      R"({"enclave":"a","ephemeral":"b","box":"c","ephemeral":1.5})",
      R"({"enclave":"a","ephemeral":"b","box":"c","box":["c"]})",
      R"({"enclave":"a","ephemeral":"b","box":"c","enclave":{"a":"a"}})",
      "{\"enclave\":\"\xff\",\"ephemeral\":\"b\",\"box\":\"c\"}",
  };
  for (const std::string& json : rejected) {
    EXPECT_EQ(read(json), std::nullopt) << json;
    EXPECT_EQ(readSealedKeyText(base64Encode(crypto::bytesOf(json))), std::nullopt) << json;
  }
}

// Nesting this deep overflowed the stack of a parser that builds a tree.
TEST(SealedJson, ReadsPastDeeplyNestedOtherMembers) {
  const std::size_t depth = 1'000'000;
  const std::string json = R"({"x":)" + std::string(depth, '[') + std::string(depth, ']') +
                           R"(,"enclave":"a","ephemeral":"b","box":"c"})";
  EXPECT_EQ(read(json), abc);
}

// The front end trims the ends; what is left must be exactly one base64 line.
TEST(SealedKeyText, RejectsInnerWhiteSpace) {
  const std::string text = writeSealedKeyText(abc);
  ASSERT_EQ(readSealedKeyText(text), abc);
  for (const char* blank : {" ", "\n", "\r\n"}) {
    EXPECT_EQ(readSealedKeyText(text.substr(0, 20) + blank + text.substr(20)), std::nullopt);
  }
}

}  // namespace
}  // namespace sealing
