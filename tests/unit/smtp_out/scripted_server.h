// A scripted SMTP server on 127.0.0.1 for the client dialogue's tests: it takes one
// connection, answers each command from its script and records every byte it receives.
#pragma once

#include <arpa/inet.h>
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

namespace faxmail::test {

// A listening TCP socket on 127.0.0.1 at a port the kernel chooses (port receives it), for the
// test servers of the sender.
inline int ListenOnLoopback(int backlog, std::uint16_t& port) {
  const int listening = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address);
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
};

class ScriptedSmtpServer {
 public:
  explicit ScriptedSmtpServer(ServerScript script) : m_script(std::move(script)) {
    m_listening = ListenOnLoopback(1, m_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~ScriptedSmtpServer() {
    m_stop = true;
    m_thread.join();
    ::close(m_listening);
  }
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
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) return true;
    }
    return false;
  }
  // One line with its LF; empty when the client closed.
  std::string ReadLine(int fd) {
    std::string line;
    char c = 0;
    while (Wait(fd) && ::recv(fd, &c, 1, 0) == 1) {
      line.push_back(c);
      if (c == '\n') break;
    }
    return line;
  }
  void Send(int fd, const std::string& text) { ::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

  void Serve() {
    if (!Wait(m_listening)) {
      m_done = true;
      return;
    }
    const int fd = ::accept(m_listening, nullptr, nullptr);
    if (m_script.greetingDelay.count() > 0) {
      std::this_thread::sleep_for(m_script.greetingDelay);
      char c = 0;
      m_spokeFirst = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
    }
    Send(fd, m_script.greeting);
    bool inData = false;
    for (;;) {
      const std::string line = ReadLine(fd);
      if (line.empty()) break;
      {
        std::lock_guard lock(m_mutex);
        m_transcript += line;
        if (inData) m_data += line;
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
      if (reply != m_script.replies.end()) {
        Send(fd, reply->second);
        if (verb == "DATA" && reply->second.starts_with("354")) inData = true;
      }
      if (verb == "QUIT") break;
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
  std::mutex m_mutex;
  std::string m_transcript;
  std::string m_data;
};

}  // namespace faxmail::test
