#include "platform/terminal.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace faxmail::platform {

namespace {

// Turns echo off on a terminal for as long as it lives.
class EchoOff {
 public:
  explicit EchoOff(int fd) : m_fd(fd) {
    if (::tcgetattr(fd, &m_saved) != 0) return;
    termios quiet = m_saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    m_active = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (m_active) ::tcsetattr(m_fd, TCSAFLUSH, &m_saved);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int m_fd;
  termios m_saved{};
  bool m_active = false;
};

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

std::optional<std::string> ReadSecretLine(std::string_view prompt, std::size_t limit) {
  const bool terminal = StdinIsTerminal();
  std::optional<EchoOff> echoOff;
  if (terminal) {
    WriteAll(STDERR_FILENO, prompt);
    echoOff.emplace(STDIN_FILENO);
  }
  // Read a byte at a time: nothing past the line is taken from a pipe that holds more.
  std::string line;
  for (;;) {
    char c = 0;
    const ssize_t got = ::read(STDIN_FILENO, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) {
      if (line.empty()) return std::nullopt;
      break;
    }
    if (c == '\n') break;
    // One byte for a CR that a CR LF line end may still drop.
    if (line.size() > limit) return std::nullopt;
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > limit) return std::nullopt;
  return line;
}

}  // namespace faxmail::platform
