#include "platform/terminal.h"

#include "platform/win32/windows_api.h"

namespace faxmail::platform {

namespace {

// Turns echo off on the console for as long as it lives.
class EchoOff {
 public:
  explicit EchoOff(HANDLE console) : m_console(console) {
    if (!::GetConsoleMode(console, &m_saved)) return;
    m_active = ::SetConsoleMode(console, m_saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) != 0;
  }
  ~EchoOff() {
    if (m_active) ::SetConsoleMode(m_console, m_saved);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  HANDLE m_console;
  DWORD m_saved = 0;
  bool m_active = false;
};

void WriteAll(HANDLE handle, std::string_view text) {
  while (!text.empty()) {
    DWORD written = 0;
    if (!::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written == 0)
      return;
    text.remove_prefix(written);
  }
}

}  // namespace

bool StdinIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

std::optional<std::string> ReadSecretLine(std::string_view prompt, std::size_t limit) {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  const bool terminal = StdinIsTerminal();
  std::optional<EchoOff> echoOff;
  if (terminal) {
    WriteAll(::GetStdHandle(STD_ERROR_HANDLE), prompt);
    echoOff.emplace(input);
  }
  // A byte at a time: nothing past the line is taken from a pipe that holds more.
  std::string line;
  bool ended = false;
  for (;;) {
    char c = 0;
    DWORD got = 0;
    if (!::ReadFile(input, &c, 1, &got, nullptr)) {
      if (::GetLastError() != ERROR_BROKEN_PIPE) return std::nullopt;
      got = 0;
    }
    if (got == 0) {
      if (line.empty()) return std::nullopt;
      break;
    }
    if (c == '\n') {
      ended = true;
      break;
    }
    // One byte for a CR that a CR LF line end may still drop.
    if (line.size() > limit) return std::nullopt;
    line.push_back(c);
  }
  // The console does not echo the line end either while echo is off.
  if (terminal && ended) WriteAll(::GetStdHandle(STD_ERROR_HANDLE), "\r\n");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > limit) return std::nullopt;
  return line;
}

}  // namespace faxmail::platform
