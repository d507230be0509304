// SPDX-License-Identifier: Apache-2.0
// AES-256-GCM with a 12-byte random nonce and a 16-byte tag, no associated data, in the
// combined layout nonce || ciphertext || tag.
#pragma once

#include <cstddef>

#include "crypto/secret_bytes.h"

namespace crypto {

// A 256-bit AES key.
class SymmetricKey {
 public:
  static constexpr std::size_t size = 32;
  explicit SymmetricKey(SecretBytes bytes);  // throws CryptoError unless 32 bytes
  ByteView bytes() const { return bytes_; }

 private:
  SecretBytes bytes_;
};

namespace AES::GCM {

inline constexpr std::size_t nonceSize = 12;
inline constexpr std::size_t tagSize = 16;

class SealedBox {
 public:
  // Splits a combined box; throws CryptoError incorrectParameterSize under 28 bytes.
  static SealedBox fromCombined(ByteView combined);

  ByteView combined() const { return combined_; }
  ByteView nonce() const { return ByteView(combined_).first(nonceSize); }
  ByteView ciphertext() const {
    return ByteView(combined_).subspan(nonceSize, combined_.size() - nonceSize - tagSize);
  }
  ByteView tag() const { return ByteView(combined_).last(tagSize); }

 private:
  explicit SealedBox(Bytes combined) : combined_(std::move(combined)) {}
  Bytes combined_;
  friend SealedBox seal(ByteView, const SymmetricKey&);
};

// Encrypts under a fresh random nonce. Throws CryptoError only if OpenSSL fails.
SealedBox seal(ByteView message, const SymmetricKey& key);

// Returns the plaintext, or throws CryptoError authenticationFailure when the tag does not
// verify; no plaintext byte escapes a failed open.
SecretBytes open(const SealedBox& box, const SymmetricKey& key);

}  // namespace AES::GCM
}  // namespace crypto
