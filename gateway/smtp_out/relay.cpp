#include "gateway/smtp_out/relay.h"

#include <cctype>
#include <cstdio>
#include <vector>

#include "gateway/smtp_out/encoder.h"
#include "platform/digest.h"
#include "platform/file.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

// A DNS name is at most this long; a longer host cannot be one.
constexpr std::size_t kMaxHostName = 253;

bool HostCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
}

std::string OctalMode(std::uint32_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

std::optional<RelayTarget> ParseRelayHost(std::string_view text) {
  RelayTarget target;
  const std::size_t colon = text.find(':');
  std::string_view host = text.substr(0, colon);
  if (colon != std::string_view::npos) {
    const std::string_view port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : port) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
      value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    target.port = static_cast<std::uint16_t>(value);
  }
  if (host.empty() || host.size() > kMaxHostName || host.front() == '.' || host.front() == '-')
    return std::nullopt;
  for (const char c : host)
    if (!HostCharacter(c)) return std::nullopt;
  target.host = std::string(host);
  return target;
}

bool ReadRelayPassword(const std::string& path, std::string& password, std::string& why) {
  password.clear();
  if (path.empty()) {
    why = "no file named";
    return false;
  }
  platform::File file;
  if (const long error = platform::File::Open(path, platform::Access::Read, platform::Share::Read,
                                              platform::Disposition::OpenExisting, file,
                                              platform::Links::Follow, platform::Kind::RegularFile);
      error != platform::kErrorSuccess) {
    why = error == platform::kErrorCantAccessFile
              ? "not a regular file"
              : "cannot be opened (error " + std::to_string(error) + ")";
    return false;
  }
  // Checked on the open file: what is read is what was checked.
  platform::FileAccess access;
  if (file.QueryAccess(access) != platform::kErrorSuccess || !access.regularFile) {
    why = "not a regular file";
    return false;
  }
  if (!access.ownedByAdministrator && !access.ownedByProcessUser) {
    why = "owned by another user than root or the gateway's own";
    return false;
  }
  if (access.openToOthers) {
    why = "mode " + OctalMode(access.permissions) + " gives its group or others access";
    return false;
  }
  std::vector<char> bytes(kMaxPasswordFileBytes + 1);
  std::size_t total = 0;
  for (;;) {
    std::size_t got = 0;
    if (file.Read(bytes.data() + total, bytes.size() - total, got) != platform::kErrorSuccess) {
      platform::WipeMemory(bytes.data(), bytes.size());
      why = "cannot be read";
      return false;
    }
    if (got == 0) break;
    total += got;
    if (total == bytes.size()) break;
  }
  if (total > kMaxPasswordFileBytes) {
    platform::WipeMemory(bytes.data(), bytes.size());
    why = "larger than " + std::to_string(kMaxPasswordFileBytes) + " bytes";
    return false;
  }
  std::size_t end = 0;
  while (end < total && bytes[end] != '\n') ++end;
  std::size_t length = end;
  if (length > 0 && bytes[length - 1] == '\r') --length;
  password.assign(bytes.data(), length);
  platform::WipeMemory(bytes.data(), bytes.size());
  if (password.empty()) {
    why = "its first line is empty";
    return false;
  }
  return true;
}

std::string PlainResponse(std::string_view user, std::string_view password) {
  std::string message;
  message.reserve(user.size() + password.size() + 2);
  message.push_back('\0');
  message.append(user);
  message.push_back('\0');
  message.append(password);
  std::string encoded = Base64Encode(message);
  WipeSecret(message);
  return encoded;
}

void WipeSecret(std::string& text) noexcept {
  if (!text.empty()) platform::WipeMemory(text.data(), text.size());
  text.clear();
}

}  // namespace faxmail
