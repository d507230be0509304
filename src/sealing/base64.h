// SPDX-License-Identifier: Apache-2.0
// The tool's one base64 form: RFC 4648 standard alphabet, "=" padding, one line.
// The reader is strict: any character outside the alphabet (white space included), missing or
// misplaced padding, or non-zero bits in the padding position make it fail.
// Both directions run in constant time for a given length (no table indexed by a character, no
// branch on one): they carry key texts, and a co-resident process must not learn them from the
// cache. Only the length and the padding, which the length fixes, show.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>
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

// The base64 of the parts one after another, without joining them first.
std::string base64EncodeJoined(std::initializer_list<crypto::ByteView> parts);

// The decoded bytes, or nothing when the text is not in the tool's base64 form.
// The empty text decodes to zero bytes.
std::optional<crypto::SecretBytes> base64Decode(std::string_view text);

// The same, written over the start of text itself; returns how many bytes it holds. On failure
// text holds a mix of both forms: its owner wipes it.
std::optional<std::size_t> base64DecodeInPlace(std::span<char> text);

}  // namespace sealing
