// The scripted SMTP peer's reading of lines, the same on every system: each backend's file
// gives Fill, which waits for more bytes.
#include <string>

#include "tests/support/smtp_client.h"

namespace faxmail::test {

std::string ScriptedClient::ReadLine(int timeoutMs) {
  for (;;) {
    const auto lf = m_buffer.find('\n');
    if (lf != std::string::npos) {
      std::string line = m_buffer.substr(0, lf + 1);
      m_buffer.erase(0, lf + 1);
      return line;
    }
    if (!Fill(timeoutMs)) return {};
  }
}

std::string ScriptedClient::ReadUntilClosed(int timeoutMs) {
  while (Fill(timeoutMs)) {
  }
  std::string all;
  all.swap(m_buffer);
  return all;
}

bool ScriptedClient::WaitClosed(int timeoutMs) {
  ReadUntilClosed(timeoutMs);
  return m_closed;
}

}  // namespace faxmail::test
