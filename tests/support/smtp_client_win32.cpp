// The scripted SMTP peer on Windows: the client of smtp_client.cpp over the platform layer's
// sockets, each wait for a reply bounded by the socket's receive time-out.
#include "tests/support/smtp_client.h"

#include <cstring>

#include "platform/win_error.h"

namespace faxmail::test {

ScriptedClient::~ScriptedClient() { Close(); }

bool ScriptedClient::Connect(std::uint16_t port, const char* address) {
  Close();
  const auto networkOrder = platform::InetAddr(address);
  if (!networkOrder || platform::Socket::Create(0, m_socket) != 0) return false;
  unsigned char bytes[4];
  std::memcpy(bytes, &*networkOrder, sizeof bytes);
  const std::uint32_t hostOrder = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
                                  std::uint32_t{bytes[2]} << 8 | bytes[3];
  m_closed = false;
  m_buffer.clear();
  return m_socket.Connect(platform::MakeAddress(port, hostOrder)) == 0;
}

bool ScriptedClient::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const long n = m_socket.Send(bytes.data() + sent, bytes.size() - sent);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool ScriptedClient::Fill(int timeoutMs) {
  if (m_closed || !m_socket.IsValid()) return false;
  m_socket.SetReceiveTimeout(static_cast<std::uint32_t>(timeoutMs > 0 ? timeoutMs : 1));
  char chunk[4096];
  const long n = m_socket.Recv(chunk, sizeof chunk);
  if (n < 0 && platform::LastError() == platform::kWsaETimedOut) return false;
  if (n <= 0) {
    m_closed = true;
    return false;
  }
  m_buffer.append(chunk, static_cast<std::size_t>(n));
  return true;
}

void ScriptedClient::Close() { m_socket = platform::Socket(); }

}  // namespace faxmail::test
