#include "platform/process.h"

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace faxmail::platform {

std::optional<std::string> GetEnv(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

void SleepMs(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void ShowMessageBox(const std::string& text, const std::string& caption) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
}

std::string ModulePath() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  return std::string(path, static_cast<std::size_t>(n));
}

std::string FaxmailRoot() {
  if (auto root = GetEnv("FAXMAIL_ROOT"); root && !root->empty()) return *root;
  return "/var/lib/faxmail";
}

bool EnsureDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::string partial;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

long ProcessId() { return static_cast<long>(::getpid()); }

void KeepFreedMemoryForReuse() {
  // Each thread's heap gives back only free memory at its top beyond the threshold.
  ::mallopt(M_TRIM_THRESHOLD, static_cast<int>(kKeptFreeBytes));
}

void QuickExit(int code) { std::quick_exit(code); }

}  // namespace faxmail::platform
