// The sealed-key text and JSON readers on arbitrary bytes: no crash; every record they accept
// survives a write and a read unchanged; and a JSON text stays accepted with one more byte after
// it only when that byte is JSON white space (RFC 8259: nothing but white space after the value).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sealing/sealed.h"

namespace {

void checkRoundTrip(const sealing::Sealed& sealed) {
  const auto same = [&](const std::optional<sealing::Sealed>& other) {
    return other && other->enclave == sealed.enclave && other->ephemeral == sealed.ephemeral &&
           other->box == sealed.box;
  };
  if (!same(sealing::fromJson(crypto::bytesOf(sealing::toJson(sealed))))) std::abort();
  if (!same(sealing::readSealedKeyText(sealing::writeSealedKeyText(sealed)))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The last byte is the one appended to the rest.
  const crypto::ByteView json(data, size - 1);
  if (const auto sealed = sealing::fromJson(json)) {
    checkRoundTrip(*sealed);
    const std::uint8_t extra = data[size - 1];
    const bool whiteSpace = extra == ' ' || extra == '\t' || extra == '\n' || extra == '\r';
    if (sealing::fromJson(crypto::ByteView(data, size)).has_value() != whiteSpace) std::abort();
  }
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto sealed = sealing::readSealedKeyText(text)) checkRoundTrip(*sealed);
  return 0;
}
