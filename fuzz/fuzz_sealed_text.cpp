// The sealed-key text and JSON readers on arbitrary bytes: no crash, and every record they
// accept survives a write and a read unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sealing/sealed.h"

namespace {

void checkRoundTrip(const sealing::Sealed& sealed) {
  if (sealing::fromJson(crypto::bytesOf(sealing::toJson(sealed))) != sealed) std::abort();
  if (sealing::readSealedKeyText(sealing::writeSealedKeyText(sealed)) != sealed) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const crypto::ByteView bytes(data, size);
  if (const auto sealed = sealing::fromJson(bytes)) checkRoundTrip(*sealed);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto sealed = sealing::readSealedKeyText(text)) checkRoundTrip(*sealed);
  return 0;
}
