// The base64 reader on arbitrary text: it must not crash, and whatever it accepts must be the
// one canonical text of its bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sealing/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<crypto::SecretBytes> bytes = sealing::base64Decode(text);
  if (bytes && sealing::base64Encode(*bytes) != text) std::abort();
  return 0;
}
