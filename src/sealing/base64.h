// The tool's one base64 form: RFC 4648 standard alphabet, "=" padding, one line.
// The reader is strict: any character outside the alphabet (white space included), missing or
// misplaced padding, or non-zero bits in the padding position make it fail.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "crypto/secret_bytes.h"

namespace sealing {

std::size_t base64EncodedSize(std::size_t byteCount);

// Writes exactly base64EncodedSize(bytes.size()) characters to out.
void base64EncodeTo(crypto::ByteView bytes, char* out);

// Text is std::string for public data, crypto::SecretText when the bytes are a secret.
template <class Text = std::string>
Text base64Encode(crypto::ByteView bytes) {
  Text text(base64EncodedSize(bytes.size()), '\0');
  base64EncodeTo(bytes, text.data());
  return text;
}

// The decoded bytes, or nothing when the text is not in the tool's base64 form.
// The empty text decodes to zero bytes.
std::optional<crypto::SecretBytes> base64Decode(std::string_view text);

}  // namespace sealing
