// SPDX-License-Identifier: Apache-2.0
#include "cli/text.h"

#include <array>

namespace cli {
namespace {

// The trim set in UTF-8: U+0009..U+000D, U+0085 and the categories Zs, Zl and Zp of Unicode 15.1
// (unchanged since 6.3). Only whole sequences match, so a stray byte, or a lead byte whose
// continuations were cut off, stops the trimming.
constexpr auto trimSet = std::to_array<std::string_view>(
    {" ",      "\n",     "\r",     "\t",     "\v",     "\f",     "\u0085", "\u00A0", "\u1680",
     "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
     "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"});

std::size_t leading(std::string_view text) {
  for (const std::string_view sequence : trimSet) {
    if (text.starts_with(sequence)) return sequence.size();
  }
  return 0;
}

std::size_t trailing(std::string_view text) {
  for (const std::string_view sequence : trimSet) {
    if (text.ends_with(sequence)) return sequence.size();
  }
  return 0;
}

}  // namespace

std::string_view trimmed(std::string_view text) {
  while (const std::size_t size = leading(text)) text.remove_prefix(size);
  while (const std::size_t size = trailing(text)) text.remove_suffix(size);
  return text;
}

}  // namespace cli
