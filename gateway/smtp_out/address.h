// The small address routines of the sender: the mail address inside a header-style text, and
// its domain. Pure functions on text; any thread.
#pragma once

#include <string>
#include <string_view>

namespace faxmail {

// The address between the last "<" and the next ">" (or the end of the text); without a "<",
// the text from its last double quote on (the quote kept); else the whole text. Then blanks
// (spaces, tabs, line ends), "<" and ">" are taken off both ends, in that order.
std::string ExtractAddress(std::string_view text);

// The text after the first at sign of ExtractAddress(text), when at least one character
// follows it; else the whole address.
std::string AddressDomain(std::string_view text);

}  // namespace faxmail
