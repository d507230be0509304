// SPDX-License-Identifier: Apache-2.0
// NIST P-256 key agreement in software (OpenSSL EVP). Values are plain, copyable C++ objects;
// OpenSSL handles exist only inside a call.
#pragma once

#include <array>
#include <cstdint>

#include "crypto/ossl.h"
#include "crypto/secret_bytes.h"

namespace crypto {

// The raw ECDH result: the 32-byte big-endian x-coordinate of the shared point, unhashed.
class SharedSecret {
 public:
  static constexpr std::size_t size = 32;
  // Throws CryptoError if bytes is not 32 bytes long.
  explicit SharedSecret(SecretBytes bytes);
  ByteView bytes() const { return bytes_; }

 private:
  SecretBytes bytes_;
};

namespace P256::KeyAgreement {

// A public point known to lie on P-256: every constructor checks, so holders never need to.
class PublicKey {
 public:
  static constexpr std::size_t x963Size = 65;

  // Accepts only the 65-byte uncompressed ANSI X9.63 form 0x04 || X || Y.
  // Throws CryptoError incorrectKeySize for another length, invalidPoint otherwise.
  static PublicKey fromX963(ByteView x963);

  const std::array<std::uint8_t, x963Size>& x963Representation() const { return x963_; }

 private:
  explicit PublicKey(const std::array<std::uint8_t, x963Size>& x963) : x963_(x963) {}
  std::array<std::uint8_t, x963Size> x963_;
};

// A software private key, drawn from the system CSPRNG. OpenSSL clears the scalar when the
// owned EVP_PKEY is freed.
class PrivateKey {
 public:
  PrivateKey();  // throws CryptoError only if OpenSSL itself fails

  const PublicKey& publicKey() const { return publicKey_; }
  SharedSecret sharedSecretFromKeyAgreement(const PublicKey& peer) const;

 private:
  ossl::Pkey pkey_;
  PublicKey publicKey_;
};

}  // namespace P256::KeyAgreement
}  // namespace crypto
