#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/win_error.h"

namespace faxmail::platform {
namespace {

// One end of a pipe, closed when let go.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return m_fd; }
  void Reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};

long Fail(long error) {
  SetLastError(error);
  return error;
}

// Reaps pid, killing its group first when it is still running.
void KillAndReap(pid_t pid) {
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

long ErrorOfExec(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR: return kErrorFileNotFound;
    case EACCES:
    case EPERM: return kErrorAccessDenied;
    case ENOEXEC: return kErrorBadExeFormat;
    default: return kErrorCantAccessFile;
  }
}

// How long a reap waits between looks at a child that closed its output but lives on.
constexpr auto kReapStep = std::chrono::milliseconds(10);

}  // namespace

long RunChild(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
              std::size_t maxOutput, ChildResult& out) {
  out = ChildResult{};
  if (argv.empty() || argv[0].empty()) return Fail(kErrorInvalidParameter);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  int output[2];
  int status[2];
  if (::pipe2(output, O_CLOEXEC) != 0) return Fail(kErrorTooManyOpenFiles);
  Fd outRead(output[0]);
  Fd outWrite(output[1]);
  if (::pipe2(status, O_CLOEXEC) != 0) return Fail(kErrorTooManyOpenFiles);
  Fd statusRead(status[0]);
  Fd statusWrite(status[1]);
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (devNull < 0) return Fail(kErrorCantAccessFile);
  Fd input(devNull);

  const pid_t pid = ::fork();
  if (pid < 0) return Fail(kErrorNotEnoughMemory);
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    ::setpgid(0, 0);
    ::dup2(input.Get(), 0);
    ::dup2(outWrite.Get(), 1);
    ::dup2(outWrite.Get(), 2);
    ::signal(SIGPIPE, SIG_DFL);
    ::execvp(args[0], args.data());
    const int err = errno;
    [[maybe_unused]] const ssize_t put = ::write(statusWrite.Get(), &err, sizeof err);
    ::_exit(127);  // the shell's status for a command that could not run
  }
  ::setpgid(pid, pid);  // also here, so that a kill before the child ran reaches its group
  outWrite.Reset();
  statusWrite.Reset();
  input.Reset();

  int execError = 0;
  ssize_t got = 0;
  do {
    got = ::read(statusRead.Get(), &execError, sizeof execError);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof execError)) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return Fail(ErrorOfExec(execError));
  }

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto remaining = [&] {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? left : std::chrono::milliseconds(0);
  };
  char buffer[4096];  // one pipe's worth of output per read
  for (;;) {
    const auto left = remaining();
    if (left.count() == 0) {
      KillAndReap(pid);
      out.timedOut = true;
      return kErrorSuccess;
    }
    pollfd watch{outRead.Get(), POLLIN, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;  // the deadline check above ends it
    const ssize_t n = ::read(outRead.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const std::size_t room = maxOutput - std::min(maxOutput, out.output.size());
    out.output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
  }
  // Output closed: the child is ending, or has handed its output away and lives on.
  for (;;) {
    int exitStatus = 0;
    const pid_t done = ::waitpid(pid, &exitStatus, WNOHANG);
    if (done == pid) {
      ::kill(-pid, SIGKILL);  // whatever it left running in its group
      out.exited = WIFEXITED(exitStatus);
      out.exitCode = out.exited ? WEXITSTATUS(exitStatus) : -1;
      return kErrorSuccess;
    }
    if (done < 0 && errno != EINTR) return Fail(kErrorInvalidHandle);
    if (remaining().count() == 0) {
      KillAndReap(pid);
      out.timedOut = true;
      return kErrorSuccess;
    }
    ::usleep(static_cast<useconds_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(kReapStep).count()));
  }
}

}  // namespace faxmail::platform
