// A scripted SMTP server on 127.0.0.1 for the client dialogue's tests: it takes one
// connection, answers each command from its script and records every byte it receives. With a
// TLS layer (scripted_server_tls.h, where the build has a TLS library) it speaks TLS after its
// 220 to STARTTLS, or from the first byte (implicitTls). Its sockets are the platform layer's,
// so the same server runs on every system.
#pragma once

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/win_error.h"

namespace faxmail::test {

// How long the servers sleep between two looks at a socket with nothing to read: short, so
// that a reply is not held up, and long enough not to spin.
inline constexpr std::chrono::milliseconds kServerPollPause{2};
// How much the servers take from a socket in one receive.
inline constexpr std::size_t kServerReadChunk = 4096;

// A listening TCP socket on a loopback address at a port the system chooses (port receives
// it), or at a port of the test's own (fixedPort); not valid when that cannot be bound.
inline platform::Socket ListenOnLoopback(int backlog, std::uint16_t& port,
                                         const char* on = "127.0.0.1",
                                         std::uint16_t fixedPort = 0) {
  platform::Socket listening;
  const auto address = platform::InetAddr(on);
  if (!address || platform::Socket::Create(0, listening) != 0) return {};
  listening.SetReuseAddress();
  if (listening.Bind(platform::MakeAddress(fixedPort, platform::NetToHost32(*address))) != 0 ||
      listening.Listen(backlog) != 0)
    return {};
  platform::SocketAddress bound;
  if (listening.LocalAddress(bound) != 0) return {};
  port = platform::NetToHost16(bound.port);
  return listening;
}

// Sends all of text (false when the connection failed first).
inline bool SendAllOf(platform::Socket& socket, const std::string& text) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const long n = socket.Send(text.data() + sent, text.size() - sent);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// TLS on the server's accepted connection: a handshake as the server, then reads and writes
// through it. Made per connection by ServerScript::tls.
class ServerTls {
 public:
  virtual ~ServerTls() = default;
  // The server's side of the handshake on socket (false: it failed; nothing was started).
  virtual bool Accept(platform::Socket& socket) = 0;
  // Bytes already decrypted and waiting, which the socket no longer shows.
  virtual bool Pending() = 0;
  // Up to size bytes; 0 or less when the session ended.
  virtual long Read(char* buffer, std::size_t size) = 0;
  virtual void Write(const std::string& text) = 0;
  // The close notice, before the socket goes.
  virtual void Shutdown() = 0;
};

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
  // Where to listen: a loopback address and port of the test's own (0: one the system picks).
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;
  // TLS: makes the session after a 220 to STARTTLS, or from the first byte. Without it every
  // handshake fails (the server closes the connection).
  std::function<std::unique_ptr<ServerTls>()> tls;
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
    if (!m_listening.IsValid()) return;
    m_thread = std::thread([this] { Serve(); });
  }
  ~ScriptedSmtpServer() {
    m_stop = true;
    m_listening.Shutdown();  // wakes a server still waiting for its connection
    if (m_thread.joinable()) m_thread.join();
  }
  // Whether it listens (a fixed port may be taken, or need root).
  bool Listening() const { return m_listening.IsValid(); }
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
  // Until something can be read (or the socket failed, which the read then reports).
  bool Wait() {
    while (!m_stop) {
      if (m_tls && m_tls->Pending()) return true;
      platform::SetLastError(0);
      if (m_socket.HasWaitingInput() || platform::LastError() != 0) return true;
      std::this_thread::sleep_for(kServerPollPause);
    }
    return false;
  }
  // More bytes into the buffer; false when the client closed or the server stops.
  bool Fill() {
    if (!Wait()) return false;
    char chunk[kServerReadChunk];
    const long n = m_tls ? m_tls->Read(chunk, sizeof chunk) : m_socket.Recv(chunk, sizeof chunk);
    if (n <= 0) return false;
    m_buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
  // One line with its LF; empty when the client closed. What came after the line stays in the
  // buffer: until TLS starts the client sends nothing past its STARTTLS line.
  std::string ReadLine() {
    for (;;) {
      if (const auto end = m_buffer.find('\n'); end != std::string::npos) {
        std::string line = m_buffer.substr(0, end + 1);
        m_buffer.erase(0, end + 1);
        return line;
      }
      if (!Fill()) {
        std::string rest;
        rest.swap(m_buffer);
        return rest;
      }
    }
  }
  void Send(const std::string& text) {
    if (m_tls)
      m_tls->Write(text);
    else
      SendAllOf(m_socket, text);
  }
  bool Handshake() {
    if (!m_script.tls) return false;
    std::unique_ptr<ServerTls> tls = m_script.tls();
    if (!tls || !tls->Accept(m_socket)) return false;
    m_tls = std::move(tls);
    m_tlsStarted = true;
    return true;
  }

  void Serve() {
    platform::SocketAddress peer;
    if (m_listening.Accept(m_socket, peer) != 0 || m_stop) {
      m_done = true;
      return;
    }
    m_connected = true;
    if (m_script.implicitTls && !Handshake()) {
      m_socket = platform::Socket();
      m_done = true;
      return;
    }
    if (m_script.greetingDelay.count() > 0) {
      std::this_thread::sleep_for(m_script.greetingDelay);
      m_spokeFirst = m_socket.HasWaitingInput();
    }
    Send(m_script.greeting);
    bool inData = false;
    std::size_t continuation = m_script.authContinuation.size();
    for (;;) {
      const std::string line = ReadLine();
      if (line.empty()) break;
      {
        std::lock_guard lock(m_mutex);
        m_transcript += line;
        if (!m_tls) m_clear += line;
        if (inData) m_data += line;
      }
      if (continuation < m_script.authContinuation.size()) {
        Send(m_script.authContinuation[continuation++]);
        continue;
      }
      if (inData) {
        if (line == ".\r\n") {
          inData = false;
          Send(m_script.dataEndReply);
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
      if (verb == "EHLO" && m_tls && !m_script.ehloInTls.empty()) {
        Send(m_script.ehloInTls);
      } else if (reply != m_script.replies.end()) {
        Send(reply->second);
        if (verb == "DATA" && reply->second.starts_with("354")) inData = true;
        if (verb == "AUTH" && reply->second.starts_with("334")) continuation = 0;
        if (verb == "STARTTLS" && reply->second.starts_with("220") && !Handshake()) break;
      }
      if (verb == "QUIT") break;
    }
    if (m_tls) {
      m_tls->Shutdown();
      m_tls.reset();
    }
    m_socket = platform::Socket();
    m_done = true;
  }

  ServerScript m_script;
  platform::Socket m_listening;
  std::uint16_t m_port = 0;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_done{false};
  std::atomic<bool> m_spokeFirst{false};
  std::atomic<bool> m_connected{false};
  std::atomic<bool> m_tlsStarted{false};
  // The serving thread's: the connection, its TLS session and what was read ahead.
  platform::Socket m_socket;
  std::unique_ptr<ServerTls> m_tls;
  std::string m_buffer;
  std::string m_clear;
  std::mutex m_mutex;
  std::string m_transcript;
  std::string m_data;
};

}  // namespace faxmail::test
