// A scripted SMTP server on 127.0.0.1 for the client dialogue's tests: it takes one
// connection, answers each command from its script and records every byte it receives. With a
// certificate it speaks TLS after its 220 to STARTTLS, or from the first byte (implicitTls),
// through the TLS library directly.
#pragma once

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace faxmail::test {

// A listening TCP socket on 127.0.0.1 at a port the kernel chooses (port receives it), for the
// test servers of the sender.
// With a loopback address and a port of its own (fixedPort), -1 when that cannot be bound.
inline int ListenOnLoopback(int backlog, std::uint16_t& port, const char* on = "127.0.0.1",
                            std::uint16_t fixedPort = 0) {
  const int listening = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, on, &address.sin_addr);
  address.sin_port = htons(fixedPort);
  const int one = 1;
  ::setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(listening);
    return -1;
  }
  ::listen(listening, backlog);
  socklen_t length = sizeof address;
  ::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return listening;
}

struct ServerScript {
  std::string greeting = "220 scripted.test ready\r\n";
  // Time the server waits after accepting before it greets.
  std::chrono::milliseconds greetingDelay{0};
  // Replies by command verb (HELO, MAIL, RCPT, DATA, QUIT); a verb not listed gets no reply.
  std::map<std::string, std::string> replies = {{"HELO", "250 scripted.test\r\n"},
                                                {"MAIL", "250 sender ok\r\n"},
                                                {"RCPT", "250 recipient ok\r\n"},
                                                {"DATA", "354 go ahead\r\n"},
                                                {"QUIT", "221 bye\r\n"}};
  std::string dataEndReply = "250 queued\r\n";
  // Close the connection instead of answering this verb.
  std::string closeAt;
  // Where to listen: a loopback address and port of the test's own (0: one the kernel picks).
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;
  // TLS: a PEM certificate and key; after a 220 to STARTTLS, or from the first byte.
  std::string certificate;
  std::string key;
  bool implicitTls = false;
  // The reply to EHLO once TLS is on (empty: the same as in clear).
  std::string ehloInTls;
  // Replies, in order, to the lines that follow an AUTH answered with 334.
  std::vector<std::string> authContinuation;
};

class ScriptedSmtpServer {
 public:
  explicit ScriptedSmtpServer(ServerScript script) : m_script(std::move(script)) {
    m_listening = ListenOnLoopback(1, m_port, m_script.address.c_str(), m_script.port);
    if (m_listening < 0) return;
    if (!m_script.certificate.empty()) {
      m_context = SSL_CTX_new(TLS_server_method());
      SSL_CTX_use_certificate_chain_file(m_context, m_script.certificate.c_str());
      SSL_CTX_use_PrivateKey_file(m_context, m_script.key.c_str(), SSL_FILETYPE_PEM);
    }
    m_thread = std::thread([this] { Serve(); });
  }
  ~ScriptedSmtpServer() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_listening >= 0) ::close(m_listening);
    if (m_context) SSL_CTX_free(m_context);
  }
  // Whether it listens (a fixed port may be taken, or need root).
  bool Listening() const { return m_listening >= 0; }
  // Whether the TLS handshake completed, and what was received before it.
  bool TlsStarted() const { return m_tlsStarted; }
  std::string ClearTranscript() {
    std::lock_guard lock(m_mutex);
    return m_clear;
  }
  // Whether a client connected at all.
  bool Connected() const { return m_connected; }
  ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
  ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

  std::uint16_t Port() const { return m_port; }
  // Everything received, commands and message.
  std::string Transcript() {
    std::lock_guard lock(m_mutex);
    return m_transcript;
  }
  // The message as received after DATA, up to and including its end line.
  std::string Data() {
    std::lock_guard lock(m_mutex);
    return m_data;
  }
  // Whether the client sent anything before the greeting.
  bool ClientSpokeFirst() const { return m_spokeFirst; }
  // Waits until the connection is over.
  void WaitDone() {
    while (!m_done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

 private:
  bool Wait(int fd) {
    while (!m_stop) {
      if (m_ssl && SSL_pending(m_ssl) > 0) return true;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) return true;
    }
    return false;
  }
  // One line with its LF; empty when the client closed.
  std::string ReadLine(int fd) {
    std::string line;
    char c = 0;
    while (Wait(fd) && (m_ssl ? SSL_read(m_ssl, &c, 1) : ::recv(fd, &c, 1, 0)) == 1) {
      line.push_back(c);
      if (c == '\n') break;
    }
    return line;
  }
  void Send(int fd, const std::string& text) {
    if (m_ssl)
      SSL_write(m_ssl, text.data(), static_cast<int>(text.size()));
    else
      ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  }
  bool Handshake(int fd) {
    if (!m_context) return false;
    m_ssl = SSL_new(m_context);
    SSL_set_fd(m_ssl, fd);
    if (SSL_accept(m_ssl) != 1) {
      ERR_clear_error();
      SSL_free(m_ssl);
      m_ssl = nullptr;
      return false;
    }
    m_tlsStarted = true;
    return true;
  }

  void Serve() {
    if (!Wait(m_listening)) {
      m_done = true;
      return;
    }
    const int fd = ::accept(m_listening, nullptr, nullptr);
    m_connected = true;
    if (m_script.implicitTls && !Handshake(fd)) {
      ::close(fd);
      m_done = true;
      return;
    }
    if (m_script.greetingDelay.count() > 0) {
      std::this_thread::sleep_for(m_script.greetingDelay);
      char c = 0;
      m_spokeFirst = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
    }
    Send(fd, m_script.greeting);
    bool inData = false;
    std::size_t continuation = m_script.authContinuation.size();
    for (;;) {
      const std::string line = ReadLine(fd);
      if (line.empty()) break;
      {
        std::lock_guard lock(m_mutex);
        m_transcript += line;
        if (!m_ssl) m_clear += line;
        if (inData) m_data += line;
      }
      if (continuation < m_script.authContinuation.size()) {
        Send(fd, m_script.authContinuation[continuation++]);
        continue;
      }
      if (inData) {
        if (line == ".\r\n") {
          inData = false;
          Send(fd, m_script.dataEndReply);
        }
        continue;
      }
      std::string verb;
      for (const char c : line) {
        if (!std::isalpha(static_cast<unsigned char>(c))) break;
        verb.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
      }
      if (verb == m_script.closeAt) break;
      const auto reply = m_script.replies.find(verb);
      if (verb == "EHLO" && m_ssl && !m_script.ehloInTls.empty()) {
        Send(fd, m_script.ehloInTls);
      } else if (reply != m_script.replies.end()) {
        Send(fd, reply->second);
        if (verb == "DATA" && reply->second.starts_with("354")) inData = true;
        if (verb == "AUTH" && reply->second.starts_with("334")) continuation = 0;
        if (verb == "STARTTLS" && reply->second.starts_with("220") && !Handshake(fd)) break;
      }
      if (verb == "QUIT") break;
    }
    if (m_ssl) {
      SSL_shutdown(m_ssl);
      SSL_free(m_ssl);
      m_ssl = nullptr;
    }
    ::close(fd);
    m_done = true;
  }

  ServerScript m_script;
  int m_listening = -1;
  std::uint16_t m_port = 0;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_done{false};
  std::atomic<bool> m_spokeFirst{false};
  std::atomic<bool> m_connected{false};
  std::atomic<bool> m_tlsStarted{false};
  SSL_CTX* m_context = nullptr;
  SSL* m_ssl = nullptr;  // the serving thread's
  std::string m_clear;
  std::mutex m_mutex;
  std::string m_transcript;
  std::string m_data;
};

}  // namespace faxmail::test
