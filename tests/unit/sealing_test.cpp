#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "crypto/hkdf.h"
#include "sealing/base64.h"
#include "sealing/sealed.h"
#include "sealing/wrapping_key.h"
#include "support/hex.h"

namespace sealing {
namespace {

using namespace std::string_literals;
using crypto::P256::KeyAgreement::PublicKey;
using testing_support::hex;
using testing_support::unhex;

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

std::optional<Sealed> read(std::string_view json) { return fromJson(crypto::bytesOf(json)); }

const Sealed abc{"a", "b", "c"};
const std::string abcJson = R"({"enclave":"a","ephemeral":"b","box":"c"})";

TEST(SealedJson, WritesCompactJsonAsOneBase64LineAndReadsItBack) {
  EXPECT_EQ(toJson(abc), abcJson);
  // Python's base64 of the compact JSON.
  EXPECT_EQ(writeSealedKeyText({"AAEC/w==", "BA+/", ""}),
            "eyJlbmNsYXZlIjoiQUFFQy93PT0iLCJlcGhlbWVyYWwiOiJCQSsvIiwiYm94IjoiIn0=");
  EXPECT_ANY_THROW(toJson(Sealed{"\xff", "", ""}));
  const Sealed record{"AAEC/w+=", std::string(88, 'B'), "x\"\\/\u00e9\n"};
  EXPECT_EQ(read(toJson(record)), record);
  const std::string text = writeSealedKeyText(record);
  EXPECT_EQ(readSealedKeyText(text), record);
  // The front end trims the ends; what is left must be exactly one base64 line.
  for (const char* blank : {" ", "\n", "\r\n"}) {
    EXPECT_EQ(readSealedKeyText(text.substr(0, 20) + blank + text.substr(20)), std::nullopt);
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
  for (const auto& [json, record] : cases) EXPECT_EQ(read(json), record) << json;

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

TEST(WrappingKey, MatchesEveryIndependentVector) {
  // Written by make_wrapping_key_vectors.py with python3-cryptography: field name to hex.
  std::vector<std::map<std::string, std::string>> vectors;
  std::ifstream file(MORVANE_VECTORS_DIR "/wrapping_key.txt");
  for (std::string line; std::getline(file, line);) {
    const std::size_t equals = line.find(" = ");
    if (line.starts_with("#") || equals == std::string::npos) continue;
    if (line.starts_with("enclaveScalar")) vectors.emplace_back();
    vectors.back()[line.substr(0, equals)] = line.substr(equals + 3);
  }
  ASSERT_GE(vectors.size(), 4u);
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.at("wrappingKey"));
    const crypto::SharedSecret shared(unhex<crypto::SecretBytes>(v.at("sharedSecret")));
    const PublicKey enclave = PublicKey::fromX963(unhex(v.at("enclavePoint")));
    const PublicKey ephemeral = PublicKey::fromX963(unhex(v.at("ephemeralPoint")));
    EXPECT_EQ(hex(wrappingKey(shared, enclave, ephemeral).bytes()), v.at("wrappingKey"));
    EXPECT_NE(hex(wrappingKey(shared, ephemeral, enclave).bytes()), v.at("wrappingKey"));
    const crypto::Bytes info = unhex(v.at("enclavePoint") + v.at("ephemeralPoint"));
    auto otherSalt = salt;
    otherSalt[0] ^= 0x01;
    EXPECT_NE(hex(crypto::hkdfSha256(shared.bytes(), otherSalt, info, 32)), v.at("wrappingKey"));
  }
}

}  // namespace
}  // namespace sealing
