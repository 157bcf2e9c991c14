#include "gateway/net/client.h"

#include <cstring>
#include <string>

#include "gateway/service/log.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {
constexpr char kTag[] = "C_WSCLNT";
}  // namespace

C_WSClient::C_WSClient() { platform::SocketStartup(); }

C_WSClient::~C_WSClient() { platform::SocketCleanup(); }

int C_WSClient::Connect(std::uint16_t port, const char* address, std::uint32_t timeoutMs) {
  const std::optional<std::uint32_t> parsed =
      platform::InetAddr(address ? std::string_view(address) : std::string_view());
  m_peer = platform::SocketAddress{};
  m_peer.family = platform::kAfInet;
  m_peer.port = platform::HostToNet16(port);
  m_peer.address = parsed.value_or(0xFFFFFFFFu);
  // A new connection replaces an old one, which the caller should have closed.
  m_tls.reset();
  m_socket = platform::Socket();
  m_input.Clear();

  platform::Socket socket;
  if (platform::Socket::Create(0, socket) != platform::kErrorSuccess) {
    LogSocketError();
    return 1;
  }
  if (!parsed) {
    // Not an address: nothing to connect to.
    platform::SetLastError(platform::kWsaEAddrNotAvail);
    LogSocketError();
    return 2;
  }
  if (socket.Connect(m_peer, timeoutMs) != platform::kErrorSuccess) {
    LogSocketError();
    return 2;
  }
  m_socket = std::move(socket);
  return 0;
}

int C_WSClient::ResolveHostAddress(char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 2;
  const std::string name(buffer, ::strnlen(buffer, static_cast<std::size_t>(size)));
  std::uint32_t address = 0;
  if (platform::ResolveHostIPv4(name, address) != platform::kErrorSuccess) return 2;
  const std::string text = platform::InetNtoa(address);
  if (text.size() + 1 > static_cast<std::size_t>(size)) return 1;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return 0;
}

int C_WSClient::Close() {
  LogMessage("Closing connection", kTag, __LINE__);
  // The closing alert, when the session is still sound, goes before the shutdown. A server
  // that closed first (after its 221) answers the alert with a reset, so the connection may be
  // gone by the shutdown: that is the normal end of a TLS session, not a failure.
  const bool hadTls = m_tls != nullptr;
  m_tls.reset();
  int result = 0;
  if (m_socket.IsValid()) {
    const long shutdown = m_socket.Shutdown();
    if (shutdown != platform::kErrorSuccess && !(hadTls && shutdown == platform::kWsaENotConn)) {
      LogSocketError();
      result = 1;
    }
    // Closed even when the shutdown failed (a connection the peer has reset): the descriptor
    // would be lost otherwise.
    if (m_socket.Close() != platform::kErrorSuccess) {
      LogSocketError();
      if (result == 0) result = 2;
    }
  }
  m_socket = platform::Socket();
  m_input.Clear();
  return result;
}

int C_WSClient::SendBytes(const char* data, int length) {
  if (!m_socket.IsValid()) {
    platform::SetLastError(platform::kWsaENotSock);
    return -1;
  }
  const std::size_t size =
      length > 0 ? static_cast<std::size_t>(length) : (data ? std::strlen(data) : 0);
  return static_cast<int>(Stream().Send(data, size));
}

int C_WSClient::ReceiveBytes(char* buffer, int size) {
  if (!m_socket.IsValid()) {
    platform::SetLastError(platform::kWsaENotSock);
    return -1;
  }
  if (buffer == nullptr || size <= 0) return 0;
  return static_cast<int>(m_input.Read(Stream(), buffer, static_cast<std::size_t>(size)));
}

int C_WSClient::ReceiveLine(char* buffer, int limit) {
  if (!m_socket.IsValid()) {
    platform::SetLastError(platform::kWsaENotSock);
    if (buffer) buffer[0] = '\0';
    return 0;
  }
  bool failed = false;
  return ReadLine(Stream(), m_input, buffer, limit, LineEnd::Text, false, failed);
}

void C_WSClient::SetReceiveTimeout(std::uint32_t milliseconds) {
  m_receiveTimeout = milliseconds;
  if (m_socket.IsValid()) m_socket.SetReceiveTimeout(milliseconds);
}

int C_WSClient::DrainInput() {
  if (m_socket.IsValid()) DiscardWaitingInput(Stream(), m_input);
  return 0;
}

bool C_WSClient::StartTls(const TlsContext& context, const std::string& hostName,
                          std::string& error) {
  // Nothing the peer sent in clear is read once the session has begun.
  m_input.Clear();
  if (!m_socket.IsValid()) {
    error = "no connection";
    return false;
  }
  m_tls = std::make_unique<TlsSession>(context, m_socket);
  return m_tls->Connect(hostName, error);
}

ByteStream& C_WSClient::Stream() {
  if (m_tls) return *m_tls;
  return m_plain;
}

}  // namespace faxmail
