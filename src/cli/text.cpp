#include "cli/text.h"

#include <cstdint>

namespace cli {
namespace {

constexpr char replacement[] = "\xEF\xBF\xBD";  // U+FFFD

// How many continuation bytes a lead byte wants, and the range its first one must fall in
// (narrower for E0, ED, F0 and F4, which would otherwise admit overlong forms, surrogates or
// code points past U+10FFFF). Zero for a byte that cannot start a sequence.
struct Lead {
  int continuations;
  std::uint8_t low;
  std::uint8_t high;
};

Lead leadOf(std::uint8_t byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return {1, 0x80, 0xBF};
  if (byte == 0xE0) return {2, 0xA0, 0xBF};
  if (byte == 0xED) return {2, 0x80, 0x9F};
  if (byte >= 0xE1 && byte <= 0xEF) return {2, 0x80, 0xBF};
  if (byte == 0xF0) return {3, 0x90, 0xBF};
  if (byte >= 0xF1 && byte <= 0xF3) return {3, 0x80, 0xBF};
  if (byte == 0xF4) return {3, 0x80, 0x8F};
  return {0, 0, 0};
}

// The first maximal ill-formed subpart at or after from: the lead byte and as many fitting
// continuation bytes as follow it. start is bytes.size() when there is none.
struct Span {
  std::size_t start;
  std::size_t length;
};

Span nextIllFormed(crypto::ByteView bytes, std::size_t from) {
  for (std::size_t i = from; i < bytes.size();) {
    if (bytes[i] < 0x80) {
      ++i;
      continue;
    }
    const Lead lead = leadOf(bytes[i]);
    std::size_t length = 1;
    while (length <= static_cast<std::size_t>(lead.continuations) && i + length < bytes.size()) {
      const std::uint8_t next = bytes[i + length];
      const bool fits =
          length == 1 ? next >= lead.low && next <= lead.high : next >= 0x80 && next <= 0xBF;
      if (!fits) break;
      ++length;
    }
    if (lead.continuations == 0 || length != static_cast<std::size_t>(lead.continuations) + 1) {
      return {i, length};
    }
    i += length;
  }
  return {bytes.size(), 0};
}

// Decodes the well-formed sequence at the start of text; returns its length.
std::size_t decodeOne(std::string_view text, char32_t& codePoint) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t first = byte(0);
  if (first < 0x80) {
    codePoint = first;
    return 1;
  }
  const std::size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : 2;
  codePoint = first & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) codePoint = codePoint << 6 | (byte(i) & 0x3F);
  return length;
}

}  // namespace

crypto::SecretText decodeUtf8Lossy(crypto::ByteView bytes) {
  crypto::SecretText text;
  text.reserve(bytes.size());
  std::size_t kept = 0;  // start of the well-formed run not yet copied
  for (Span bad = nextIllFormed(bytes, 0); bad.start < bytes.size();
       bad = nextIllFormed(bytes, kept)) {
    text.insert(text.end(), bytes.begin() + kept, bytes.begin() + bad.start);
    text.insert(text.end(), replacement, replacement + 3);
    kept = bad.start + bad.length;
  }
  text.insert(text.end(), bytes.begin() + kept, bytes.end());
  return text;
}

void makeWellFormed(crypto::SecretText& text) {
  const crypto::ByteView bytes = crypto::bytesOf(crypto::view(text));
  if (nextIllFormed(bytes, 0).start == bytes.size()) return;  // the usual case: no copy
  text = decodeUtf8Lossy(bytes);
}

bool isTrimmed(char32_t c) {
  // White space and line breaks of Unicode 15.1: controls 9-D and U+0085, and the categories
  // Zs, Zl and Zp, which have not changed since Unicode 6.3.
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trimmed(std::string_view text) {
  char32_t c = 0;
  while (!text.empty()) {
    const std::size_t length = decodeOne(text, c);
    if (!isTrimmed(c)) break;
    text.remove_prefix(length);
  }
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) --start;
    decodeOne(text.substr(start), c);
    if (!isTrimmed(c)) break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

}  // namespace cli
