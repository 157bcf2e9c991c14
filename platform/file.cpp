#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/name_watch.h"
#include "platform/win_error.h"

namespace faxmail::platform {

namespace {

long Fail(long error) {
  SetLastError(error);
  return error;
}

long FailErrno() { return SetLastErrorFromErrno(); }

// ENOENT from an open names either the file or its folder; the system tells them apart.
long OpenError(const std::string& path, int err) {
  if (err == ENOENT) {
    const std::string parent = ParentFolder(path);
    struct stat st {};
    if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kErrorPathNotFound;
    return kErrorFileNotFound;
  }
  return ErrorFromErrno(err);
}

// Takes the share lock on fd without waiting; a conflicting holder is a sharing violation.
long TakeShareLock(int fd, Share share) {
  const int op = (share == Share::None ? LOCK_EX : LOCK_SH) | LOCK_NB;
  while (::flock(fd, op) != 0) {
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? kErrorSharingViolation : ErrorFromErrno(errno);
  }
  return kErrorSuccess;
}

// Whether some open file description holds the file (any lock): renames and deletes of a file
// that is open elsewhere fail as on the system they stand in for.
long CheckNotHeld(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return kErrorSuccess;  // the operation itself will report what is wrong
  // Whatever the name is, a lock on it counts: only files are locked by opens, and a look at
  // the kind first would cost every rename and delete another call.
  const long result = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK
                          ? kErrorSharingViolation
                          : kErrorSuccess;
  ::close(fd);
  return result;
}

struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

}  // namespace

void File::CloseQuietly(int id) noexcept { ::close(id); }

long File::Open(const std::string& path, Access access, Share share, Disposition disposition,
                File& out, Links links, Kind kind) {
  out = File();
  int flags = O_CLOEXEC;
  if (links == Links::DontFollow) flags |= O_NOFOLLOW;
  // Non-blocking only for the open itself: what is not a regular file is refused below.
  if (kind == Kind::RegularFile) flags |= O_NONBLOCK;
  switch (access) {
    case Access::Read: flags |= O_RDONLY; break;
    case Access::Write: flags |= O_WRONLY; break;
    case Access::ReadWrite: flags |= O_RDWR; break;
    case Access::Attributes: flags |= O_RDONLY; break;
  }
  bool truncate = false;
  switch (disposition) {
    case Disposition::CreateNew: flags |= O_CREAT | O_EXCL; break;
    case Disposition::CreateAlways:
      flags |= O_CREAT;
      truncate = true;
      break;
    case Disposition::OpenExisting: break;
    case Disposition::OpenAlways: flags |= O_CREAT; break;
    case Disposition::TruncateExisting: truncate = true; break;
  }
  if (truncate && access == Access::Read) flags = (flags & ~O_ACCMODE) | O_RDWR;
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && errno == ELOOP && links == Links::DontFollow) return Fail(kErrorStoppedOnSymlink);
  // A FIFO opened for writing without a reader.
  if (fd < 0 && errno == ENXIO && kind == Kind::RegularFile) return Fail(kErrorCantAccessFile);
  if (fd < 0) return Fail(OpenError(path, errno));
  File file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return FailErrno();
  if (kind == Kind::RegularFile) {
    if (!S_ISREG(st.st_mode)) return Fail(kErrorCantAccessFile);
    // Of the open's flags only the status ones count here, and none but O_NONBLOCK is set.
    if (::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return FailErrno();
  }
  if (S_ISDIR(st.st_mode)) return Fail(kErrorAccessDenied);
  if (const long lock = TakeShareLock(fd, share); lock != kErrorSuccess) {
    // A file created here a moment ago stays: as on the system, the loser of such a race sees
    // the name taken and the holder keeps its file.
    return Fail(lock);
  }
  // Emptied only once the lock is ours, so a file held by another side is never cut. A file
  // that is empty already is left as it is: the file system would still do a truncation's
  // work (and write the inode) for nothing.
  if (truncate && st.st_size != 0 && ::ftruncate(fd, 0) != 0) return FailErrno();
  out = std::move(file);
  return kErrorSuccess;
}

long File::Read(void* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  for (;;) {
    const ssize_t n = ::read(m_fd, buffer, size);
    if (n >= 0) {
      got = static_cast<std::size_t>(n);
      return kErrorSuccess;
    }
    if (errno != EINTR) return Fail(errno == EIO ? kErrorReadFault : ErrorFromErrno(errno));
  }
}

long File::Write(const void* buffer, std::size_t size) {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  const char* p = static_cast<const char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::write(m_fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FailErrno();
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return kErrorSuccess;
}

long File::Seek(std::int64_t offset, int whence, std::int64_t* position) {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  const off_t at = ::lseek(m_fd, static_cast<off_t>(offset), whence);
  if (at < 0) return FailErrno();
  if (position) *position = at;
  return kErrorSuccess;
}

long File::Size(std::uint64_t& size) const {
  size = 0;
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  struct stat st {};
  if (::fstat(m_fd, &st) != 0) return FailErrno();
  size = static_cast<std::uint64_t>(st.st_size);
  return kErrorSuccess;
}

long File::LinksAndSize(std::uint64_t& links, std::uint64_t& size) const {
  links = 0;
  size = 0;
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  struct stat st {};
  if (::fstat(m_fd, &st) != 0) return FailErrno();
  links = static_cast<std::uint64_t>(st.st_nlink);
  size = static_cast<std::uint64_t>(st.st_size);
  return kErrorSuccess;
}

long File::LinkCount(std::uint64_t& count) const {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  struct stat st {};
  if (::fstat(m_fd, &st) != 0) return FailErrno();
  count = static_cast<std::uint64_t>(st.st_nlink);
  return kErrorSuccess;
}

long File::QueryAccess(FileAccess& out) const {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  struct stat st {};
  if (::fstat(m_fd, &st) != 0) return FailErrno();
  out.regularFile = S_ISREG(st.st_mode);
  out.ownedByAdministrator = st.st_uid == 0;
  out.ownedByProcessUser = st.st_uid == ::geteuid();
  out.openToOthers = (st.st_mode & (S_IRWXG | S_IRWXO)) != 0;
  out.permissions = static_cast<std::uint32_t>(st.st_mode & 07777);
  return kErrorSuccess;
}

long File::Truncate(std::uint64_t size) {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0) return FailErrno();
  return kErrorSuccess;
}

long File::RestrictToOwner() {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  if (::fchmod(m_fd, S_IRUSR | S_IWUSR) != 0) return FailErrno();
  return kErrorSuccess;
}

long File::Sync() {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  if (::fsync(m_fd) != 0) return FailErrno();
  return kErrorSuccess;
}

long File::SyncData() {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  if (::fdatasync(m_fd) != 0) return FailErrno();
  return kErrorSuccess;
}

void File::StartWriteBack() {
  // The whole file; what the file system cannot start here is written by the sync that follows.
  if (m_fd >= 0) ::sync_file_range(m_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

long File::Close() {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  const int fd = m_fd;
  m_fd = -1;
  // The descriptor is gone after close() even when it reports an error (EINTR included).
  if (::close(fd) != 0 && errno != EINTR) return FailErrno();
  return kErrorSuccess;
}

long FindFiles(const std::string& folder, std::string_view pattern, std::vector<DirEntry>& out) {
  out.clear();
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.empty() ? "." : folder.c_str()));
  if (!dir)
    return Fail(errno == ENOENT || errno == ENOTDIR ? kErrorPathNotFound : ErrorFromErrno(errno));
  std::string base = folder;
  if (!base.empty() && base.back() != kPathSeparator) base.push_back(kPathSeparator);
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!MatchPattern(name, pattern)) continue;
    DirEntry item;
    item.name = std::string(name);
    item.isHidden = name.front() == '.';
    struct stat st {};
    if (::lstat((base + item.name).c_str(), &st) != 0) continue;  // gone meanwhile
    item.isDirectory = S_ISDIR(st.st_mode);
    item.size = static_cast<std::uint64_t>(st.st_size);
    out.push_back(std::move(item));
  }
  return kErrorSuccess;
}

long DeleteFile(const std::string& path) {
  if (const long held = CheckNotHeld(path); held != kErrorSuccess) return Fail(held);
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Fail(kErrorAccessDenied);
  if (::unlink(path.c_str()) != 0) return Fail(OpenError(path, errno));
  return kErrorSuccess;
}

long RenameFile(const std::string& from, const std::string& to, bool replace, Holders holders) {
  if (holders == Holders::kRefused) {
    if (const long held = CheckNotHeld(from); held != kErrorSuccess) return Fail(held);
  }
  if (replace) {
    if (::rename(from.c_str(), to.c_str()) != 0) return Fail(OpenError(from, errno));
    return kErrorSuccess;
  }
  // One step where the file system can refuse to replace; where it cannot (EINVAL), link and
  // unlink give the same no-replace guarantee for files.
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return kErrorSuccess;
  if (errno == EEXIST) return Fail(kErrorAlreadyExists);
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return Fail(OpenError(from, errno));
  if (::link(from.c_str(), to.c_str()) != 0) {
    if (errno == EEXIST) return Fail(kErrorAlreadyExists);
    if (errno == EPERM || errno == EXDEV || errno == EMLINK || errno == ENOTSUP) {
      struct stat st {};
      if (::lstat(to.c_str(), &st) == 0) return Fail(kErrorAlreadyExists);
      if (::rename(from.c_str(), to.c_str()) != 0) return Fail(OpenError(from, errno));
      return kErrorSuccess;
    }
    return Fail(OpenError(from, errno));
  }
  if (::unlink(from.c_str()) != 0) return FailErrno();
  return kErrorSuccess;
}

long CreateDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) != 0) {
    if (errno == EEXIST) return Fail(kErrorAlreadyExists);
    return Fail(OpenError(path, errno));
  }
  return kErrorSuccess;
}

long CreatePrivateDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0) return kErrorSuccess;
  if (errno != EEXIST) return Fail(OpenError(path, errno));
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return FailErrno();
  if (S_ISLNK(st.st_mode)) return Fail(kErrorStoppedOnSymlink);
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return Fail(kErrorAccessDenied);
  return kErrorSuccess;
}

long RemoveDirectory(const std::string& path) {
  if (::rmdir(path.c_str()) != 0) return FailErrno();
  return kErrorSuccess;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DirectoryEnterable(const std::string& path) {
  return DirectoryExists(path) && ::access(path.c_str(), X_OK) == 0;
}

long GetModifiedTime(const std::string& path, std::uint64_t& seconds) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return FailErrno();
  seconds = st.st_mtime < 0 ? 0 : static_cast<std::uint64_t>(st.st_mtime);
  return kErrorSuccess;
}

long SyncDirectory(const std::string& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FailErrno();
  const int rc = ::fsync(fd);
  const int err = errno;
  ::close(fd);
  if (rc != 0) return Fail(ErrorFromErrno(err));
  return kErrorSuccess;
}

long AppendToFile(const std::string& path, std::string_view data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(OpenError(path, errno));
  const ssize_t n = ::write(fd, data.data(), data.size());
  const int err = errno;
  ::close(fd);
  if (n < 0) return Fail(ErrorFromErrno(err));
  if (static_cast<std::size_t>(n) != data.size()) return Fail(kErrorDiskFull);
  return kErrorSuccess;
}

struct AppendFile::Held {
  Held(int openFd, std::string openPath, std::uint64_t dev, std::uint64_t ino)
      : fd(openFd), path(std::move(openPath)), device(dev), inode(ino) {}
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() { ::close(fd); }
  // Whether the path may no longer name this file; without a watch, only a look at the path
  // tells.
  bool MayHaveMoved() const { return !watch || watch->Noticed(); }
  const int fd;
  const std::string path;
  const std::uint64_t device;
  const std::uint64_t inode;
  std::unique_ptr<const NameWatch> watch;  // set once, before the file is shared
};

AppendFile::~AppendFile() { Close(); }

void AppendFile::Close() {
  std::lock_guard lock(m_mutex);
  m_held.reset();
}

long AppendFile::Append(const std::string& path, std::string_view data) {
  std::shared_ptr<const Held> held;
  {
    std::lock_guard lock(m_mutex);
    held = m_held;
  }
  // While the watch has nothing to tell, the path still names the open file, and the file is
  // used without a look at the path (which costs several times the check of the watch).
  if (!held || held->path != path || held->MayHaveMoved()) {
    held.reset();
    // The name is looked up before the lock, so that writers of other entries do not wait for
    // it: a file put at the path after the look-up is found by the next entry, as it would be
    // when this entry had been the earlier of the two.
    struct stat named {};
    const bool exists = ::stat(path.c_str(), &named) == 0;
    std::lock_guard lock(m_mutex);
    // Another writer may have opened the path again meanwhile; its watch, just set, holds.
    if (m_held && (path != m_held->path || !exists ||
                   static_cast<std::uint64_t>(named.st_dev) != m_held->device ||
                   static_cast<std::uint64_t>(named.st_ino) != m_held->inode ||
                   (m_held->watch && m_held->watch->Noticed())))
      m_held.reset();
    if (!m_held) {
      const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0) return Fail(OpenError(path, errno));
      struct stat opened {};
      if (::fstat(fd, &opened) != 0) {
        const int err = errno;
        ::close(fd);
        return Fail(ErrorFromErrno(err));
      }
      auto fresh = std::make_shared<Held>(fd, path, static_cast<std::uint64_t>(opened.st_dev),
                                          static_cast<std::uint64_t>(opened.st_ino));
      fresh->watch = NameWatch::SetOnOpenFile(path, fd, NameWatch::Data::kIgnored);
      m_held = std::move(fresh);
    }
    held = m_held;
  }
  // Each append is one write at the end of the file, whole among the others' however many
  // threads write at once.
  const ssize_t n = ::write(held->fd, data.data(), data.size());
  if (n < 0) return Fail(ErrorFromErrno(errno));
  if (static_cast<std::size_t>(n) != data.size()) return Fail(kErrorDiskFull);
  return kErrorSuccess;
}

std::string ParentFolder(const std::string& path) {
  const auto pos = path.find_last_of(kPathSeparator);
  if (pos == std::string::npos) return ".";
  if (pos == 0) return std::string(1, kPathSeparator);
  return path.substr(0, pos);
}

namespace {

std::string TagAttribute(std::string_view name) { return "user.faxmail." + std::string(name); }

}  // namespace

long SetFileTag(const std::string& path, std::string_view name, std::string_view value) {
  if (value.size() > kMaxFileTag) return Fail(kErrorInvalidParameter);
  if (::lsetxattr(path.c_str(), TagAttribute(name).c_str(), value.data(), value.size(), 0) != 0)
    return Fail(OpenError(path, errno));
  return kErrorSuccess;
}

std::optional<std::string> GetFileTag(const std::string& path, std::string_view name) {
  char value[kMaxFileTag];
  const ssize_t n = ::lgetxattr(path.c_str(), TagAttribute(name).c_str(), value, sizeof value);
  if (n < 0) return std::nullopt;
  return std::string(value, static_cast<std::size_t>(n));
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return ::lstat(a.c_str(), &first) == 0 && ::lstat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace faxmail::platform
