// Standard input handling on arbitrary bytes, as input() does it: makeWellFormed gives what the
// lossy decoder gives (well-formed text, ASCII kept as it is), and trimming removes only
// trim-set characters, and all of them at the ends.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cli/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  crypto::SecretText text(input.begin(), input.end());
  cli::makeWellFormed(text);
  const crypto::SecretText decoded = cli::decodeUtf8Lossy(crypto::ByteView(data, size));
  if (text != decoded || cli::decodeUtf8Lossy(crypto::bytesOf(crypto::view(text))) != text) {
    std::abort();
  }
  const bool ascii = std::ranges::all_of(input, [](char c) { return (c & 0x80) == 0; });
  if (ascii && crypto::view(text) != input) std::abort();

  const std::string_view whole = crypto::view(text);
  const std::string_view kept = cli::trimmed(whole);
  if (kept.data() < whole.data() || kept.data() + kept.size() > whole.data() + whole.size()) {
    std::abort();
  }
  const auto before = static_cast<std::size_t>(kept.data() - whole.data());
  if (cli::trimmed(kept) != kept) std::abort();  // nothing trimmable left at either end
  if (!cli::trimmed(whole.substr(0, before)).empty() ||
      !cli::trimmed(whole.substr(before + kept.size())).empty()) {
    std::abort();  // only trimmable characters were removed
  }
  cli::trimmed(input);  // on ill-formed bytes too: bounded, whatever it returns
  return 0;
}
