#include "platform/registry_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/process.h"
#include "platform/win_error.h"

namespace faxmail::platform::registry {

UniqueFd::UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Reset();
    m_fd = std::exchange(other.m_fd, -1);
  }
  return *this;
}

void UniqueFd::Reset() noexcept {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

int UniqueFd::Close() noexcept {
  const int rc = ::close(std::exchange(m_fd, -1));
  return rc == 0 ? 0 : errno;
}

namespace {

// Lock files found replaced after their lock was taken, one after another, before an operation
// gives up: each attempt waits for a lock, and a path replaced every time is being fought over.
constexpr int kMaxLockAttempts = 16;

// Opens the lock file, creating it when it can; for a read, read-only where it cannot
// be written. Returns false when it cannot be opened (errno says why).
bool OpenLockFile(UniqueFd& fd, bool& writable, const std::string& path, bool exclusive) {
  writable = true;
  fd = UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd.IsOpen() && !exclusive && (errno == EACCES || errno == EROFS || errno == EPERM)) {
    writable = false;
    fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  }
  return fd.IsOpen();
}

}  // namespace

HiveLock::~HiveLock() {
  if (m_fd >= 0) ::flock(m_fd, LOCK_UN);
}

long HiveLock::Acquire(LockFile& file, const std::string& path, bool exclusive) {
  for (int attempt = 0; attempt < kMaxLockAttempts; ++attempt) {
    if (file.m_fd.IsOpen() &&
        (file.m_path != path || file.m_pid != ProcessId() || (exclusive && !file.m_writable))) {
      file.m_watch.reset();
      file.m_fd.Reset();  // in a child, closing its copy leaves the parent's lock as it is
    }
    if (!file.m_fd.IsOpen()) {
      UniqueFd fd;
      bool writable = false;
      if (!OpenLockFile(fd, writable, path, exclusive))
        return exclusive ? ErrorFromErrno(errno) : kErrorSuccess;
      struct stat st {};
      if (::fstat(fd.Get(), &st) != 0) return ErrorFromErrno(errno);
      file.m_fd = std::move(fd);
      file.m_watch.reset();
      file.m_watchTried = false;
      file.m_path = path;
      file.m_writable = writable;
      file.m_dev = st.st_dev;
      file.m_ino = st.st_ino;
      file.m_pid = ProcessId();
    }
    const int fd = file.m_fd.Get();
    while (::flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
      if (errno != EINTR) return ErrorFromErrno(errno);
    }
    // Still the file at the path: whoever opens the path now locks this one. A watch that has
    // noticed nothing since it was set tells so without a look at the path.
    if (file.m_watch && !file.m_watch->Noticed()) {
      m_fd = fd;
      return kErrorSuccess;
    }
    if (file.m_watch) {
      file.m_watch.reset();  // something happened: looked at, then watched afresh
      file.m_watchTried = false;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_dev) == file.m_dev &&
        static_cast<std::uint64_t>(st.st_ino) == file.m_ino) {
      if (!file.m_watchTried) {
        file.m_watchTried = true;
        file.m_watch = NameWatch::SetOnOpenFile(path, fd, NameWatch::Data::kIgnored);
      }
      m_fd = fd;
      return kErrorSuccess;
    }
    // Removed or replaced since it was opened: its lock excludes nobody.
    ::flock(fd, LOCK_UN);
    file.m_watch.reset();
    file.m_fd.Reset();
  }
  return kErrorSharingViolation;
}

namespace {

// The counter in the lock file's first 8 bytes (0 for a shorter file or a failed read).
std::uint64_t ReadGeneration(int fd) {
  unsigned char bytes[8] = {};
  if (::pread(fd, bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return 0;
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

std::optional<std::uint64_t> LockFile::PeekGeneration(const std::string& path) const {
  if (!m_fd.IsOpen() || m_path != path || m_pid != ProcessId() || !m_watch || m_watch->Noticed())
    return std::nullopt;
  return ReadGeneration(m_fd.Get());
}

std::uint64_t HiveLock::Generation() const { return m_fd < 0 ? 0 : ReadGeneration(m_fd); }

long HiveLock::SetGeneration(std::uint64_t value) {
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  const ssize_t n = ::pwrite(m_fd, bytes, sizeof bytes, 0);
  if (n < 0) return ErrorFromErrno(errno);
  return n == static_cast<ssize_t>(sizeof bytes) ? kErrorSuccess : kErrorWriteFault;
}

}  // namespace faxmail::platform::registry
