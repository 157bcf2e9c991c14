#include "gateway/net/connection.h"

#include <cstring>

#include "gateway/net/listener.h"
#include "gateway/service/log.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

constexpr char kConnectedReply[] = "Connect Successful ... Now Disconnecting.";
constexpr char kRefusedReply[] = "Too Many Connections, Please Try Later.";

}  // namespace

void C_WSTHREAD::Attach(platform::Socket& socket, const platform::SocketAddress& peer,
                        const platform::Socket* listening, C_WINSOCK* owner) {
  m_socket = &socket;
  m_plain.emplace(socket);
  m_tls.reset();
  m_stream = &*m_plain;
  m_peer = peer;
  m_listening = listening;
  m_owner = owner;
  m_input.Clear();
  m_receiveTimeoutMs = owner ? owner->ConnectionTimeout() : 0;
  m_armedTimeoutMs = m_receiveTimeoutMs;
  m_deadline.reset();
  m_deadlineReached = false;
}

C_WSTHREAD::~C_WSTHREAD() = default;

bool C_WSTHREAD::StartTls(const TlsContext& context, std::string& error) {
  m_input.Clear();
  if (m_socket == nullptr) {
    error = "no connection";
    return false;
  }
  m_tls = std::make_unique<TlsSession>(context, *m_socket);
  m_stream = m_tls.get();
  if (!BeforeReceive()) {
    error = "session time limit reached";
    return false;
  }
  return m_tls->Accept(error);
}

void C_WSTHREAD::SetReceiveDeadline(std::optional<Clock::time_point> deadline) {
  m_deadline = deadline;
  m_deadlineReached = false;
  if (!deadline && m_socket != nullptr && m_armedTimeoutMs != m_receiveTimeoutMs) {
    m_socket->SetReceiveTimeout(m_receiveTimeoutMs);
    m_armedTimeoutMs = m_receiveTimeoutMs;
  }
}

bool C_WSTHREAD::BeforeReceive() {
  if (!m_deadline) return true;
  const auto now = Clock::now();
  if (now >= *m_deadline) {
    m_deadlineReached = true;
    platform::SetLastError(platform::kWsaETimedOut);
    return false;
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*m_deadline - now).count();
  std::uint32_t wanted = m_receiveTimeoutMs;
  if (wanted == 0 || left < static_cast<long long>(wanted))
    wanted = static_cast<std::uint32_t>(left);
  if (wanted != m_armedTimeoutMs) {
    m_socket->SetReceiveTimeout(wanted);
    m_armedTimeoutMs = wanted;
  }
  return true;
}

void C_WSTHREAD::ReadEnded(bool failed) {
  if (failed && m_deadline && Clock::now() >= *m_deadline) m_deadlineReached = true;
  if (failed) LogSocketError();
}

void C_WSTHREAD::EndOfSession() {
  if (m_place != Place::Admitted || m_owner == nullptr) return;
  if (m_owner->SessionEnded()) m_place = Place::Closing;
}

void C_WSTHREAD::Run() {
  char line[kRunLineLimit + 1];
  if (ReceiveLine(line, kRunLineLimit) > 0) {
    DrainInput();
    SendText(kConnectedReply);
  }
}

void C_WSTHREAD::Refuse() {
  char scratch[kRefuseReceiveLimit];
  if (ReceiveBytes(scratch, kRefuseReceiveLimit) > 0) SendText(kRefusedReply);
}

int C_WSTHREAD::SendBytes(const char* data, int length) {
  if (m_socket == nullptr) {
    platform::SetLastError(platform::kWsaENotSock);
    LogSocketError();
    return -1;
  }
  const std::size_t size =
      length > 0 ? static_cast<std::size_t>(length) : (data ? std::strlen(data) : 0);
  const long sent = m_stream->Send(data, size);
  if (sent < 0) {
    LogSocketError();
    return -1;
  }
  return static_cast<int>(sent);
}

int C_WSTHREAD::ReceiveBytes(char* buffer, int size) {
  if (m_socket == nullptr) {
    platform::SetLastError(platform::kWsaENotSock);
    LogSocketError();
    return -1;
  }
  if (buffer == nullptr || size <= 0) return 0;
  const long got = m_input.Read(*m_stream, buffer, static_cast<std::size_t>(size));
  if (got < 0) {
    LogSocketError();
    return -1;
  }
  return static_cast<int>(got);
}

int C_WSTHREAD::ReceiveLine(char* buffer, int limit) {
  if (m_socket == nullptr) {
    if (buffer) buffer[0] = '\0';
    return 0;
  }
  bool failed = false;
  const int length = ReadLine(*m_stream, m_input, buffer, limit, LineEnd::Text, true, failed,
                              [this] { return BeforeReceive(); });
  ReadEnded(failed);
  return length;
}

int C_WSTHREAD::ReceiveRawLine(char* buffer, int limit) {
  if (m_socket == nullptr) {
    if (buffer) buffer[0] = '\0';
    return 0;
  }
  bool failed = false;
  const int length = ReadLine(*m_stream, m_input, buffer, limit, LineEnd::Raw, false, failed,
                              [this] { return BeforeReceive(); });
  ReadEnded(failed);
  return length;
}

int C_WSTHREAD::DrainInput() {
  if (m_socket != nullptr) DiscardWaitingInput(*m_stream, m_input);
  return 0;
}

std::string C_WSTHREAD::PeerAddressText() const { return platform::InetNtoa(m_peer.address); }

}  // namespace faxmail
