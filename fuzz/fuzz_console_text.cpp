// Standard input handling on arbitrary bytes: the lossy decoding is valid UTF-8 (and the input
// itself when that was valid), and trimming leaves no trim-set character at either end.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "cli/text.h"

namespace {

// Strict UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF): the code point that
// starts at text[i] and its length, or nothing.
struct Decoded {
  char32_t codePoint;
  std::size_t length;
};

std::optional<Decoded> decodeAt(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return Decoded{lead, 1};
  const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
  if (lead < 0xc2 || lead > 0xf4 || i + length > text.size()) return std::nullopt;
  char32_t codePoint = lead & (0x7f >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xc0) != 0x80) return std::nullopt;
    codePoint = codePoint << 6 | (byte(i + k) & 0x3f);
  }
  constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (codePoint < smallest[length] || codePoint > 0x10ffff ||
      (codePoint >= 0xd800 && codePoint <= 0xdfff)) {
    return std::nullopt;
  }
  return Decoded{codePoint, length};
}

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto decoded = decodeAt(text, i);
    if (!decoded) return false;
    i += decoded->length;
  }
  return true;
}

// True if text is made only of trim-set characters.
bool allTrimmed(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto decoded = decodeAt(text, i);
    if (!decoded || !cli::isTrimmed(decoded->codePoint)) return false;
    i += decoded->length;
  }
  return true;
}

char32_t lastCodePoint(std::string_view text) {
  std::size_t i = text.size() - 1;
  while ((static_cast<unsigned char>(text[i]) & 0xc0) == 0x80) --i;
  return decodeAt(text, i)->codePoint;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const crypto::SecretText decoded = cli::decodeUtf8Lossy(crypto::ByteView(data, size));
  const std::string_view text = crypto::view(decoded);
  if (!isValidUtf8(text)) std::abort();
  if (isValidUtf8(input) && text != input) std::abort();

  const std::string_view trimmed = cli::trimmed(text);
  if (trimmed.empty()) {
    if (!allTrimmed(text)) std::abort();
    return 0;
  }
  if (trimmed.data() < text.data() || trimmed.data() + trimmed.size() > text.data() + text.size()) {
    std::abort();
  }
  const std::size_t before = static_cast<std::size_t>(trimmed.data() - text.data());
  if (!allTrimmed(text.substr(0, before)) || !allTrimmed(text.substr(before + trimmed.size())) ||
      !isValidUtf8(trimmed)) {
    std::abort();
  }
  if (cli::isTrimmed(decodeAt(trimmed, 0)->codePoint) || cli::isTrimmed(lastCodePoint(trimmed))) {
    std::abort();
  }
  return 0;
}
