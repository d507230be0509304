// SPDX-License-Identifier: Apache-2.0
// Our own codec rather than OpenSSL's EVP_DecodeBlock: that one skips white space and decodes
// the padding as zero bytes, so it accepts texts the tool must refuse and miscounts lengths.
// The character arithmetic follows BoringSSL's and libsodium's constant-time base64: masks made
// from the sign of a difference (arithmetic right shift, defined since C++20) select each range.
#include "sealing/base64.h"

#include <cstdint>

namespace sealing {
namespace {

// All ones when a < b, else zero; a and b are small non-negative values.
constexpr int below(int a, int b) { return (a - b) >> 8; }

char encodeSextet(int s) {
  int c = s + 'A';
  c += below(25, s) & ('a' - 'A' - 26);
  c += below(51, s) & ('0' - 'a' - 26);
  c += below(61, s) & ('+' - '0' - 10);
  c += below(62, s) & ('/' - '+' - 1);
  return static_cast<char>(c);
}

// The character's value, or -1 outside the alphabet.
int decodeChar(char ch) {
  const int c = static_cast<unsigned char>(ch);
  int value = -1;
  value += below('A' - 1, c) & below(c, 'Z' + 1) & (c - 'A' + 1);
  value += below('a' - 1, c) & below(c, 'z' + 1) & (c - 'a' + 26 + 1);
  value += below('0' - 1, c) & below(c, '9' + 1) & (c - '0' + 52 + 1);
  value += below('+' - 1, c) & below(c, '+' + 1) & (62 + 1);
  value += below('/' - 1, c) & below(c, '/' + 1) & (63 + 1);
  return value;
}

void encodeGroup(std::uint32_t group, char* out) {
  out[0] = encodeSextet(static_cast<int>(group >> 18));
  out[1] = encodeSextet(static_cast<int>(group >> 12 & 63));
  out[2] = encodeSextet(static_cast<int>(group >> 6 & 63));
  out[3] = encodeSextet(static_cast<int>(group & 63));
}

// Encodes the whole groups of bytes; returns where the output stopped.
char* encodeGroups(crypto::ByteView bytes, char* out) {
  for (std::size_t i = 0; i + 3 <= bytes.size(); i += 3, out += 4) {
    encodeGroup(static_cast<std::uint32_t>(bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2]), out);
  }
  return out;
}

// The last one or two bytes, padded.
void encodeTail(crypto::ByteView rest, char* out) {
  if (rest.empty()) return;
  encodeGroup(static_cast<std::uint32_t>(rest[0] << 16 | (rest.size() == 2 ? rest[1] << 8 : 0)),
              out);
  if (rest.size() == 1) out[2] = '=';
  out[3] = '=';
}

std::optional<std::size_t> decodedSize(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return 0;
  const std::size_t padding = text.back() != '=' ? 0 : text[text.size() - 2] != '=' ? 1 : 2;
  return text.size() / 4 * 3 - padding;
}

// Decodes text into out, which may start where text starts: each group is read whole before its
// three bytes, which end before the next group begins, are written.
bool decodeTo(const char* text, std::size_t size, std::size_t byteCount, std::uint8_t* out) {
  int bad = 0;
  const std::size_t groups = size / 4;
  for (std::size_t g = 0; g < groups; ++g) {
    const char* in = text + 4 * g;
    const int a = decodeChar(in[0]), b = decodeChar(in[1]);
    // Padding may stand only in the last group's last places, as byteCount says.
    const bool thirdIsPad = 3 * g + 1 >= byteCount;
    const bool fourthIsPad = 3 * g + 2 >= byteCount;
    const int c = thirdIsPad ? 0 : decodeChar(in[2]);
    const int d = fourthIsPad ? 0 : decodeChar(in[3]);
    bad |= a | b | c | d;  // -1 sets the sign bit
    const std::uint32_t group = static_cast<std::uint32_t>(a << 18 | b << 12 | c << 6 | d);
    out[3 * g] = static_cast<std::uint8_t>(group >> 16);
    if (!thirdIsPad) out[3 * g + 1] = static_cast<std::uint8_t>(group >> 8);
    if (!fourthIsPad) out[3 * g + 2] = static_cast<std::uint8_t>(group);
    // Unused bits under the padding must be zero, so that each byte string has one text.
    if (thirdIsPad) bad |= -(b & 0x0f);
    if (fourthIsPad && !thirdIsPad) bad |= -(c & 0x03);
  }
  return bad >= 0;
}

}  // namespace

std::size_t base64EncodedSize(std::size_t byteCount) { return (byteCount + 2) / 3 * 4; }

void base64EncodeTo(crypto::ByteView bytes, char* out) {
  const std::size_t whole = bytes.size() / 3 * 3;
  encodeTail(bytes.subspan(whole), encodeGroups(bytes.first(whole), out));
}

std::string base64EncodeJoined(std::initializer_list<crypto::ByteView> parts) {
  std::size_t total = 0;
  for (crypto::ByteView part : parts) total += part.size();
  std::string text(base64EncodedSize(total), '\0');
  char* out = text.data();
  std::uint8_t carry[3];
  std::size_t carried = 0;
  for (crypto::ByteView part : parts) {
    while (carried > 0 && carried < 3 && !part.empty()) {
      carry[carried++] = part.front();
      part = part.subspan(1);
    }
    if (carried == 3) {
      out = encodeGroups(carry, out);
      carried = 0;
    }
    const std::size_t whole = carried == 0 ? part.size() / 3 * 3 : 0;
    out = encodeGroups(part.first(whole), out);
    for (std::uint8_t byte : part.subspan(whole)) carry[carried++] = byte;
  }
  encodeTail(crypto::ByteView(carry, carried), out);
  return text;
}

std::optional<crypto::SecretBytes> base64Decode(std::string_view text) {
  const std::optional<std::size_t> size = decodedSize(text);
  if (!size) return std::nullopt;
  crypto::SecretBytes bytes(*size);
  if (!decodeTo(text.data(), text.size(), *size, bytes.data())) return std::nullopt;
  return bytes;
}

std::optional<std::size_t> base64DecodeInPlace(std::span<char> text) {
  const std::optional<std::size_t> size = decodedSize({text.data(), text.size()});
  if (!size) return std::nullopt;
  if (!decodeTo(text.data(), text.size(), *size, reinterpret_cast<std::uint8_t*>(text.data()))) {
    return std::nullopt;
  }
  return size;
}

}  // namespace sealing
