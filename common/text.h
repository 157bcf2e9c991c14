// Small text routines shared by the gateway's parsers and the administrator's tools: ASCII
// letter case is ignored where the mail and registry formats say so. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace faxmail {

bool EqualsNoCase(std::string_view a, std::string_view b) noexcept;
bool StartsWithNoCase(std::string_view text, std::string_view prefix) noexcept;
bool EndsWithNoCase(std::string_view text, std::string_view suffix) noexcept;
// The first position at or after from where what stands, letter case ignored; npos if none.
std::size_t FindNoCase(std::string_view text, std::string_view what, std::size_t from = 0) noexcept;
// The text without the characters of set at both ends.
std::string_view Trim(std::string_view text, std::string_view set) noexcept;

}  // namespace faxmail
