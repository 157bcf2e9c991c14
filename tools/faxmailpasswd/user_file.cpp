#include "tools/faxmailpasswd/user_file.h"

#include <algorithm>
#include <cctype>

namespace faxmail::passwd {

namespace {

bool IsNameCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' || c == '@' ||
         c == '+' || c == '-';
}

// Calls visit(line, lineWithEnd) for every line of text; the last may lack its LF.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::size_t whole = end == std::string_view::npos ? text.size() : end + 1;
    std::string_view line = text.substr(0, end == std::string_view::npos ? text.size() : end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    visit(line, text.substr(0, whole));
    text.remove_prefix(whole);
  }
}

}  // namespace

bool ValidUserName(std::string_view name) {
  return !name.empty() && name.size() <= kUserNameLimit &&
         std::all_of(name.begin(), name.end(), IsNameCharacter);
}

std::optional<std::string_view> LineUser(std::string_view line) {
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view user = line.substr(0, colon);
  if (!ValidUserName(user)) return std::nullopt;
  return user;
}

std::vector<std::string> ListUsers(std::string_view text) {
  std::vector<std::string> users;
  ForEachLine(text, [&](std::string_view line, std::string_view) {
    if (const auto user = LineUser(line)) users.emplace_back(*user);
  });
  return users;
}

bool HasUser(std::string_view text, std::string_view user) {
  bool found = false;
  ForEachLine(text, [&](std::string_view line, std::string_view) {
    if (LineUser(line) == user) found = true;
  });
  return found;
}

std::string AddUser(std::string_view text, std::string_view user, std::string_view hash) {
  std::string out(text);
  if (!out.empty() && out.back() != '\n') out.push_back('\n');
  out.append(user);
  out.push_back(':');
  out.append(hash);
  out.push_back('\n');
  return out;
}

std::string RemoveUser(std::string_view text, std::string_view user, std::size_t& removed) {
  std::string out;
  out.reserve(text.size());
  removed = 0;
  ForEachLine(text, [&](std::string_view line, std::string_view whole) {
    if (LineUser(line) == user)
      ++removed;
    else
      out.append(whole);
  });
  return out;
}

}  // namespace faxmail::passwd
