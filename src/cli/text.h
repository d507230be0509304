// SPDX-License-Identifier: Apache-2.0
// Text handling for standard input: trimming white space and line breaks at both ends.
#pragma once

#include <string_view>

namespace cli {

// The part of text between leading and trailing white space and line breaks (U+0009..U+000D,
// U+0085 and the categories Zs, Zl and Zp). Any bytes: only a well-formed UTF-8 sequence can be
// trimmed, so trimming stops at an ill-formed one, which stays in the text (and no key text or
// sealed-key text holds one).
std::string_view trimmed(std::string_view text);

}  // namespace cli
