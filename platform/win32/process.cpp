#include "platform/process.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/win32/windows_api.h"

namespace faxmail::platform {

std::optional<std::string> GetEnv(const char* name) {
  // The size asked for first, then the value; a value changed between the two is read again.
  for (;;) {
    const DWORD needed = ::GetEnvironmentVariableA(name, nullptr, 0);
    if (needed == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    std::vector<char> value(needed);
    const DWORD n = ::GetEnvironmentVariableA(name, value.data(), needed);
    if (n < needed) return std::string(value.data(), n);
  }
}

std::string HostName() {
  char name[256] = {};
  DWORD size = sizeof name - 1;
  if (!::GetComputerNameExA(ComputerNameDnsHostname, name, &size) || name[0] == '\0')
    return "localhost";
  return std::string(name, size);
}

void SleepMs(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

namespace {

// Whether the process may show a window someone can see: a service's window station is not
// visible, and a box there would wait for a click that never comes.
bool HasVisibleDesktop() {
  const HWINSTA station = ::GetProcessWindowStation();
  if (!station) return false;
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (!::GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return false;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

bool HasStandardError() {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  return error != nullptr && error != INVALID_HANDLE_VALUE &&
         ::GetFileType(error) != FILE_TYPE_UNKNOWN;
}

}  // namespace

void ShowMessageBox(const std::string& text, const std::string& caption) {
  // A program run from a console (the gateway's console mode, the tools) tells its operator
  // there, as on the other backend; only a program without one puts a box on the desktop.
  if (HasStandardError() || !HasVisibleDesktop()) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    return;
  }
  ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION);
}

std::string ModulePath() {
  // Paths longer than MAX_PATH exist; the buffer grows until the name fits.
  std::vector<char> path(MAX_PATH);
  for (int tries = 0; tries < 6; ++tries) {
    const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) return std::string(path.data(), n);
    path.resize(path.size() * 4);
  }
  return {};
}

std::string FaxmailRoot() {
  if (auto root = GetEnv("FAXMAIL_ROOT"); root && !root->empty()) return *root;
  const auto data = GetEnv("ProgramData");
  return (data && !data->empty() ? *data : std::string("C:\\ProgramData")) + "\\faxmail";
}

bool EnsureDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::size_t pos = 0;
  // A drive ("C:") or a share's root ("\\server\share") is not created.
  if (path.size() >= 2 && path[1] == ':') pos = 2;
  while (pos != std::string::npos) {
    pos = path.find_first_of("\\/", pos + 1);
    const std::string partial = path.substr(0, pos);
    if (partial.empty() || (partial.size() == 2 && partial[1] == ':')) continue;
    if (!::CreateDirectoryA(partial.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
      return false;
  }
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

long ProcessId() { return static_cast<long>(::GetCurrentProcessId()); }

// The process heap keeps freed blocks for reuse by itself.
void KeepFreedMemoryForReuse() {}

// The runtime library here has no quick_exit; the system's own end of the process is the same.
void QuickExit(int code) { ::ExitProcess(static_cast<UINT>(code)); }

}  // namespace faxmail::platform
