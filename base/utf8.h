// UTF-8 boundaries for cutting names to a byte limit without leaving a broken character.
//
// Mail carries names in whatever bytes the sender chose; most are UTF-8, some are in a legacy
// 8-bit charset. A UTF-8 name is cut only between characters; a name that is not UTF-8 has no
// character boundaries to honour and is cut bytewise. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace faxmail {

// Whether text is well-formed UTF-8: no stray continuation bytes, no cut sequence, no
// overlong form, no surrogate, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text) noexcept;

// The longest prefix of text of at most max bytes that ends on a character boundary when text
// is valid UTF-8; the first max bytes (or all of text) when it is not.
std::string_view Utf8Prefix(std::string_view text, std::size_t max) noexcept;

}  // namespace faxmail
