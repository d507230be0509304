// SPDX-License-Identifier: Apache-2.0
// HKDF (RFC 5869) with SHA-256, through OpenSSL's EVP_KDF "HKDF".
#pragma once

#include <cstddef>

#include "crypto/secret_bytes.h"

namespace crypto {

// Extract-then-expand. Throws CryptoError if OpenSSL fails, as it does for a length over
// 255 * 32.
SecretBytes hkdfSha256(ByteView inputKeyMaterial, ByteView salt, ByteView info, std::size_t length);

}  // namespace crypto
