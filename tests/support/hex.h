// Hex text to and from bytes, for known-answer data in tests.
#pragma once

#include <string>
#include <string_view>

#include "crypto/secret_bytes.h"

namespace testing_support {

inline crypto::Bytes unhex(std::string_view hex) {
  crypto::Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

inline std::string hex(crypto::ByteView bytes) {
  std::string text;
  for (std::uint8_t b : bytes) text += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  return text;
}

}  // namespace testing_support
