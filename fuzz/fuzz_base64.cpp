// The base64 codec on arbitrary input: bytes survive encoding and decoding unchanged, and every
// text the reader accepts is the one canonical text of its bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sealing/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const crypto::ByteView bytes(data, size);
  const auto text = sealing::base64Encode<crypto::SecretText>(bytes);
  const auto decoded = sealing::base64Decode(crypto::view(text));
  if (!decoded || !std::equal(decoded->begin(), decoded->end(), bytes.begin(), bytes.end())) {
    std::abort();
  }
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto accepted = sealing::base64Decode(input);
  if (accepted && sealing::base64Encode(*accepted) != input) std::abort();
  return 0;
}
