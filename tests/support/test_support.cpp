#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace faxmail::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/faxmail-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
  m_path = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

void RootTest::SetUp() {
  m_root = std::make_unique<TempDir>();
  ::setenv("FAXMAIL_ROOT", m_root->Path().c_str(), 1);
}

void RootTest::TearDown() {
  ::unsetenv("FAXMAIL_ROOT");
  m_root.reset();
}

void SetEnv(const std::string& name, const std::optional<std::string>& value) {
  if (value)
    ::setenv(name.c_str(), value->c_str(), 1);
  else
    ::unsetenv(name.c_str());
}

bool SetModifiedTime(const std::string& path, std::chrono::system_clock::time_point when) {
  const auto since = when.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
  timespec times[2] = {};
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds.count());
  times[1].tv_nsec = static_cast<long>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

namespace {

// Test servers listen below the kernel's ephemeral range (32768 and up by default), so the
// outgoing connections of other tests running at once (smtp-source opens thousands) cannot
// take a port while its server is down between a kill and a restart.
constexpr std::uint16_t kTestPortFirst = 20000;
constexpr std::uint16_t kTestPortCount = 12000;
// Tests run as parallel processes: each port handed out is claimed by an flock on a file of
// its own, held until the process ends, so two processes never share one.
constexpr const char* kPortClaimFolder = "/tmp/faxmail-test-ports";

}  // namespace

bool PortBindable(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

namespace {

// The claims of this process; their descriptors stay open (and locked) until it exits.
std::vector<int>& Claims() {
  static std::vector<int> claims;
  return claims;
}

bool Claim(std::uint16_t port) {
  const std::string path = std::string(kPortClaimFolder) + "/" + std::to_string(port);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  Claims().push_back(fd);
  return true;
}

}  // namespace

std::uint16_t FreeLoopbackPort() {
  ::mkdir(kPortClaimFolder, 01777);
  ::chmod(kPortClaimFolder, 01777);
  // Each process starts at its own place, so parallel ones rarely try the same ports.
  static std::uint32_t next = static_cast<std::uint32_t>(::getpid()) * 97U;
  for (std::uint32_t tries = 0; tries < kTestPortCount; ++tries) {
    const auto port = static_cast<std::uint16_t>(kTestPortFirst + next++ % kTestPortCount);
    if (!Claim(port)) continue;
    if (PortBindable(port)) return port;
  }
  return 0;
}

int RunProgram(const std::vector<std::string>& argv, std::string* output,
               const std::vector<std::string>& env, const std::string& input) {
  int outPipe[2];
  int inPipe[2];
  if (::pipe(outPipe) != 0) return -1;
  if (::pipe(inPipe) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return -1;
  }
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::dup2(inPipe[0], 0);
    ::dup2(outPipe[1], 1);
    ::dup2(outPipe[1], 2);
    ::close(inPipe[0]);
    ::close(inPipe[1]);
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  if (!input.empty()) {
    [[maybe_unused]] auto n = ::write(inPipe[1], input.data(), input.size());
  }
  ::close(inPipe[1]);
  std::string captured;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(outPipe[0], buffer, sizeof buffer);
    if (n <= 0) break;
    captured.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(outPipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (output) *output = captured;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool UnderWine() { return false; }

std::string BuiltProgram(const std::string& relative) {
  return std::string(FAXMAIL_BINARY_DIR) + "/" + relative;
}

std::string SourceDir() { return FAXMAIL_SOURCE_DIR; }
std::string BinaryDir() { return FAXMAIL_BINARY_DIR; }

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace faxmail::test
