#include "platform/name_watch.h"

#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdint>
#include <string_view>

namespace faxmail::platform {

namespace {

// File systems whose every change goes through this kernel, which then leaves the notices.
bool IsLocalFileSystem(const std::string& path) {
  struct statfs fs {};
  if (::statfs(path.c_str(), &fs) != 0) return false;
  switch (static_cast<std::uint64_t>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4 alike
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC: return true;
    default: return false;
  }
}

constexpr std::uint32_t kFolderEvents =
    IN_MOVE_SELF | IN_DELETE_SELF | IN_ATTRIB | IN_DONT_FOLLOW | IN_ONLYDIR;
constexpr std::uint32_t kFileEvents = IN_MOVE_SELF | IN_DELETE_SELF | IN_ATTRIB | IN_DONT_FOLLOW;

}  // namespace

NameWatch::NameWatch() noexcept : m_notify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

NameWatch::~NameWatch() {
  if (m_notify >= 0) ::close(m_notify);
}

std::unique_ptr<NameWatch> NameWatch::Set(const std::string& path, Data data) {
  if (path.size() < 2 || path[0] != '/' || path.back() == '/') return nullptr;
  auto watch = std::make_unique<NameWatch>();
  if (watch->m_notify < 0) return nullptr;
  // Each folder below the root (which cannot be moved), then the file. A symbolic link among
  // the folders makes its watch fail (IN_DONT_FOLLOW with IN_ONLYDIR); one at the end shows in
  // the caller's look.
  std::size_t begin = 1;
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', begin)) {
    const std::string_view part(path.data() + begin, slash - begin);
    if (part.empty() || part == "." || part == "..") return nullptr;
    const std::string folder = path.substr(0, slash);
    if (!IsLocalFileSystem(folder) ||
        ::inotify_add_watch(watch->m_notify, folder.c_str(), kFolderEvents) < 0)
      return nullptr;
    begin = slash + 1;
  }
  const std::string_view last(path.data() + begin, path.size() - begin);
  if (last == "." || last == ".." || !IsLocalFileSystem(path) ||
      ::inotify_add_watch(watch->m_notify, path.c_str(),
                          kFileEvents | (data == Data::kWatched ? IN_MODIFY : 0)) < 0)
    return nullptr;
  return watch;
}

std::unique_ptr<NameWatch> NameWatch::SetOnOpenFile(const std::string& path, int fd, Data data) {
  std::unique_ptr<NameWatch> watch = Set(path, data);
  struct stat named {};
  struct stat opened {};
  if (!watch || ::lstat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode) ||
      ::fstat(fd, &opened) != 0 || named.st_dev != opened.st_dev || named.st_ino != opened.st_ino ||
      watch->Noticed())
    return nullptr;
  return watch;
}

bool NameWatch::Noticed() const {
  int pending = 0;
  return ::ioctl(m_notify, FIONREAD, &pending) != 0 || pending != 0;
}

}  // namespace faxmail::platform
