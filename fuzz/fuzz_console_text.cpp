// Standard input handling on arbitrary bytes. Decoding is idempotent (its output is well-formed)
// and keeps ASCII as it is; trimming removes only trim-set characters, and all of them at the ends.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cli/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const crypto::SecretText decoded = cli::decodeUtf8Lossy(crypto::ByteView(data, size));
  const std::string_view text = crypto::view(decoded);
  if (cli::decodeUtf8Lossy(crypto::bytesOf(text)) != decoded) std::abort();
  const bool ascii = std::ranges::all_of(input, [](char c) { return (c & 0x80) == 0; });
  if (ascii && text != input) std::abort();

  const std::string_view kept = cli::trimmed(text);
  if (kept.data() < text.data() || kept.data() + kept.size() > text.data() + text.size()) {
    std::abort();
  }
  const auto before = static_cast<std::size_t>(kept.data() - text.data());
  if (cli::trimmed(kept) != kept) std::abort();  // nothing trimmable left at either end
  if (!cli::trimmed(text.substr(0, before)).empty() ||
      !cli::trimmed(text.substr(before + kept.size())).empty()) {
    std::abort();  // only trimmable characters were removed
  }
  return 0;
}
