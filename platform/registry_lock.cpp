#include "platform/registry_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

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

long HiveLock::Acquire(const std::string& path, bool exclusive) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0 && !exclusive && (errno == EACCES || errno == EROFS || errno == EPERM))
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return exclusive ? ErrorFromErrno(errno) : kErrorSuccess;
  m_fd = UniqueFd(fd);
  while (::flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
    if (errno != EINTR) return ErrorFromErrno(errno);
  }
  return kErrorSuccess;
}

std::uint64_t HiveLock::Generation() const {
  if (!m_fd.IsOpen()) return 0;
  unsigned char bytes[8] = {};
  if (::pread(m_fd.Get(), bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return 0;
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

long HiveLock::SetGeneration(std::uint64_t value) {
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  const ssize_t n = ::pwrite(m_fd.Get(), bytes, sizeof bytes, 0);
  if (n < 0) return ErrorFromErrno(errno);
  return n == static_cast<ssize_t>(sizeof bytes) ? kErrorSuccess : kErrorWriteFault;
}

}  // namespace faxmail::platform::registry
