// SPDX-License-Identifier: Apache-2.0
// Byte and text containers for this tool. The tool's own copies of secrets (key bytes, key text,
// shared secrets, wrapping keys, plaintexts) live in a Secret* container, whose allocator wipes
// the whole allocation with OPENSSL_cleanse before releasing it, reallocations included; standard
// input lives in cli::InputBuffer, which wipes likewise. Copies made inside OpenSSL and the TSS
// are theirs, wiped where the code that calls them says so.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace crypto {

// For bytes and characters only, so an allocation's size in elements is its size in bytes.
template <class T>
struct WipingAllocator {
  static_assert(sizeof(T) == 1);
  using value_type = T;

  WipingAllocator() noexcept = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    OPENSSL_cleanse(p, n);
    std::allocator<T>{}.deallocate(p, n);
  }
  bool operator==(const WipingAllocator&) const noexcept = default;  // stateless
};

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;
using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;
// A vector rather than a basic_string: short strings live inline, out of the allocator's reach.
using SecretText = std::vector<char, WipingAllocator<char>>;

inline std::string_view view(const SecretText& text) { return {text.data(), text.size()}; }

inline ByteView bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace crypto
