// A scripted SMTP peer for tests: a plain TCP client on loopback that sends exactly the bytes
// it is given and reads replies line by line, with a time limit on every read.
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
#include "platform/socket.h"
#endif

namespace faxmail::test {

class ScriptedClient {
 public:
  ScriptedClient() = default;
  ~ScriptedClient();
  ScriptedClient(const ScriptedClient&) = delete;
  ScriptedClient& operator=(const ScriptedClient&) = delete;

  bool Connect(std::uint16_t port, const char* address = "127.0.0.1");
  bool Send(const std::string& bytes);
  // One line up to and including its LF; empty when the peer closed or nothing came in time.
  std::string ReadLine(int timeoutMs = 5000);
  // Everything until the peer closes (or the time runs out).
  std::string ReadUntilClosed(int timeoutMs = 5000);
  // Whether the peer has closed the connection (within the time).
  bool WaitClosed(int timeoutMs = 5000);
  void Close();

 private:
  bool Fill(int timeoutMs);
#ifdef _WIN32
  platform::Socket m_socket;  // smtp_client_win32.cpp: through the platform layer
#else
  int m_fd = -1;
#endif
  std::string m_buffer;
  bool m_closed = false;
};

}  // namespace faxmail::test
