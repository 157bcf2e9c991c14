#include "gateway/smtp_in/auth_users.h"

#include <algorithm>
#include <string>

#include "common/base64.h"
#include "gateway/service/log.h"
#include "platform/password_hash.h"
#include "platform/stream.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "SMTP_IN";
// The longest SASL text decoded at once; an AUTH line is bounded well below it.
constexpr std::size_t kBase64Limit = 16 * 1024;

bool IsPrintableName(std::string_view name) {
  return std::all_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u != 0x7f;
  });
}

void LogSkipped(const std::string& path, std::size_t number, const char* why) {
  LogMessageText("SMTPIn- AuthUsers line skipped (" + std::string(why) + "): ",
                 path + " line " + std::to_string(number), kTag, __LINE__);
}

}  // namespace

std::optional<AuthUsers> AuthUsers::Load(const std::string& path) {
  platform::Stream file;
  if (platform::Stream::Open(path, "r", platform::StreamMode::Binary, platform::Share::Read,
                             file) != 0) {
    LogMessageText("SMTPIn- AuthUsers file cannot be opened, AUTH not offered: ", path, kTag,
                   __LINE__);
    return std::nullopt;
  }
  AuthUsers users;
  std::string line;
  std::size_t number = 0;
  bool overLong = false;  // the rest of a line longer than kLineLimit is still to come
  while (file.ReadLine(line, kLineLimit + 2)) {
    const bool ended = !line.empty() && line.back() == '\n';
    if (overLong) {
      overLong = !ended;
      continue;
    }
    if (++number > kLineCountLimit) {
      LogMessageText("SMTPIn- AuthUsers file too long, the rest ignored: ", path, kTag, __LINE__);
      break;
    }
    if (!ended && line.size() > kLineLimit) {
      overLong = true;
      LogSkipped(path, number, "too long");
      continue;
    }
    if (ended) line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kLineLimit) {
      LogSkipped(path, number, "too long");
      continue;
    }
    if (line.empty() || line.front() == '#') continue;
    const auto colon = line.find(':');
    if (colon == std::string::npos) {
      LogSkipped(path, number, "no colon");
      continue;
    }
    std::string name = line.substr(0, colon);
    std::string hash = line.substr(colon + 1);
    if (name.empty() || name.size() > kNameLimit || !IsPrintableName(name)) {
      LogSkipped(path, number, "bad user name");
      continue;
    }
    if (!hash.starts_with("$y$") && !hash.starts_with("$6$")) {
      LogSkipped(path, number, "not a yescrypt or SHA-512 hash");
      continue;
    }
    if (users.m_users.contains(name)) {
      LogSkipped(path, number, "user listed before");
      continue;
    }
    if (users.m_users.size() >= kUserLimit) {
      LogMessageText("SMTPIn- AuthUsers file has too many users, the rest ignored: ", path, kTag,
                     __LINE__);
      break;
    }
    users.m_users.emplace(std::move(name), std::move(hash));
  }
  if (file.Error()) {
    LogMessageText("SMTPIn- AuthUsers file cannot be read, AUTH not offered: ", path, kTag,
                   __LINE__);
    return std::nullopt;
  }
  LogMessageText("SMTPIn- AuthUsers loaded, users: ", std::to_string(users.Size()), kTag, __LINE__);
  return users;
}

bool AuthUsers::Check(std::string_view user, std::string_view password) const {
  if (m_users.empty()) return false;
  const auto found = m_users.find(user);
  if (found == m_users.end()) {
    // The same work as for a listed user; the result does not count.
    (void)::platform::PasswordMatches(password, m_users.begin()->second);
    return false;
  }
  return ::platform::PasswordMatches(password, found->second);
}

std::optional<std::string> DecodeSaslBase64(std::string_view text) {
  if (text == "=") return std::string();
  if (text.empty() || text.size() > kBase64Limit) return std::nullopt;
  return Base64DecodeStrict(text);
}

std::string EncodeSaslBase64(std::string_view data) {
  return Base64Encode(data.substr(0, std::min(data.size(), kBase64Limit)));
}

std::optional<PlainCredentials> SplitPlainResponse(std::string_view response) {
  const auto first = response.find('\0');
  if (first == std::string_view::npos) return std::nullopt;
  const auto second = response.find('\0', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  if (response.find('\0', second + 1) != std::string_view::npos) return std::nullopt;
  const std::string_view identity = response.substr(0, first);
  PlainCredentials credentials{std::string(response.substr(first + 1, second - first - 1)),
                               std::string(response.substr(second + 1))};
  if (credentials.user.empty()) return std::nullopt;
  if (!identity.empty() && identity != credentials.user) return std::nullopt;
  return credentials;
}

}  // namespace faxmail
