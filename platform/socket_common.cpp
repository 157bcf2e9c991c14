// The socket layer's plain arithmetic: byte order, addresses and their dotted texts, and the
// handle's ownership. The same on every backend; the backends keep the system calls.
#include "platform/socket.h"

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace faxmail::platform {

namespace {

constexpr std::uint16_t Swap16(std::uint16_t value) noexcept {
  return static_cast<std::uint16_t>((value >> 8) | (value << 8));
}

constexpr std::uint32_t Swap32(std::uint32_t value) noexcept {
  return (value >> 24) | ((value >> 8) & 0xff00U) | ((value << 8) & 0xff0000U) | (value << 24);
}

constexpr bool kBigEndian = std::endian::native == std::endian::big;

}  // namespace

std::uint16_t HostToNet16(std::uint16_t value) noexcept {
  return kBigEndian ? value : Swap16(value);
}
std::uint32_t HostToNet32(std::uint32_t value) noexcept {
  return kBigEndian ? value : Swap32(value);
}
std::uint16_t NetToHost16(std::uint16_t value) noexcept { return HostToNet16(value); }
std::uint32_t NetToHost32(std::uint32_t value) noexcept { return HostToNet32(value); }

SocketAddress MakeAddress(std::uint16_t port, std::uint32_t hostOrderAddress) noexcept {
  SocketAddress address;
  address.family = kAfInet;
  address.port = HostToNet16(port);
  address.address = HostToNet32(hostOrderAddress);
  return address;
}

Socket::~Socket() {
  if (m_fd >= 0) CloseQuietly(m_fd);
}

Socket::Socket(Socket&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    if (m_fd >= 0) CloseQuietly(m_fd);
    m_fd = std::exchange(other.m_fd, -1);
  }
  return *this;
}

std::optional<std::uint32_t> InetAddr(std::string_view text) {
  // Exactly four decimal numbers 0-255: the shorter and hexadecimal forms that older parsers
  // accept are not addresses an administrator means. Parsed here, not by
  // the system, so that every backend takes the same texts.
  if (text.empty() || text.size() > 15) return std::nullopt;
  std::uint32_t parts[4] = {};
  std::size_t part = 0;
  std::size_t digits = 0;
  for (const char c : text) {
    if (c == '.') {
      if (digits == 0 || ++part > 3) return std::nullopt;
      digits = 0;
    } else if (c >= '0' && c <= '9') {
      // A leading zero makes an octal number elsewhere; it is no address here.
      if (digits > 0 && parts[part] == 0) return std::nullopt;
      parts[part] = parts[part] * 10 + static_cast<std::uint32_t>(c - '0');
      if (++digits > 3 || parts[part] > 255) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (part != 3 || digits == 0) return std::nullopt;
  return HostToNet32(parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3]);
}

std::string InetNtoa(std::uint32_t networkOrder) {
  const std::uint32_t host = NetToHost32(networkOrder);
  return std::to_string(host >> 24) + "." + std::to_string(host >> 16 & 0xff) + "." +
         std::to_string(host >> 8 & 0xff) + "." + std::to_string(host & 0xff);
}

}  // namespace faxmail::platform
