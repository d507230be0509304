// SPDX-License-Identifier: Apache-2.0
#include "crypto/aes_gcm.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "crypto/crypto_error.h"
#include "crypto/ossl.h"

namespace crypto {

namespace {

ossl::CipherCtx startCipher(const SymmetricKey& key, ByteView nonce, bool encrypt) {
  ossl::Cipher cipher(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr));  // null: init refuses it
  ossl::CipherCtx ctx(EVP_CIPHER_CTX_new());
  // The 12-byte nonce is GCM's default IV length, so no length parameter is needed.
  if (!ctx || EVP_CipherInit_ex2(ctx.get(), cipher.get(), key.bytes().data(), nonce.data(), encrypt,
                                 nullptr) != 1) {
    throwLibraryError("AES-256-GCM init");
  }
  return ctx;
}

// EVP lengths are int, so long inputs go in pieces; GCM writes exactly what it reads.
void update(EVP_CIPHER_CTX* ctx, std::uint8_t* out, ByteView in) {
  constexpr std::size_t piece = std::size_t{1} << 30;
  while (!in.empty()) {
    const std::size_t length = std::min(in.size(), piece);
    int written{};
    if (EVP_CipherUpdate(ctx, out, &written, in.data(), static_cast<int>(length)) != 1 ||
        static_cast<std::size_t>(written) != length) {
      throwLibraryError("AES-256-GCM update");
    }
    out += length;
    in = in.subspan(length);
  }
}

OSSL_PARAM tagParam(std::uint8_t* tag) {
  return OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, tag, AES::GCM::tagSize);
}

}  // namespace

SymmetricKey::SymmetricKey(SecretBytes bytes) : bytes_(std::move(bytes)) {
  if (bytes_.size() != size) throwCryptoError(incorrectKeySize);
}

namespace AES::GCM {

SealedBox SealedBox::fromCombined(ByteView combined) {
  if (combined.size() < nonceSize + tagSize) throwCryptoError(incorrectParameterSize);
  return SealedBox(Bytes(combined.begin(), combined.end()));
}

SealedBox seal(ByteView message, const SymmetricKey& key) {
  Bytes combined(nonceSize + message.size() + tagSize);
  if (RAND_bytes(combined.data(), nonceSize) != 1) throwLibraryError("RAND_bytes");
  ossl::CipherCtx ctx = startCipher(key, ByteView(combined).first(nonceSize), true);
  update(ctx.get(), combined.data() + nonceSize, message);
  std::uint8_t* tag = combined.data() + nonceSize + message.size();
  int finalLength{};  // GCM's final step writes nothing; the tag would overwrite it anyway
  if (EVP_CipherFinal_ex(ctx.get(), tag, &finalLength) != 1) {
    throwLibraryError("AES-256-GCM final");
  }
  std::array params = {tagParam(tag), OSSL_PARAM_construct_end()};
  if (EVP_CIPHER_CTX_get_params(ctx.get(), params.data()) != 1) throwLibraryError("AES-GCM tag");
  return SealedBox(std::move(combined));
}

SecretBytes open(const SealedBox& box, const SymmetricKey& key) {
  ossl::CipherCtx ctx = startCipher(key, box.nonce(), false);
  SecretBytes plaintext(box.ciphertext().size());
  update(ctx.get(), plaintext.data(), box.ciphertext());
  std::array<std::uint8_t, tagSize> tag{};
  std::ranges::copy(box.tag(), tag.begin());
  std::array params = {tagParam(tag.data()), OSSL_PARAM_construct_end()};
  if (EVP_CIPHER_CTX_set_params(ctx.get(), params.data()) != 1) throwLibraryError("AES-GCM tag");
  std::array<std::uint8_t, tagSize> tail{};  // GCM's final step writes nothing here
  int finalLength{};
  if (EVP_CipherFinal_ex(ctx.get(), tail.data(), &finalLength) != 1) {
    ERR_clear_error();
    // Leaving by the exception drops the unverified plaintext, wiped by its allocator.
    throwCryptoError(authenticationFailure);
  }
  return plaintext;
}

}  // namespace AES::GCM
}  // namespace crypto
