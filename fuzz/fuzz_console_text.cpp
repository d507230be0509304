// Trimming on arbitrary bytes, as input() does it: it stays inside the text, removes only
// trim-set characters, and all of them at the ends; ill-formed UTF-8 is never read past its end.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cli/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
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
