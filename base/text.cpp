#include "base/text.h"

namespace faxmail {

char LowerAscii(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) noexcept {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) noexcept {
  return text.size() >= suffix.size() &&
         EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

std::size_t FindNoCase(std::string_view text, std::string_view what, std::size_t from) noexcept {
  for (std::size_t i = from; what.size() <= text.size() && i <= text.size() - what.size(); ++i)
    if (EqualsNoCase(text.substr(i, what.size()), what)) return i;
  return std::string_view::npos;
}

std::string_view Trim(std::string_view text, std::string_view set) noexcept {
  const auto first = text.find_first_not_of(set);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(set);
  return text.substr(first, last - first + 1);
}

std::string_view TrimLeft(std::string_view text, std::string_view set) noexcept {
  const auto first = text.find_first_not_of(set);
  return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

std::string_view TrimRight(std::string_view text, std::string_view set) noexcept {
  const auto last = text.find_last_not_of(set);
  return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

}  // namespace faxmail
