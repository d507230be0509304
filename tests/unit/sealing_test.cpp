#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "sealing/base64.h"
#include "sealing/sealed.h"

namespace sealing {
namespace {

using namespace std::string_literals;

using Members = std::optional<std::tuple<std::string, std::string, std::string>>;

Members members(const std::optional<Sealed>& sealed) {
  if (!sealed) return std::nullopt;
  return std::tuple(sealed->enclave, sealed->ephemeral, sealed->box);
}
Members read(std::string_view json) { return members(fromJson(crypto::bytesOf(json))); }

const Sealed abc{"a", "b", "c"};
const std::string abcJson = R"({"enclave":"a","ephemeral":"b","box":"c"})";

TEST(SealedJson, ReadsOtherFormsOfTheRecordAndNothingElse) {
  const std::pair<std::string, Sealed> cases[] = {
      {" \t\r\n{ \"box\" :\"c\" ,\n\"ephemeral\"\t:\"b\",\"enclave\":\"a\"}\r\n", abc},
      {R"({"x":1,"enclave":"z","y":[{"box":5}],"enclave":"a","ephemeral":"b","z":null,"box":"c"})",
       abc},
      {R"({"enclave":"a\/b","ephemeral":"\u0041\u00e9","box":"\ud83d\ude00"})",
       {"a/b", "A\u00e9", "\U0001F600"}},
  };
  for (const auto& [json, record] : cases) EXPECT_EQ(read(json), members(record)) << json;

  const std::string rejected[] = {
      "",
      abcJson + "x",
      "/* c */" + abcJson,
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
      // The library would end the text at a NUL byte and skip a byte order mark.
      abcJson + "\0x"s,
      abcJson + "\0"s,
      "\xEF\xBB\xBF" + abcJson,
      R"({"enclave":"a)" + "\0"s + R"(","ephemeral":"b","box":"c"})",
  };
  for (const std::string& json : rejected) {
    EXPECT_EQ(read(json), std::nullopt) << json;
    EXPECT_FALSE(readSealedKeyText(base64Encode(crypto::bytesOf(json)))) << json;
  }
}

// Nesting this deep overflowed the stack of a parser that builds a tree.
TEST(SealedJson, ReadsPastDeeplyNestedOtherMembers) {
  const std::size_t depth = 1'000'000;
  const std::string json = R"({"x":)" + std::string(depth, '[') + std::string(depth, ']') +
                           R"(,"enclave":"a","ephemeral":"b","box":"c"})";
  EXPECT_EQ(read(json), members(abc));
}

}  // namespace
}  // namespace sealing
