// Every parser of untrusted input on the same arbitrary bytes, each judged by a property:
// - base64: bytes survive encoding (whole or in three parts) and decoding; a text either reader
//   accepts, and the same text with any other first character, is the one canonical text of its
//   bytes; both readers agree;
// - the sealed-key text and JSON: an accepted record survives a write and a read, and a JSON text
//   stays accepted with one more byte after it only when that byte is white space (RFC 8259);
// - the key file: what it accepts is the canonical DER of what it returns, except that the
//   emptyAuth byte may read 0x01 in place of 0xFF;
// - trimming: it stays inside the text, leaves nothing trimmable at either end, and removes
//   only trimmable characters.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cli/text.h"
#include "enclave/enclave_error.h"
#include "enclave/key_file.h"
#include "sealing/base64.h"
#include "sealing/sealed.h"

namespace {

void check(bool property) {
  if (!property) std::abort();
}

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
    // Any other first character, the same way: the 63 others are refused or give another text.
    for (int c = 0; c < 256 && !input.empty(); ++c) {
      std::string other(input);
      other[0] = static_cast<char>(c);
      const auto decodedOther = sealing::base64Decode(other);
      check(!decodedOther || sealing::base64Encode(*decodedOther) == other);
    }
  }
}

void checkRoundTrip(const std::optional<sealing::Sealed>& sealed) {
  if (!sealed) return;
  const std::string json = sealing::toJson(*sealed);
  const auto read = sealing::fromJson(crypto::bytesOf(json));
  const auto again = sealing::readSealedKeyText(sealing::writeSealedKeyText(*sealed));
  check(read && again && sealing::toJson(*read) == json && sealing::toJson(*again) == json);
}

void sealedText(crypto::ByteView bytes, std::string_view text) {
  checkRoundTrip(sealing::readSealedKeyText(text));
  if (bytes.empty()) return;
  // The last byte is the one appended to the rest.
  const auto sealed = sealing::fromJson(bytes.first(bytes.size() - 1));
  checkRoundTrip(sealed);
  if (sealed) {
    const std::uint8_t extra = bytes.back();
    const bool whiteSpace = extra == ' ' || extra == '\t' || extra == '\n' || extra == '\r';
    check(sealing::fromJson(bytes).has_value() == whiteSpace);
  }
}

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

void trimming(std::string_view text) {
  const std::string_view kept = cli::trimmed(text);
  check(kept.data() >= text.data() && kept.data() + kept.size() <= text.data() + text.size());
  const auto before = static_cast<std::size_t>(kept.data() - text.data());
  check(cli::trimmed(kept) == kept);
  check(cli::trimmed(text.substr(0, before)).empty() &&
        cli::trimmed(text.substr(before + kept.size())).empty());
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
