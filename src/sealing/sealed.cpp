// SPDX-License-Identifier: Apache-2.0
#include "sealing/sealed.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <functional>
#include <string_view>
#include <utility>

#include "sealing/base64.h"

namespace sealing {
namespace {

// Ordered, so the writer keeps the record's member order.
using Json = nlohmann::ordered_json;

// Reads a record as a stream of parse events rather than into a tree: untrusted input could nest
// members a million levels deep, and a tree that deep overflows the stack when it is destroyed.
// Only the three members are kept (their strings moved, not copied); of two members with the
// same name, the last counts.
class RecordReader : public nlohmann::json_sax<Json> {
 public:
  std::optional<Sealed> take() {
    if (!std::ranges::all_of(seen_, std::identity{})) return std::nullopt;
    return std::move(record_);
  }

  bool start_object(std::size_t) override { return enter(true); }
  bool start_array(std::size_t) override { return enter(false); }
  bool end_object() override { return leave(); }
  bool end_array() override { return leave(); }

  bool key(string_t& name) override {
    if (depth_ == 1) member_ = std::ranges::find(names, name) - names.begin();  // or names.size()
    return true;
  }

  bool string(string_t& value) override {
    if (depth_ == 0) return false;
    if (depth_ == 1 && member_ < names.size()) {
      const std::array fields = {&record_.enclave, &record_.ephemeral, &record_.box};
      *fields[member_] = std::move(value);
      seen_[member_] = true;
    }
    return true;
  }

  bool null() override { return scalar(); }
  bool boolean(bool) override { return scalar(); }
  bool number_integer(number_integer_t) override { return scalar(); }
  bool number_unsigned(number_unsigned_t) override { return scalar(); }
  bool number_float(number_float_t, const string_t&) override { return scalar(); }
  bool binary(binary_t&) override { return false; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  static constexpr auto names = std::to_array<std::string_view>({"enclave", "ephemeral", "box"});

  // The top level must be an object; a wanted member must be a string, and of two members with
  // the same name the last counts, so one of another kind stands until a later string replaces it.
  bool enter(bool isObject) {
    if (depth_ == 0 && !isObject) return false;
    notAString();
    ++depth_;
    return true;
  }
  void notAString() {
    if (depth_ == 1 && member_ < names.size()) seen_[member_] = false;
  }
  bool leave() {
    --depth_;
    return true;
  }
  bool scalar() {
    notAString();
    return depth_ > 0;
  }

  std::size_t depth_ = 0;
  std::size_t member_{};  // set by each key at depth 1, before its value
  Sealed record_;
  std::array<bool, names.size()> seen_{};
};

// The form the tool writes, {"enclave":"…","ephemeral":"…","box":"…"} with members in the
// base64 alphabet, is read and written without the JSON library, which would build a box of
// many megabytes a character at a time, twice; every other form goes through the library.
constexpr auto plainForm = std::to_array<std::string_view>(
    {R"({"enclave":")", R"(","ephemeral":")", R"(","box":")", R"("})"});

bool isPlain(std::string_view member) {
  return member.find_first_not_of(
             "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") ==
         std::string_view::npos;
}

bool isPlain(const Sealed& sealed) {
  return isPlain(sealed.enclave) && isPlain(sealed.ephemeral) && isPlain(sealed.box);
}

std::optional<Sealed> readPlain(std::string_view json) {
  Sealed record;
  auto separator = plainForm.begin();
  if (!json.starts_with(*separator)) return std::nullopt;
  for (std::string* field : {&record.enclave, &record.ephemeral, &record.box}) {
    json.remove_prefix(separator++->size());
    const std::string_view member = json.substr(0, json.find('"'));
    json.remove_prefix(member.size());
    if (!isPlain(member) || !json.starts_with(*separator)) return std::nullopt;
    *field = member;  // copied only once the form is known
  }
  if (json != *separator) return std::nullopt;
  return record;
}

}  // namespace

std::string toJson(Sealed sealed) {
  if (isPlain(sealed)) {
    std::string json;
    for (std::string_view piece : {plainForm[0], std::string_view(sealed.enclave), plainForm[1],
                                   std::string_view(sealed.ephemeral), plainForm[2],
                                   std::string_view(sealed.box), plainForm[3]}) {
      json += piece;
    }
    return json;
  }
  Json object = Json::object();
  object["enclave"] = std::move(sealed.enclave);
  object["ephemeral"] = std::move(sealed.ephemeral);
  object["box"] = std::move(sealed.box);
  return object.dump();
}

std::optional<Sealed> fromJson(crypto::ByteView json) {
  const std::string_view text(reinterpret_cast<const char*>(json.data()), json.size());
  if (std::optional<Sealed> plain = readPlain(text)) return plain;
  // The library takes a NUL byte for the end of the text and skips a byte order mark; RFC 8259
  // allows neither in the text, and the tool's records have none.
  if (text.find('\0') != std::string_view::npos || text.starts_with("\xEF\xBB\xBF")) {
    return std::nullopt;
  }
  RecordReader reader;
  const bool parsed = Json::sax_parse(json.begin(), json.end(), &reader, Json::input_format_t::json,
                                      /*strict=*/true, /*ignore_comments=*/false);
  if (!parsed) return std::nullopt;
  return reader.take();
}

std::string writeSealedKeyText(Sealed sealed) {
  if (!isPlain(sealed)) return base64Encode(crypto::bytesOf(toJson(std::move(sealed))));
  const auto bytes = [](std::string_view text) { return crypto::bytesOf(text); };
  return base64EncodeJoined({bytes(plainForm[0]), bytes(sealed.enclave), bytes(plainForm[1]),
                             bytes(sealed.ephemeral), bytes(plainForm[2]), bytes(sealed.box),
                             bytes(plainForm[3])});
}

std::optional<Sealed> readSealedKeyText(std::string_view text) {
  const std::optional<crypto::SecretBytes> json = base64Decode(text);
  if (!json) return std::nullopt;
  return fromJson(*json);
}

}  // namespace sealing
