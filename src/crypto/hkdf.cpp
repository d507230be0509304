// SPDX-License-Identifier: Apache-2.0
#include "crypto/hkdf.h"

#include <openssl/core_names.h>
#include <openssl/params.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "crypto/crypto_error.h"
#include "crypto/ossl.h"

namespace crypto {

namespace {

// OpenSSL refuses an octet-string parameter whose pointer is null, even at length 0, yet an
// empty salt or info is a valid HKDF input.
OSSL_PARAM octets(const char* name, ByteView bytes) {
  static const std::uint8_t none = 0;
  const std::uint8_t* data = bytes.empty() ? &none : bytes.data();
  return OSSL_PARAM_construct_octet_string(name, const_cast<std::uint8_t*>(data), bytes.size());
}

}  // namespace

SecretBytes hkdfSha256(ByteView inputKeyMaterial, ByteView salt, ByteView info,
                       std::size_t length) {
  // A failed fetch or allocation leaves a null, which each later call refuses in turn: the one
  // check at the end covers them all.
  ossl::Kdf kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_HKDF, nullptr));
  ossl::KdfCtx ctx(EVP_KDF_CTX_new(kdf.get()));

  int mode = EVP_KDF_HKDF_MODE_EXTRACT_AND_EXPAND;
  char digest[] = "SHA256";
  const std::array params = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, std::strlen(digest)),
      OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
      octets(OSSL_KDF_PARAM_KEY, inputKeyMaterial),
      octets(OSSL_KDF_PARAM_SALT, salt),
      octets(OSSL_KDF_PARAM_INFO, info),
      OSSL_PARAM_construct_end(),
  };
  SecretBytes output(length);
  if (EVP_KDF_derive(ctx.get(), output.data(), output.size(), params.data()) != 1) {
    throwLibraryError("HKDF");
  }
  return output;
}

}  // namespace crypto
