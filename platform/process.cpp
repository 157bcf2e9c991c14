#include "platform/process.h"

#include <malloc.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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

namespace {

// glibc asks the kernel for the number on every call, and the hive's lock asks for it on every
// operation (to notice a fork). It is kept here once known; a forked child forgets the
// parent's before it runs anything else.
std::atomic<long> g_processId{0};

extern "C" void ForgetProcessIdInChild() { g_processId.store(0, std::memory_order_relaxed); }

}  // namespace

long ProcessId() {
  const long known = g_processId.load(std::memory_order_relaxed);
  if (known != 0) return known;
  // Without the fork handler (no memory for it) nothing is kept: every call asks again.
  static const bool forkHandled = ::pthread_atfork(nullptr, nullptr, ForgetProcessIdInChild) == 0;
  const long id = static_cast<long>(::getpid());
  if (forkHandled) g_processId.store(id, std::memory_order_relaxed);
  return id;
}

void KeepFreedMemoryForReuse() {
  // Each thread's heap gives back only free memory at its top beyond the threshold.
  ::mallopt(M_TRIM_THRESHOLD, static_cast<int>(kKeptFreeBytes));
}

void QuickExit(int code) { std::quick_exit(code); }

}  // namespace faxmail::platform
