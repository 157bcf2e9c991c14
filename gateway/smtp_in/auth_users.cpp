#include "gateway/smtp_in/auth_users.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "gateway/service/log.h"
#include "platform/password_hash.h"
#include "platform/stream.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "SMTP_IN";
// The longest SASL text decoded at once; an AUTH line is bounded well below it.
constexpr std::size_t kBase64Limit = 16 * 1024;

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of a base64 character already checked to be one (padding counts as 0).
std::uint32_t Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<std::uint32_t>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<std::uint32_t>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;
}

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
  if (text.empty() || text.size() % 4 != 0 || text.size() > kBase64Limit) return std::nullopt;
  std::size_t padding = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (c == '=') {
      // Padding only at the end, at most two.
      if (i + 2 < text.size()) return std::nullopt;
      ++padding;
    } else if (!letter || padding > 0) {
      return std::nullopt;
    }
  }
  // Every character is checked above: each group of four gives three bytes.
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4; ++j) group = group << 6 | Base64Value(text[i + j]);
    out.push_back(static_cast<char>(group >> 16 & 0xff));
    out.push_back(static_cast<char>(group >> 8 & 0xff));
    out.push_back(static_cast<char>(group & 0xff));
  }
  out.resize(out.size() - padding);
  return out;
}

std::string EncodeSaslBase64(std::string_view data) {
  if (data.size() > kBase64Limit) data = data.substr(0, kBase64Limit);
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const std::size_t n = data.size() - i < 3 ? data.size() - i : 3;
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 3; ++j)
      group = group << 8 | (j < n ? static_cast<unsigned char>(data[i + j]) : 0u);
    for (std::size_t j = 0; j < 4; ++j)
      out.push_back(j <= n ? kBase64Alphabet[group >> (18 - 6 * j) & 0x3f] : '=');
  }
  return out;
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
