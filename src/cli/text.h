// Text handling for standard input: lossy UTF-8 decoding and trimming.
#pragma once

#include <string_view>

#include "crypto/secret_bytes.h"

namespace cli {

// Valid UTF-8 for any bytes: each maximal ill-formed subpart becomes U+FFFD (EF BF BD), as
// the Unicode Standard recommends (chapter 3, "U+FFFD Substitution of Maximal Subparts").
crypto::SecretText decodeUtf8Lossy(crypto::ByteView bytes);

// The same, in place: well-formed text, the usual input, is left as it is and never copied.
void makeWellFormed(crypto::SecretText& text);

// True for the trim set: U+0009..U+000D, U+0085 and the categories Zs, Zl and Zp.
bool isTrimmed(char32_t codePoint);

// The part of valid UTF-8 text between leading and trailing trim-set characters.
std::string_view trimmed(std::string_view text);

}  // namespace cli
