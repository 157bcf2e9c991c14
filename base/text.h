// Small text routines used from the platform layer up: ASCII letter case is ignored where the
// mail and registry formats say so. Pure functions on the bytes they are given, with no system
// calls and no locale, so that every layer may use them; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace faxmail {

// 'A'..'Z' to 'a'..'z'; every other byte unchanged.
char LowerAscii(char c) noexcept;
std::string LowerAscii(std::string_view text);

bool EqualsNoCase(std::string_view a, std::string_view b) noexcept;
bool StartsWithNoCase(std::string_view text, std::string_view prefix) noexcept;
bool EndsWithNoCase(std::string_view text, std::string_view suffix) noexcept;
// The first position at or after from where what stands, letter case ignored; npos if none.
std::size_t FindNoCase(std::string_view text, std::string_view what, std::size_t from = 0) noexcept;
// The text without the characters of set at both ends, at the start, at the end.
std::string_view Trim(std::string_view text, std::string_view set) noexcept;
std::string_view TrimLeft(std::string_view text, std::string_view set) noexcept;
std::string_view TrimRight(std::string_view text, std::string_view set) noexcept;

}  // namespace faxmail
