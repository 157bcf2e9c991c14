#include "platform/registry_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry_format.h"
#include "platform/registry_lock.h"
#include "platform/win_error.h"

namespace faxmail::platform::registry {

namespace {

constexpr char kLockSuffix[] = ".lock";
constexpr char kNewSuffix[] = ".new";

// Which hive file a parsed copy was made from.
struct Identity {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
  timespec ctime{};
  std::uint64_t generation = 0;

  static Identity Of(const struct stat& st, std::uint64_t generation) {
    Identity id;
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
    id.generation = generation;
    return id;
  }
  bool operator==(const Identity& o) const {
    return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec &&
           generation == o.generation;
  }
};

// The parsed hive of this process. Guarded by g_mutex, which also serialises this process's
// threads (the flock of each operation serialises processes).
struct HiveCache {
  bool valid = false;
  std::string path;
  Identity id;
  mode_t mode = 0644;
  bool bad = false;
  std::string problem;
  Tree tree;
};

// Never destroyed: the gateway ends its process while its threads may still be in here.
template <class T>
class NoDestructor {
 public:
  NoDestructor() { ::new (static_cast<void*>(m_storage)) T(); }
  T& Get() { return *std::launder(reinterpret_cast<T*>(m_storage)); }

 private:
  alignas(T) unsigned char m_storage[sizeof(T)];
};

std::mutex g_mutex;  // constant-initialised

HiveCache& Cache() {
  static NoDestructor<HiveCache> cache;
  return cache.Get();
}

// Reads the hive file into the cache unless the cached copy is of the same file.
long LoadHive(const std::string& path, const HiveLock& lock) {
  const std::uint64_t generation = lock.Generation();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.IsOpen()) {
    // No file, or no folder (the root may not even be a folder): an empty hive.
    if (errno != ENOENT && errno != ENOTDIR) return ErrorFromErrno(errno);
    Identity missing;
    missing.generation = generation;
    if (Cache().valid && Cache().path == path && Cache().id == missing) return kErrorSuccess;
    Cache().tree = Tree();
    Cache().bad = false;
    Cache().problem.clear();
    Cache().mode = 0644;
    Cache().id = missing;
    Cache().path = path;
    Cache().valid = true;
    return kErrorSuccess;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return ErrorFromErrno(errno);
  const Identity id = Identity::Of(st, generation);
  if (Cache().valid && Cache().path == path && Cache().id == id) return kErrorSuccess;

  Cache().valid = false;
  Cache().tree = Tree();
  Cache().problem.clear();
  Cache().bad = true;
  Cache().path = path;
  Cache().id = id;
  Cache().mode = st.st_mode & 07777;
  if (!S_ISREG(st.st_mode)) {
    Cache().problem = path + " is not a regular file";
  } else if (static_cast<std::uint64_t>(st.st_size) > kMaxHiveFileSize) {
    Cache().problem = path + " is larger than " + std::to_string(kMaxHiveFileSize >> 20) + " MiB";
  } else {
    // One byte more than the size, to see the end of the file in the same pass.
    std::string text;
    text.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t got = 0;
    for (;;) {
      if (got == text.size()) {
        // Grown since the fstat (an editor writing in place): read on, within the limit.
        if (text.size() > kMaxHiveFileSize) break;
        text.resize(std::min<std::size_t>(text.size() * 2, kMaxHiveFileSize + 1));
      }
      const ssize_t n = ::read(fd.Get(), text.data() + got, text.size() - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        return ErrorFromErrno(errno);
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    if (text.size() > kMaxHiveFileSize) {
      Cache().problem = path + " is larger than " + std::to_string(kMaxHiveFileSize >> 20) + " MiB";
    } else {
      std::string problem;
      if (ParseText(text, Cache().tree, problem) == kErrorSuccess)
        Cache().bad = false;
      else
        Cache().problem = path + " " + problem;
    }
  }
  if (Cache().bad) Cache().tree = Tree();
  Cache().valid = true;
  return kErrorSuccess;
}

// Writes the cached tree as the new hive: counted, written whole, synced, renamed.
long StoreHive(const std::string& path, HiveLock& lock) {
  const std::string text = ExportText(Cache().tree.Root(), std::string());
  if (text.size() > kMaxHiveFileSize) return kErrorRegistryQuotaLimit;
  // Counted before the replacement, so that a copy cached from before it is never taken for it.
  const std::uint64_t generation = lock.Generation() + 1;
  if (const long result = lock.SetGeneration(generation); result != kErrorSuccess) return result;

  const std::string newPath = path + kNewSuffix;
  if (::unlink(newPath.c_str()) != 0 && errno != ENOENT) return ErrorFromErrno(errno);
  UniqueFd fd(
      ::open(newPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, Cache().mode));
  if (!fd.IsOpen()) return ErrorFromErrno(errno);
  // Removes the new file unless it became the hive.
  struct Remover {
    const std::string& path;
    bool keep = false;
    ~Remover() {
      if (!keep) ::unlink(path.c_str());
    }
  } remover{newPath};
  if (::fchmod(fd.Get(), Cache().mode) != 0) return ErrorFromErrno(errno);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd.Get(), text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrorFromErrno(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd.Get()) != 0) return ErrorFromErrno(errno);
  if (const int err = fd.Close(); err != 0) return ErrorFromErrno(err);
  if (::rename(newPath.c_str(), path.c_str()) != 0) return ErrorFromErrno(errno);
  remover.keep = true;

  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    Cache().valid = false;
    return kErrorSuccess;  // the change is made; the next operation reads it back
  }
  Cache().id = Identity::Of(st, generation);
  return kErrorSuccess;
}

}  // namespace

std::string RegistryFolder() { return FaxmailRoot() + "/registry"; }

long WithHive(Hive hive, bool exclusive, const HiveOp& op) {
  (void)hive;  // the local machine hive is the only one
  std::lock_guard<std::mutex> guard(g_mutex);
  const std::string folder = RegistryFolder();
  const std::string path = folder + "/" + kHiveFileName;
  HiveLock lock;
  if (exclusive) {
    errno = 0;
    if (!EnsureDirectories(folder))
      return errno == ENOSPC || errno == EDQUOT ? kErrorDiskFull : kErrorAccessDenied;
    if (const long result = lock.Acquire(path + kLockSuffix, true); result != kErrorSuccess)
      return result;
  } else if (DirectoryExists(folder)) {
    if (const long result = lock.Acquire(path + kLockSuffix, false); result != kErrorSuccess)
      return result;
  }
  if (const long result = LoadHive(path, lock); result != kErrorSuccess) return result;
  if (Cache().bad) return kErrorBadDb;
  bool changed = false;
  long result = op(Cache().tree, changed);
  if (!changed) return result;
  if (!exclusive) std::abort();  // a read that changed the tree: a broken invariant
  if (result == kErrorSuccess) result = StoreHive(path, lock);
  if (result != kErrorSuccess) Cache().valid = false;  // the tree is not what the file holds
  return result;
}

long WithKey(const RegKey& key, bool exclusive, const KeyOp& op) {
  if (!key.IsOpen()) return kErrorInvalidHandle;
  std::vector<std::string_view> names;
  if (!SplitKeyPath(key.Path(), names)) return kErrorInvalidHandle;
  return WithHive(key.GetHive(), exclusive, [&](Tree& tree, bool& changed) {
    KeyNode* node = tree.Find(names);
    if (!node) return kErrorKeyDeleted;
    return op(tree, *node, changed);
  });
}

void ReleaseCache() {
  std::lock_guard guard(g_mutex);
  // Moved out whole, so that no allocation stays behind in the never-destroyed cache.
  { const HiveCache old = std::move(Cache()); }
  Cache().valid = false;
}

std::string LoadProblem(Hive hive) {
  std::string problem;
  WithHive(hive, false, [](Tree&, bool&) { return kErrorSuccess; });
  std::lock_guard<std::mutex> guard(g_mutex);
  if (Cache().valid && Cache().bad) problem = Cache().problem;
  return problem;
}

}  // namespace faxmail::platform::registry
