#include "platform/service_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/registry_lock.h"
#include "platform/service_control.h"
#include "platform/win_error.h"

namespace faxmail::platform::scm {
namespace {

using registry::UniqueFd;

// getpwnam_r's buffer; passwd entries are a few hundred bytes.
constexpr std::size_t kPasswdBufferSize = 16 * 1024;
// Supplementary groups of one account that we carry over.
constexpr int kMaxGroups = 256;
// The child reports within moments (it only sets up and execs); this bounds a stuck one.
constexpr int kLaunchReportTimeoutMs = 10000;

// What the children write into the launch pipe: a tag and a number.
struct LaunchRecord {
  char tag;  // 'P' the grandchild's pid, 'E' its exec's errno, 'F' the fork's errno
  int value;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool SameAccountName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool FillFromPasswd(const passwd& pw, ServiceAccount& out) {
  out.uid = pw.pw_uid;
  out.gid = pw.pw_gid;
  out.user = pw.pw_name ? pw.pw_name : "";
  out.home = pw.pw_dir ? pw.pw_dir : "/";
  return true;
}

bool LookUpUid(uid_t uid, ServiceAccount& out) {
  std::vector<char> buffer(kPasswdBufferSize);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || !found) {
    out.uid = uid;
    out.gid = ::getegid();
    out.user = std::to_string(uid);
    out.home.assign(1, '/');
    return true;
  }
  return FillFromPasswd(pw, out);
}

void WriteRecord(int fd, char tag, int value) {
  const LaunchRecord record{tag, value};
  [[maybe_unused]] const ssize_t n = ::write(fd, &record, sizeof record);
}

// Runs in the grandchild: only async-signal-safe calls from here to the exec.
[[noreturn]] void ExecService(const LaunchSpec& spec, int reportFd, char* const* argv,
                              char* const* envp, const gid_t* groups, std::size_t groupCount) {
  WriteRecord(reportFd, 'P', static_cast<int>(::getpid()));
  ::setsid();
  sigset_t all;
  ::sigemptyset(&all);
  ::sigprocmask(SIG_SETMASK, &all, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);

  const int null = ::open("/dev/null", O_RDWR);
  if (null < 0) {
    WriteRecord(reportFd, 'E', errno);
    ::_exit(127);
  }
  ::dup2(null, 0);
  ::dup2(null, 1);
  ::dup2(null, 2);
  std::array<int, 3> keep = {spec.lockFd, spec.channelFd, reportFd};
  std::sort(keep.begin(), keep.end());
  unsigned next = 3;
  for (int fd : keep) {
    if (static_cast<unsigned>(fd) > next) ::close_range(next, static_cast<unsigned>(fd) - 1, 0);
    next = static_cast<unsigned>(fd) + 1;
  }
  ::close_range(next, ~0U, 0);
  ::fcntl(spec.lockFd, F_SETFD, 0);
  ::fcntl(spec.channelFd, F_SETFD, 0);

  if (spec.account.switchUser) {
    if (::setgroups(groupCount, groups) != 0 || ::setgid(spec.account.gid) != 0 ||
        ::setuid(spec.account.uid) != 0) {
      WriteRecord(reportFd, 'E', errno);
      ::_exit(127);
    }
  }
  if (::chdir("/") != 0) {
    // The program still runs; its folder is simply the starter's.
  }
  ::execve(spec.program.c_str(), argv, envp);
  WriteRecord(reportFd, 'E', errno);
  ::_exit(127);
}

}  // namespace

std::string ExpandEnvironmentStrings(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '%') {
      const std::size_t end = text.find('%', i + 1);
      if (end != std::string_view::npos && end > i + 1) {
        const std::string name(text.substr(i + 1, end - i - 1));
        if (const char* value = std::getenv(name.c_str())) {
          out += value;
          i = end + 1;
          continue;
        }
      }
    }
    out += text[i++];
  }
  return out;
}

ImageCommand ParseImagePath(std::string_view imagePath) {
  ImageCommand command;
  while (!imagePath.empty() && IsBlank(imagePath.front())) imagePath.remove_prefix(1);
  while (!imagePath.empty() && IsBlank(imagePath.back())) imagePath.remove_suffix(1);
  std::string_view rest;
  if (!imagePath.empty() && imagePath.front() == '"') {
    const std::size_t end = imagePath.find('"', 1);
    if (end == std::string_view::npos) {
      command.program = std::string(imagePath.substr(1));
    } else {
      command.program = std::string(imagePath.substr(1, end - 1));
      rest = imagePath.substr(end + 1);
    }
  } else {
    struct stat st {};
    const std::string whole(imagePath);
    if (::stat(whole.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      command.program = whole;
    } else {
      std::size_t end = 0;
      while (end < imagePath.size() && !IsBlank(imagePath[end])) ++end;
      command.program = std::string(imagePath.substr(0, end));
      rest = imagePath.substr(end);
    }
  }
  std::size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && IsBlank(rest[i])) ++i;
    const std::size_t start = i;
    while (i < rest.size() && !IsBlank(rest[i])) ++i;
    if (i > start) command.args.emplace_back(rest.substr(start, i - start));
  }
  return command;
}

long ResolveAccount(std::string_view objectName, ServiceAccount& out) {
  out = ServiceAccount{};
  if (objectName.size() > 2 && objectName[0] == '.' && objectName[1] == '\\')
    objectName.remove_prefix(2);
  const uid_t self = ::geteuid();
  if (objectName.empty() || SameAccountName(objectName, kLocalSystemAccount)) {
    LookUpUid(self, out);  // root, or a caller that is not root runs it as itself
    return kErrorSuccess;
  }
  const std::string name(objectName);
  std::vector<char> buffer(kPasswdBufferSize);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found)
    return kErrorServiceLogonFailed;
  FillFromPasswd(pw, out);
  if (pw.pw_uid == self) return kErrorSuccess;
  if (self != 0) return kErrorServiceLogonFailed;  // only root may become someone else
  out.switchUser = true;
  std::vector<gid_t> groups(kMaxGroups);
  int count = kMaxGroups;
  if (::getgrouplist(name.c_str(), pw.pw_gid, groups.data(), &count) < 0) count = 0;
  for (int i = 0; i < count; ++i) out.groups.push_back(groups[static_cast<std::size_t>(i)]);
  if (out.groups.empty()) out.groups.push_back(pw.pw_gid);
  return kErrorSuccess;
}

long LaunchDetached(const LaunchSpec& input, long& pid) {
  pid = 0;
  // The two descriptors go above the standard streams, which the child points at /dev/null.
  UniqueFd lock(::fcntl(input.lockFd, F_DUPFD_CLOEXEC, 3));
  UniqueFd channel(::fcntl(input.channelFd, F_DUPFD_CLOEXEC, 3));
  if (!lock.IsOpen() || !channel.IsOpen()) return ErrorFromErrno(errno);
  LaunchSpec spec = input;
  spec.lockFd = lock.Get();
  spec.channelFd = channel.Get();
  spec.env.push_back(std::string(kChannelFdVariable) + "=" + std::to_string(spec.channelFd));
  spec.env.push_back(std::string(kLockFdVariable) + "=" + std::to_string(spec.lockFd));

  std::vector<char*> argv;
  for (std::string& arg : spec.argv) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : spec.env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<gid_t> groups(spec.account.groups.begin(), spec.account.groups.end());

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return ErrorFromErrno(errno);
  UniqueFd reportRead(fds[0]);
  UniqueFd reportWrite(fds[1]);

  const pid_t child = ::fork();
  if (child < 0) return ErrorFromErrno(errno);
  if (child == 0) {
    const pid_t grandchild = ::fork();
    if (grandchild < 0) WriteRecord(reportWrite.Get(), 'F', errno);
    if (grandchild == 0)
      ExecService(spec, reportWrite.Get(), argv.data(), envp.data(), groups.data(), groups.size());
    ::_exit(0);
  }
  reportWrite.Reset();
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }

  long result = kErrorSuccess;
  LaunchRecord record{};
  std::size_t have = 0;
  for (;;) {
    pollfd p{reportRead.Get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, kLaunchReportTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;  // a child that neither execs nor fails: the caller's time-out ends it
    const ssize_t n =
        ::read(reportRead.Get(), reinterpret_cast<char*>(&record) + have, sizeof record - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
    if (have < sizeof record) continue;
    have = 0;
    if (record.tag == 'P') pid = record.value;
    if (record.tag == 'E' || record.tag == 'F') result = ErrorFromErrno(record.value);
  }
  if (result == kErrorSuccess && pid == 0) result = kErrorNotEnoughMemory;
  return result;
}

void KillServiceProcess(long pid) {
  if (pid <= 0) return;
  ::kill(static_cast<pid_t>(-pid), SIGKILL);
  ::kill(static_cast<pid_t>(pid), SIGKILL);
}

}  // namespace faxmail::platform::scm
