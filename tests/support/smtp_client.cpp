#include "tests/support/smtp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace faxmail::test {

ScriptedClient::~ScriptedClient() { Close(); }

bool ScriptedClient::Connect(std::uint16_t port, const char* address) {
  Close();
  m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (m_fd < 0) return false;
  int one = 1;
  ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  ::inet_pton(AF_INET, address, &addr.sin_addr);
  m_closed = false;
  m_buffer.clear();
  return ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

bool ScriptedClient::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool ScriptedClient::Fill(int timeoutMs) {
  if (m_closed || m_fd < 0) return false;
  pollfd p{m_fd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return false;
  char chunk[4096];
  const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
  if (n <= 0) {
    m_closed = true;
    return false;
  }
  m_buffer.append(chunk, static_cast<std::size_t>(n));
  return true;
}

void ScriptedClient::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

}  // namespace faxmail::test
