#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>

#include "sealing/base64.h"
#include "sealing/sealed.h"

namespace sealing {
namespace {

using namespace std::string_literals;

// Both readers, which must agree.
std::optional<std::string> decoded(std::string text) {
  const std::optional<crypto::SecretBytes> copy = base64Decode(text);
  const std::optional<std::size_t> size = base64DecodeInPlace(text);
  EXPECT_EQ(copy.has_value(), size.has_value()) << text;
  if (!copy || !size) return std::nullopt;
  EXPECT_EQ(text.substr(0, *size), std::string(copy->begin(), copy->end()));
  return text.substr(0, *size);
}

TEST(Base64, MatchesKnownAnswersRejectsAnyOtherFormAndRoundTrips) {
  const auto check = [](const std::string& bytes, const std::string& text) {
    EXPECT_EQ(base64Encode(crypto::bytesOf(bytes)), text);
    EXPECT_EQ(decoded(text), bytes) << text;
  };
  // RFC 4648 section 10: the prefixes of "foobar".
  const char* rfc4648[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (std::size_t n = 0; n < std::size(rfc4648); ++n) check(std::string("foobar", n), rfc4648[n]);
  // The whole alphabet in order (Python's base64).
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  check(
      "\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93\x51\x55\x97\x61\x96\x9b\x71"
      "\xd7\x9f\x82\x18\xa3\x92\x59\xa7\xa2\x9a\xab\xb2\xdb\xaf\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e"
      "\xbb\xf3\xdf\xbf"s,
      alphabet);

  // The last three: non-zero pad bits under "==" and under "=", and a non-ASCII byte.
  for (const char* text : {"Zm9v YmE", "Zm9v\nYg=", "Zg", "Zm9vY", "Zm=v", "Z===", "====", "Zm-_",
                           "QR==", "QUJ=", "Zm9\xff"}) {
    EXPECT_EQ(decoded(text), std::nullopt) << text;
  }
  for (int c = 1; c < 256; ++c) {
    if (c != '=' && alphabet.find(static_cast<char>(c)) == std::string::npos) {
      EXPECT_EQ(decoded("QUJD" + std::string(3, static_cast<char>(c)) + "A"), std::nullopt) << c;
    }
  }
  std::mt19937 random(20240601);
  crypto::Bytes bytes;
  for (std::size_t length = 0; length <= 64; ++length) {
    const std::string text = base64Encode(bytes);
    EXPECT_EQ(decoded(text), std::string(bytes.begin(), bytes.end())) << length;
    // Any cut into three parts: each carry of one or two bytes between parts.
    const crypto::ByteView all = bytes;
    for (std::size_t i = 0; i <= length; ++i) {
      for (std::size_t j = i; j <= std::min(length, i + 4); ++j) {
        EXPECT_EQ(base64EncodeJoined({all.first(i), all.subspan(i, j - i), all.subspan(j)}), text);
      }
    }
    bytes.push_back(static_cast<std::uint8_t>(random()));
  }
}

using Members = std::optional<std::tuple<std::string, std::string, std::string>>;

Members members(const std::optional<Sealed>& sealed) {
  if (!sealed) return std::nullopt;
  return std::tuple(sealed->enclave, sealed->ephemeral, sealed->box);
}
Members read(std::string_view json) { return members(fromJson(crypto::bytesOf(json))); }

const Sealed abc{"a", "b", "c"};
const std::string abcJson = R"({"enclave":"a","ephemeral":"b","box":"c"})";

TEST(SealedJson, WritesCompactJsonAsOneBase64LineAndReadsItBack) {
  EXPECT_EQ(toJson(abc), abcJson);
  // Python's base64 of the compact JSON.
  EXPECT_EQ(writeSealedKeyText({"AAEC/w==", "BA+/", ""}),
            "eyJlbmNsYXZlIjoiQUFFQy93PT0iLCJlcGhlbWVyYWwiOiJCQSsvIiwiYm94IjoiIn0=");
  EXPECT_ANY_THROW(toJson(Sealed{"\xff", "", ""}));
  const Sealed record{"AAEC/w+=", std::string(88, 'B'), "x\"\\/\u00e9\n"};
  EXPECT_EQ(read(toJson(record)), members(record));
  const std::string text = writeSealedKeyText(record);
  EXPECT_EQ(members(readSealedKeyText(text)), members(record));
  // The front end trims the ends; what is left must be exactly one base64 line.
  for (const char* blank : {" ", "\n", "\r\n"}) {
    EXPECT_FALSE(readSealedKeyText(text.substr(0, 20) + blank + text.substr(20)));
  }
}

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
