#include "gateway/smtp_in/mail_path.h"

#include "base/text.h"

namespace faxmail {

namespace {

constexpr std::string_view kBlanks = " \t";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) { return Trim(text, kBlanks); }

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

// esmtp-keyword: a letter or digit, then letters, digits and hyphens.
bool IsKeyword(std::string_view text) {
  if (text.empty()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!alnum && (i == 0 || c != '-')) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> MailPath::Parameter(std::string_view keyword) const {
  for (const auto& [name, value] : parameters)
    if (name == keyword) return value;
  return std::nullopt;
}

std::optional<MailPath> ParseMailPath(std::string_view argument, std::string_view keyword) {
  std::string_view rest = TrimBlanks(argument);
  if (rest.size() <= keyword.size() || !StartsWithNoCase(rest, keyword) ||
      rest[keyword.size()] != ':')
    return std::nullopt;
  rest = TrimBlanks(rest.substr(keyword.size() + 1));
  MailPath path;
  std::size_t end = 0;
  if (!rest.empty() && rest.front() == '<') {
    // A quoted local part may hold a ">" or a blank.
    bool quoted = false;
    end = 1;
    for (; end < rest.size(); ++end) {
      const char c = rest[end];
      if (c == '\\' && quoted && end + 1 < rest.size()) {
        ++end;
      } else if (c == '"') {
        quoted = !quoted;
      } else if (c == '>' && !quoted) {
        break;
      }
    }
    if (end == rest.size()) return std::nullopt;
    path.address = std::string(rest.substr(1, end - 1));
    ++end;
    if (end < rest.size() && !IsBlank(rest[end])) return std::nullopt;
  } else {
    while (end < rest.size() && !IsBlank(rest[end])) ++end;
    path.address = std::string(rest.substr(0, end));
    if (path.address.empty()) return std::nullopt;
  }
  // A source route ("@a,@b:user@host") is accepted and ignored (RFC 5321, 4.1.2 and C).
  if (path.address.starts_with('@')) {
    const auto colon = path.address.find(':');
    if (colon == std::string::npos) return std::nullopt;
    path.address.erase(0, colon + 1);
  }
  std::string_view parameters = rest.substr(end);
  while (!(parameters = TrimBlanks(parameters)).empty()) {
    std::size_t length = 0;
    while (length < parameters.size() && !IsBlank(parameters[length])) ++length;
    const std::string_view word = parameters.substr(0, length);
    parameters.remove_prefix(length);
    const auto equals = word.find('=');
    const std::string_view name = word.substr(0, equals);
    if (!IsKeyword(name)) return std::nullopt;
    path.parameters.emplace_back(Upper(name), equals == std::string_view::npos
                                                  ? std::string()
                                                  : std::string(word.substr(equals + 1)));
  }
  return path;
}

}  // namespace faxmail
