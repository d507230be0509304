// Test helper: hex text to and from bytes, for known-answer data. Malformed hex throws
// std::invalid_argument.
#pragma once

#include <charconv>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "crypto/secret_bytes.h"

namespace testing_support {

template <class Out = crypto::Bytes>
Out unhex(std::string_view hex) {
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length");
  Out bytes;
  for (const char* p = hex.data(); p != hex.data() + hex.size(); p += 2) {
    std::uint8_t byte = 0;
    if (std::from_chars(p, p + 2, byte, 16).ptr != p + 2) throw std::invalid_argument("not hex");
    bytes.push_back(byte);
  }
  return bytes;
}

inline std::string hex(crypto::ByteView bytes) {
  std::string text;
  for (std::uint8_t b : bytes) {
    text += "0123456789abcdef"[b >> 4];
    text += "0123456789abcdef"[b & 15];
  }
  return text;
}

}  // namespace testing_support
