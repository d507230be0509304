// Our own codec rather than OpenSSL's EVP_DecodeBlock: that one skips white space and decodes
// the padding as zero bytes, so it accepts texts the tool must refuse and miscounts lengths.
#include "sealing/base64.h"

#include <array>
#include <cstdint>

namespace sealing {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::uint8_t invalid = 0x80;

constexpr std::array<std::uint8_t, 256> decodeTable = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(invalid);
  for (std::uint8_t i = 0; i < 64; ++i) {
    table[static_cast<unsigned char>(alphabet[i])] = i;
  }
  return table;
}();

std::uint8_t sextet(char c) { return decodeTable[static_cast<unsigned char>(c)]; }

}  // namespace

std::size_t base64EncodedSize(std::size_t byteCount) { return (byteCount + 2) / 3 * 4; }

void base64EncodeTo(crypto::ByteView bytes, char* out) {
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
    *out++ = alphabet[group >> 18];
    *out++ = alphabet[(group >> 12) & 63];
    *out++ = alphabet[(group >> 6) & 63];
    *out++ = alphabet[group & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 0) return;
  const std::uint32_t group = bytes[i] << 16 | (rest == 2 ? bytes[i + 1] << 8 : 0);
  *out++ = alphabet[group >> 18];
  *out++ = alphabet[(group >> 12) & 63];
  *out++ = rest == 2 ? alphabet[(group >> 6) & 63] : '=';
  *out = '=';
}

std::optional<crypto::SecretBytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return crypto::SecretBytes{};

  const std::size_t padding = text.back() != '=' ? 0 : text[text.size() - 2] != '=' ? 1 : 2;
  crypto::SecretBytes bytes(text.size() / 4 * 3 - padding);
  std::uint8_t* out = bytes.data();

  const std::size_t fullEnd = text.size() - (padding == 0 ? 0 : 4);
  for (std::size_t i = 0; i < fullEnd; i += 4) {
    const std::uint8_t a = sextet(text[i]), b = sextet(text[i + 1]), c = sextet(text[i + 2]),
                       d = sextet(text[i + 3]);
    if ((a | b | c | d) & invalid) return std::nullopt;
    *out++ = static_cast<std::uint8_t>(a << 2 | b >> 4);
    *out++ = static_cast<std::uint8_t>(b << 4 | c >> 2);
    *out++ = static_cast<std::uint8_t>(c << 6 | d);
  }
  if (padding == 0) return bytes;

  // The last group: "xx==" carries one byte, "xxx=" two. Their unused low bits must be zero,
  // so that each byte string has exactly one text.
  const std::uint8_t a = sextet(text[fullEnd]), b = sextet(text[fullEnd + 1]);
  const std::uint8_t c = padding == 2 ? 0 : sextet(text[fullEnd + 2]);
  if ((a | b | c) & invalid) return std::nullopt;
  *out++ = static_cast<std::uint8_t>(a << 2 | b >> 4);
  if (padding == 2) {
    if (b & 0x0f) return std::nullopt;
  } else {
    if (c & 0x03) return std::nullopt;
    *out = static_cast<std::uint8_t>(b << 4 | c >> 2);
  }
  return bytes;
}

}  // namespace sealing
