// SPDX-License-Identifier: Apache-2.0
// Every parser of untrusted input on the same arbitrary bytes, each judged by a property.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "cli/text.h"
#include "enclave/enclave_error.h"
#include "enclave/key_file.h"
#include "sealing/base64.h"
#include "sealing/sealed.h"

namespace {

void check(bool property) {
  if (!property) std::abort();
}

// Bytes survive encoding (whole or in three parts) and decoding. A text either reader accepts, or
// that text with another first character, is its bytes' one canonical text; both readers agree.
void base64(crypto::ByteView bytes, std::string_view input) {
  const std::string text = sealing::base64Encode(bytes);
  const std::size_t i = bytes.empty() ? 0 : bytes[0] % bytes.size(), j = (i + bytes.size()) / 2;
  check(sealing::base64EncodeJoined({bytes.first(i), bytes.subspan(i, j - i), bytes.subspan(j)}) ==
        text);
  const auto decoded = sealing::base64Decode(text);
  check(decoded && std::ranges::equal(*decoded, bytes));

  std::string inPlace(input);
  const auto copy = sealing::base64Decode(input);
  const auto size = sealing::base64DecodeInPlace(inPlace);
  check(copy.has_value() == size.has_value());
  if (copy) {
    check(std::ranges::equal(*copy, crypto::bytesOf(inPlace).first(*size)) &&
          sealing::base64Encode(*copy) == input);
    for (int c = 0; c < 256 && !input.empty(); ++c) {
      std::string other(input);
      other[0] = static_cast<char>(c);
      const auto decodedOther = sealing::base64Decode(other);
      check(!decodedOther || sealing::base64Encode(*decodedOther) == other);
    }
  }
}

// The record from the library's own tree: a top-level object's last "enclave", "ephemeral" and
// "box", all strings; no NUL (the library's end of text) and no byte order mark (it skips one).
std::optional<std::string> expected(crypto::ByteView json) {
  if (json.size() >= 3 && json[0] == 0xEF && json[1] == 0xBB && json[2] == 0xBF) return {};
  if (std::ranges::find(json, 0) != json.end()) return {};
  const auto tree = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
  if (!tree.is_object()) return {};
  nlohmann::ordered_json record;
  for (const char* name : {"enclave", "ephemeral", "box"}) {
    const auto member = tree.find(name);
    if (member == tree.end() || !member->is_string()) return {};
    record[name] = *member;
  }
  return record.dump();
}

// The JSON reader takes what the tree holds; an accepted record survives a write and a read.
void sealedText(crypto::ByteView bytes, std::string_view text) {
  const auto sealed = sealing::fromJson(bytes);
  check((sealed ? std::optional(sealing::toJson(*sealed)) : std::nullopt) == expected(bytes));
  for (const auto& record : {sealed, sealing::readSealedKeyText(text)}) {
    if (!record) continue;
    const auto again = sealing::readSealedKeyText(sealing::writeSealedKeyText(*record));
    check(again && sealing::toJson(*again) == sealing::toJson(*record));
  }
}

// What the reader accepts is the canonical DER of what it returns; emptyAuth may read 0x01.
void keyFile(crypto::ByteView input) {
  crypto::Bytes encoded;
  try {
    encoded = enclave::encodeKeyFile(enclave::decodeKeyFile(input));
  } catch (const enclave::EnclaveError&) {
    return;
  }
  check(encoded.size() == input.size());
  int spellings = 0;
  for (std::size_t i = 0; i < input.size(); ++i) {
    check(encoded[i] == input[i] || (encoded[i] == 0xFF && input[i] == 0x01 && ++spellings == 1));
  }
}

// A part of the text that trims to itself; what went either side trims to nothing.
void trimming(std::string_view text) {
  const std::string_view kept = cli::trimmed(text);
  const std::size_t before = kept.data() - text.data(), after = before + kept.size();
  check(before <= after && after <= text.size() && cli::trimmed(kept) == kept &&
        cli::trimmed(text.substr(0, before)).empty() && cli::trimmed(text.substr(after)).empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const crypto::ByteView bytes(data, size);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  base64(bytes, text);
  sealedText(bytes, text);
  keyFile(bytes);
  trimming(text);
  return 0;
}
