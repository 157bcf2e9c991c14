#include "platform/dir_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/win_error.h"

namespace faxmail::platform {
namespace {

// Room for many notices per read: each is a header and a name of at most NAME_MAX bytes.
constexpr std::size_t kNoticeBuffer = 64 * (sizeof(inotify_event) + NAME_MAX + 1);

}  // namespace

void DirectoryWatch::Close() noexcept {
  if (m_notify >= 0) ::close(m_notify);
  if (m_interrupt >= 0) ::close(m_interrupt);
  m_notify = m_interrupt = -1;
}

long DirectoryWatch::Open(const std::string& folder, DirectoryWatch& out, Events events) {
  DirectoryWatch watch;
  struct stat before {};
  if (::stat(folder.c_str(), &before) != 0) return SetLastErrorFromErrno();
  watch.m_notify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch.m_notify < 0) return SetLastErrorFromErrno();
  watch.m_interrupt = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (watch.m_interrupt < 0) return SetLastErrorFromErrno();
  const std::uint32_t mask = events == Events::Names
                                 ? IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                       IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR
                                 : IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR;
  if (::inotify_add_watch(watch.m_notify, folder.c_str(), mask) < 0) {
    const int err = errno;
    // No watches left is the system's limit on handles of this kind.
    if (err == ENOSPC) {
      SetLastError(kErrorTooManyOpenFiles);
      return kErrorTooManyOpenFiles;
    }
    SetLastError(ErrorFromErrno(err));
    return ErrorFromErrno(err);
  }
  // The folder the path named before the watch began must be the one watched: one replaced in
  // between would be watched under the wrong identity.
  struct stat after {};
  if (::stat(folder.c_str(), &after) != 0) return SetLastErrorFromErrno();
  if (after.st_dev != before.st_dev || after.st_ino != before.st_ino) {
    SetLastError(kErrorPathNotFound);
    return kErrorPathNotFound;
  }
  watch.m_device = static_cast<std::uint64_t>(after.st_dev);
  watch.m_inode = static_cast<std::uint64_t>(after.st_ino);
  out = std::move(watch);
  return 0;
}

DirectoryWatch::Woken DirectoryWatch::Wait(std::chrono::milliseconds timeout,
                                           const std::function<bool(std::string_view)>& wanted,
                                           std::vector<std::string>* arrived) {
  if (!IsOpen()) return Woken::Timeout;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  alignas(inotify_event) char buffer[kNoticeBuffer];
  std::size_t names = 0;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Woken::Timeout;
    pollfd fds[2] = {{m_notify, POLLIN, 0}, {m_interrupt, POLLIN, 0}};
    const int ready =
        ::poll(fds, 2, static_cast<int>(std::min<std::int64_t>(left.count(), INT32_MAX)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Woken::Timeout;
    }
    if (ready == 0) return Woken::Timeout;
    if (fds[1].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = ::read(m_interrupt, &count, sizeof count);
      return Woken::Interrupted;
    }
    if (!(fds[0].revents & POLLIN)) continue;
    bool arrival = false;
    for (;;) {
      const ssize_t length = ::read(m_notify, buffer, sizeof buffer);
      if (length <= 0) break;
      std::size_t offset = 0;
      while (static_cast<std::size_t>(length) - offset >= sizeof(inotify_event)) {
        inotify_event header;
        std::memcpy(&header, buffer + offset, sizeof header);
        const std::size_t size = sizeof(inotify_event) + header.len;
        if (static_cast<std::size_t>(length) - offset < size) break;
        if (header.mask & IN_Q_OVERFLOW) return Woken::Overflow;
        if (header.len > 0) {
          const char* name = buffer + offset + sizeof(inotify_event);
          const std::string_view text(name, ::strnlen(name, header.len));
          if (wanted(text)) {
            arrival = true;
            if (++names > kMaxArrivedNames) return Woken::Overflow;
            if (arrived && (header.mask & (IN_CREATE | IN_MOVED_TO))) arrived->emplace_back(text);
          }
        }
        offset += size;
      }
    }
    if (arrival) return Woken::Arrival;
  }
}

void DirectoryWatch::Interrupt() {
  if (m_interrupt < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t put = ::write(m_interrupt, &one, sizeof one);
}

DirectoryWatch::Drained DirectoryWatch::DrainNames(std::vector<NameChange>& changes) {
  if (!IsOpen() || m_lost) return Drained::Lost;
  alignas(inotify_event) char buffer[kNoticeBuffer];
  for (;;) {
    const ssize_t length = ::read(m_notify, buffer, sizeof buffer);
    if (length < 0) {
      if (errno == EINTR) continue;
      // Nothing queued: every change made before this call has been read.
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Drained::Complete;
      m_lost = true;
      return Drained::Lost;
    }
    if (length == 0) {
      m_lost = true;
      return Drained::Lost;
    }
    std::size_t offset = 0;
    while (static_cast<std::size_t>(length) - offset >= sizeof(inotify_event)) {
      inotify_event header;
      std::memcpy(&header, buffer + offset, sizeof header);
      const std::size_t size = sizeof(inotify_event) + header.len;
      if (static_cast<std::size_t>(length) - offset < size) break;
      offset += size;
      // Lost notices, or a watch that no longer sees the folder's names.
      if (header.mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_UNMOUNT | IN_DELETE_SELF | IN_MOVE_SELF)) {
        m_lost = true;
        return Drained::Lost;
      }
      if (header.len == 0) continue;
      const char* name = buffer + offset - header.len;
      NameChange change;
      change.name.assign(name, ::strnlen(name, header.len));
      change.added = (header.mask & (IN_CREATE | IN_MOVED_TO)) != 0;
      change.isDirectory = (header.mask & IN_ISDIR) != 0;
      if (header.mask & (IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM))
        changes.push_back(std::move(change));
    }
  }
}

bool DirectoryWatch::Watches(const std::string& folder) const {
  struct stat st {};
  return IsOpen() && !m_lost && ::stat(folder.c_str(), &st) == 0 &&
         static_cast<std::uint64_t>(st.st_dev) == m_device &&
         static_cast<std::uint64_t>(st.st_ino) == m_inode;
}

}  // namespace faxmail::platform
