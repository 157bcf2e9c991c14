#include "platform/service_runtime.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>

#include "platform/process.h"
#include "platform/win_error.h"

namespace faxmail::platform::scm {
namespace {

// A lock probe can meet another probe's momentary shared lock; this many tries tell a probe
// from a live process.
constexpr int kLifeLockTries = 50;
constexpr std::uint32_t kLifeLockRetryMs = 2;

long ReadBounded(const std::string& path, std::size_t limit, std::string& out) {
  out.clear();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.IsOpen()) return ErrorFromErrno(errno);
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return ErrorFromErrno(errno);
  if (!S_ISREG(st.st_mode)) return kErrorCantAccessFile;
  if (static_cast<std::uint64_t>(st.st_size) > limit) return kErrorBadDb;
  char buffer[4096];
  while (out.size() <= limit) {
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrorFromErrno(errno);
    }
    if (n == 0) return kErrorSuccess;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return kErrorBadDb;  // grew while being read beyond what a writer of ours leaves
}

long WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrorFromErrno(errno);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return kErrorSuccess;
}

// Writes a file whole under a temporary name and renames it over path.
long ReplaceFile(const std::string& path, std::string_view data) {
  static std::atomic<unsigned> counter{0};
  const std::string temp = path + "." + std::to_string(ProcessId()) + "." +
                           std::to_string(counter.fetch_add(1)) + ".tmp";
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd.IsOpen()) return ErrorFromErrno(errno);
  long rc = WriteAll(fd.Get(), data);
  if (rc == kErrorSuccess) {
    const int err = fd.Close();
    if (err != 0) rc = ErrorFromErrno(err);
  }
  if (rc == kErrorSuccess && ::rename(temp.c_str(), path.c_str()) != 0) rc = ErrorFromErrno(errno);
  if (rc != kErrorSuccess) ::unlink(temp.c_str());
  return rc;
}

bool ParseNumber(std::string_view& text, std::uint64_t& out) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  if (ec != std::errc()) return false;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return true;
}

}  // namespace

std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

bool SameName(std::string_view a, std::string_view b) { return FoldName(a) == FoldName(b); }

std::string ServiceId(std::string_view name) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (char c : FoldName(name)) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

ServiceFiles::ServiceFiles(std::string_view name)
    : m_folder(ServiceRuntimeFolder() + ServiceId(name)) {}

long ServiceFiles::Ensure() const {
  if (!EnsureDirectories(m_folder)) return kErrorAccessDenied;
  if (ChannelPath().size() > kMaxUnixSocketPath) return kErrorInvalidName;
  return kErrorSuccess;
}

void ServiceFiles::RemoveAll() const {
  for (const std::string& path :
       {ChannelPath(), StatusPath(), ReportsPath(), LockPath(), StartLockPath()}) {
    ::unlink(path.c_str());
  }
  ::rmdir(m_folder.c_str());  // fails, harmlessly, when something else was left there
}

bool IsProcessAlive(const ServiceFiles& files) {
  UniqueFd fd(::open(files.LockPath().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.IsOpen()) return false;
  while (::flock(fd.Get(), LOCK_SH | LOCK_NB) != 0) {
    if (errno != EINTR) return errno == EWOULDBLOCK;
  }
  return false;
}

long AcquireLifeLock(const ServiceFiles& files, UniqueFd& out) {
  UniqueFd fd(::open(files.LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd.IsOpen()) return ErrorFromErrno(errno);
  for (int attempt = 0; attempt < kLifeLockTries; ++attempt) {
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) {
      out = std::move(fd);
      return kErrorSuccess;
    }
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return ErrorFromErrno(errno);
    if (IsProcessAlive(files)) return kErrorServiceAlreadyRunning;
    SleepMs(kLifeLockRetryMs);
  }
  return kErrorServiceAlreadyRunning;
}

long AcquireStartLock(const ServiceFiles& files, UniqueFd& out) {
  UniqueFd fd(
      ::open(files.StartLockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd.IsOpen()) return ErrorFromErrno(errno);
  while (::flock(fd.Get(), LOCK_EX) != 0) {
    if (errno != EINTR) return ErrorFromErrno(errno);
  }
  out = std::move(fd);
  return kErrorSuccess;
}

bool TryStartLock(const ServiceFiles& files, UniqueFd& out) {
  UniqueFd fd(
      ::open(files.StartLockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd.IsOpen()) return false;
  while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  out = std::move(fd);
  return true;
}

std::string FormatStatus(const ServiceStatus& s) {
  char line[kMaxStatusLine];
  std::snprintf(line, sizeof line, "%u %u %u %u %u %u %ld\n", s.currentState, s.controlsAccepted,
                s.win32ExitCode, s.serviceSpecificExitCode, s.checkPoint, s.waitHint, s.processId);
  return line;
}

std::optional<ServiceStatus> ParseStatus(std::string_view line) {
  if (line.size() > kMaxStatusLine) return std::nullopt;
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  std::uint64_t fields[7];
  for (std::uint64_t& field : fields) {
    if (!ParseNumber(line, field) || field > 0xffffffffULL) return std::nullopt;
  }
  if (!line.empty()) return std::nullopt;
  if (fields[0] < kServiceStopped || fields[0] > kServicePaused) return std::nullopt;
  if (fields[6] > 0x7fffffffULL) return std::nullopt;
  ServiceStatus status;
  status.currentState = static_cast<std::uint32_t>(fields[0]);
  status.controlsAccepted = static_cast<std::uint32_t>(fields[1]);
  status.win32ExitCode = static_cast<std::uint32_t>(fields[2]);
  status.serviceSpecificExitCode = static_cast<std::uint32_t>(fields[3]);
  status.checkPoint = static_cast<std::uint32_t>(fields[4]);
  status.waitHint = static_cast<std::uint32_t>(fields[5]);
  status.processId = static_cast<long>(fields[6]);
  return status;
}

std::optional<ServiceStatus> ReadStatus(const ServiceFiles& files) {
  std::string text;
  if (ReadBounded(files.StatusPath(), kMaxStatusLine, text) != kErrorSuccess) return std::nullopt;
  if (text.empty() || text.back() != '\n' || text.find('\n') != text.size() - 1)
    return std::nullopt;
  return ParseStatus(text);
}

long WriteStatus(const ServiceFiles& files, const ServiceStatus& status) {
  return ReplaceFile(files.StatusPath(), FormatStatus(status));
}

long ResetReports(const ServiceFiles& files) { return ReplaceFile(files.ReportsPath(), {}); }

long AppendReport(const ServiceFiles& files, const ServiceStatus& status, std::size_t& count) {
  const std::string line = FormatStatus(status);
  if (count >= kMaxStatusReportsKept) {
    std::vector<ServiceStatus> kept;
    ReadReports(files, kept);
    const std::size_t drop =
        kept.size() + 1 > kMaxStatusReportsKept ? kept.size() + 1 - kMaxStatusReportsKept : 0;
    std::string text;
    for (std::size_t i = drop; i < kept.size(); ++i) text += FormatStatus(kept[i]);
    text += line;
    count = kept.size() - drop + 1;
    return ReplaceFile(files.ReportsPath(), text);
  }
  UniqueFd fd(::open(files.ReportsPath().c_str(),
                     O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd.IsOpen()) return ErrorFromErrno(errno);
  const long rc = WriteAll(fd.Get(), line);
  if (rc == kErrorSuccess) ++count;
  return rc;
}

long ReadReports(const ServiceFiles& files, std::vector<ServiceStatus>& out) {
  out.clear();
  std::string text;
  const long rc = ReadBounded(files.ReportsPath(), kMaxReportsFileBytes, text);
  if (rc == kErrorFileNotFound) return kErrorSuccess;  // never started: no reports
  if (rc != kErrorSuccess) return rc;
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) break;  // a line being written, or a damaged tail
    if (auto status = ParseStatus(rest.substr(0, end))) out.push_back(*status);
    rest.remove_prefix(end + 1);
  }
  if (out.size() > kMaxStatusReportsKept)
    out.erase(out.begin(), out.end() - static_cast<std::ptrdiff_t>(kMaxStatusReportsKept));
  return kErrorSuccess;
}

long GiveToAccount(const ServiceFiles& files, std::uint32_t uid, std::uint32_t gid) {
  for (const std::string& path : {files.Folder(), files.ReportsPath()}) {
    if (::chown(path.c_str(), uid, gid) != 0) return ErrorFromErrno(errno);
  }
  return kErrorSuccess;
}

void SetCloseOnExec(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace faxmail::platform::scm
