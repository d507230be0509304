#include "cli/text.h"

#include <cstdint>

namespace cli {
namespace {

// How many continuation bytes a lead byte wants, and the range its first one must fall in
// (narrower for E0, ED, F0 and F4, which would otherwise admit overlong forms, surrogates or
// code points past U+10FFFF). Zero for a byte that cannot start a sequence.
struct Lead {
  std::size_t continuations;
  std::uint8_t low;
  std::uint8_t high;
};

Lead leadOf(std::uint8_t byte) {
  if (byte < 0x80) return {0, 0, 0};
  if (byte >= 0xC2 && byte <= 0xDF) return {1, 0x80, 0xBF};
  if (byte == 0xE0) return {2, 0xA0, 0xBF};
  if (byte == 0xED) return {2, 0x80, 0x9F};
  if (byte >= 0xE1 && byte <= 0xEF) return {2, 0x80, 0xBF};
  if (byte == 0xF0) return {3, 0x90, 0xBF};
  if (byte >= 0xF1 && byte <= 0xF3) return {3, 0x80, 0xBF};
  if (byte == 0xF4) return {3, 0x80, 0x8F};
  return {0, 1, 0};  // an empty range: never well-formed
}

// The code point of the well-formed sequence that text starts with and ends exactly with, or
// nothing (-1) when text is not exactly one well-formed sequence.
std::int32_t codePointOf(std::string_view text) {
  if (text.empty()) return -1;
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const Lead lead = leadOf(byte(0));
  if (lead.low > lead.high || text.size() != lead.continuations + 1) return -1;
  if (lead.continuations == 0) return byte(0);
  std::int32_t codePoint = byte(0) & (0x3F >> lead.continuations);
  for (std::size_t i = 1; i < text.size(); ++i) {
    const std::uint8_t low = i == 1 ? lead.low : 0x80, high = i == 1 ? lead.high : 0xBF;
    if (byte(i) < low || byte(i) > high) return -1;
    codePoint = codePoint << 6 | (byte(i) & 0x3F);
  }
  return codePoint;
}

bool trims(std::string_view sequence) {
  const std::int32_t codePoint = codePointOf(sequence);
  return codePoint >= 0 && isTrimmed(static_cast<char32_t>(codePoint));
}

}  // namespace

bool isTrimmed(char32_t c) {
  // White space and line breaks of Unicode 15.1: controls 9-D and U+0085, and the categories
  // Zs, Zl and Zp, which have not changed since Unicode 6.3.
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length = leadOf(static_cast<std::uint8_t>(text[0])).continuations + 1;
    if (length > text.size() || !trims(text.substr(0, length))) break;
    text.remove_prefix(length);
  }
  while (!text.empty()) {
    // The sequence's lead byte is the last byte that is not a continuation byte, at most three
    // bytes back.
    std::size_t start = text.size() - 1;
    while (start > 0 && text.size() - start < 4 &&
           (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    if (!trims(text.substr(start))) break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

}  // namespace cli
