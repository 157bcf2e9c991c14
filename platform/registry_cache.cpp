#include "platform/registry_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <zlib.h>

#include "base/group_commit.h"
#include "base/no_destructor.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry_format.h"
#include "platform/name_watch.h"
#include "platform/registry_lock.h"
#include "platform/win_error.h"

namespace faxmail::platform::registry {

namespace {

constexpr char kLockSuffix[] = ".lock";
constexpr char kNewSuffix[] = ".new";
constexpr char kLogSuffix[] = ".log";

// The change log's first line names the hive file it continues (device and inode): a hive
// written whole since, or replaced by hand, is a different file, and an old log is ignored.
constexpr std::string_view kLogMagic = "; HKLM.reg change log 1 ";
// Past this size the next change writes the hive whole and starts the log afresh: it bounds
// what every process replays, and how far the hive file itself lags behind the store.
constexpr std::size_t kMaxLogBytes = 64 * 1024;
// A change whose record is larger is written into the hive whole instead.
constexpr std::size_t kMaxLogRecord = 8 * 1024;
// A record header: "; <length> <crc32 as 8 hex digits>" and a line feed.
constexpr std::size_t kMaxRecordHeader = 32;
// A log file larger than this was not written by the store (it never lets one grow past
// kMaxLogBytes + kMaxLogRecord): it is reported as damaged, not read.
constexpr std::size_t kMaxLogFileSize = 1 << 20;

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
  bool SameFile(const Identity& o) const {
    return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
  bool operator==(const Identity& o) const { return SameFile(o) && generation == o.generation; }
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
  // The change log as far as it was applied: the file (when it belongs to this hive file), and
  // the end of its last whole record. A torn record after that end is cut off by the next change.
  bool logUsable = false;
  bool logBad = false;  // the log does not load: read everything again next time
  dev_t logDev = 0;
  ino_t logIno = 0;
  off_t logEnd = 0;
  off_t logSize = 0;
  // The log file kept open for the next append and sync (KeptLogFile).
  std::shared_ptr<const struct KeptLog> logFile;
  // While it has noticed nothing, the hive file is still the one of watched (the file, not the
  // generation): no look at its path is needed to know (WatchHive).
  std::unique_ptr<NameWatch> watch;
  Identity watched;
  bool watchTried = false;  // for the file of watched, since the last notice
};

// An open change log and the file it is. Shared, so that a sync outside g_mutex keeps it open
// while the cache moves on.
struct KeptLog {
  UniqueFd fd;
  dev_t dev = 0;
  ino_t ino = 0;
};

// The syncs of the change log that make this process's lazy changes durable, shared by the
// threads that ask for one at the same time (a group commit): a sync covers every record
// appended before it began, so whoever arrives while one runs waits for the next, which serves
// them all. The log is synced outside g_mutex, so readers of the hive never wait for the disk.
// Guarded by g_mutex; kept apart from the cache, which ReleaseCache replaces.
struct LogSyncState {
  GroupCommit commit;          // the syncs themselves, outside g_mutex
  std::uint64_t appended = 0;  // records appended by this process
  std::uint64_t synced = 0;    // every one of them up to this count is durable
};

std::mutex g_mutex;  // constant-initialised

HiveCache& Cache() {
  static NoDestructor<HiveCache> cache;
  return cache.Get();
}

// The hive's lock file, kept open between operations (registry_lock.h). Guarded by g_mutex.
LockFile& Lock() {
  static NoDestructor<LockFile> file;
  return file.Get();
}

LogSyncState& SyncState() {
  static NoDestructor<LogSyncState> state;
  return state.Get();
}

std::string LogPath(const std::string& hivePath) { return hivePath + kLogSuffix; }

// The log at path when it is the file dev/ino and a regular file, with its state now (st);
// null when the name holds anything else or nothing. The descriptor in kept serves while the
// name still names its file, so that only a look at the name is made; otherwise the path is
// opened again and kept. Under g_mutex.
std::shared_ptr<const KeptLog> KeptLogFile(const std::string& path, dev_t dev, ino_t ino,
                                           std::shared_ptr<const KeptLog>& kept, struct stat& st) {
  if (kept && kept->dev == dev && kept->ino == ino) {
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == dev &&
        st.st_ino == ino)
      return kept;
    kept.reset();
    return nullptr;
  }
  kept.reset();
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.IsOpen() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != dev ||
      st.st_ino != ino)
    return nullptr;
  auto log = std::make_shared<KeptLog>();
  log->fd = std::move(fd);
  log->dev = dev;
  log->ino = ino;
  kept = log;
  return kept;
}

// The log's first line for a hive file: its device, inode and birth time. An inode number is
// given again as soon as a file is gone, so a hive written whole twice may get the number of
// one the log knew; the birth time tells them apart (where the file system keeps one).
std::string LogHeader(int hiveFd, const char* hivePath) {
  struct statx st {};
  const int dirFd = hiveFd >= 0 ? hiveFd : AT_FDCWD;
  const char* name = hiveFd >= 0 ? "" : hivePath;
  if (::statx(dirFd, name, hiveFd >= 0 ? AT_EMPTY_PATH : 0, STATX_INO | STATX_BTIME, &st) != 0)
    return std::string();
  std::string header(kLogMagic);
  header += std::to_string(::makedev(st.stx_dev_major, st.stx_dev_minor)) + " " +
            std::to_string(st.stx_ino);
  if (st.stx_mask & STATX_BTIME) {
    header += ' ';
    header += std::to_string(st.stx_btime.tv_sec);
    header += '.';
    header += std::to_string(st.stx_btime.tv_nsec);
  }
  return header + "\n";
}

std::uint32_t Crc32(std::string_view bytes) {
  return static_cast<std::uint32_t>(::crc32(::crc32(0L, Z_NULL, 0),
                                            reinterpret_cast<const Bytef*>(bytes.data()),
                                            static_cast<uInt>(bytes.size())));
}

std::string RecordOf(std::string_view body) {
  char header[kMaxRecordHeader];
  const int n = std::snprintf(header, sizeof header, "; %zu %08x\n", body.size(),
                              static_cast<unsigned>(Crc32(body)));
  std::string record(header, static_cast<std::size_t>(n));
  record += body;
  return record;
}

// Reads up to limit bytes of fd from offset on.
long ReadFrom(int fd, off_t offset, std::size_t limit, std::string& out) {
  out.resize(limit);
  std::size_t got = 0;
  while (got < limit) {
    const ssize_t n = ::pread(fd, out.data() + got, limit - got, offset + static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrorFromErrno(errno);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return kErrorSuccess;
}

// The length of the record at the start of text, or 0 when none is whole there (the torn end
// of a log: a crash in the middle of an append).
std::size_t WholeRecord(std::string_view text, std::string_view& body) {
  const std::size_t eol = text.substr(0, kMaxRecordHeader).find('\n');
  if (eol == std::string_view::npos || text.substr(0, 2) != "; ") return 0;
  const std::string_view header = text.substr(2, eol - 2);
  const std::size_t space = header.find(' ');
  if (space == std::string_view::npos || space == 0 || header.size() - space - 1 != 8) return 0;
  std::size_t length = 0;
  for (const char c : header.substr(0, space)) {
    if (c < '0' || c > '9' || length > kMaxLogRecord) return 0;
    length = length * 10 + static_cast<std::size_t>(c - '0');
  }
  std::uint32_t crc = 0;
  if (length > kMaxLogRecord || !ParseHexNumber(header.substr(space + 1), crc)) return 0;
  if (text.size() - eol - 1 < length) return 0;
  body = text.substr(eol + 1, length);
  return Crc32(body) == crc ? eol + 1 + length : 0;
}

// Applies the change log to the cached tree: every record after those applied already, or all
// of them (fromStart). A log that names another hive file is not applied (the next change
// writes the hive whole and starts a new one). Returns false when an incremental read finds
// the log replaced or cut short: the caller then reads everything again.
bool ReplayLog(const std::string& hivePath, bool fromStart, int hiveFd) {
  HiveCache& cache = Cache();
  if (fromStart) {
    cache.logUsable = false;
    cache.logEnd = 0;
    cache.logSize = 0;
  }
  const std::string path = LogPath(hivePath);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.IsOpen()) return fromStart;
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return fromStart;
  if (!fromStart &&
      (st.st_dev != cache.logDev || st.st_ino != cache.logIno || st.st_size < cache.logEnd))
    return false;
  if (static_cast<std::uint64_t>(st.st_size) > kMaxLogFileSize) {
    cache.bad = true;
    cache.logBad = true;
    cache.problem = path + " is larger than " + std::to_string(kMaxLogFileSize >> 10) + " KiB";
    return true;
  }
  const off_t start = fromStart ? 0 : cache.logEnd;
  std::string text;
  if (ReadFrom(fd.Get(), start, static_cast<std::size_t>(st.st_size - start), text) !=
      kErrorSuccess)
    return fromStart;
  std::string_view rest(text);
  if (fromStart) {
    const std::string header = LogHeader(hiveFd, hivePath.c_str());
    if (header.empty() || rest.substr(0, header.size()) != header) return true;  // not its log
    rest.remove_prefix(header.size());
  }
  for (;;) {
    std::string_view body;
    const std::size_t length = WholeRecord(rest, body);
    if (length == 0) break;
    std::string problem;
    if (ParseText(body, cache.tree, problem) != kErrorSuccess) {
      cache.bad = true;
      cache.logBad = true;
      cache.problem =
          path + " at byte " + std::to_string(start + (text.size() - rest.size())) + ": " + problem;
      return true;
    }
    rest.remove_prefix(length);
  }
  cache.logUsable = true;
  cache.logDev = st.st_dev;
  cache.logIno = st.st_ino;
  cache.logEnd = start + static_cast<off_t>(text.size() - rest.size());
  cache.logSize = st.st_size;
  return true;
}

// Reads the hive file into the cache unless the cached copy is of the same file; then the
// change log that continues it.
// Watches the hive file at path, which was just seen to be the file of Cache().id, unless a
// watch covers it already or one could not be set for it. Under g_mutex.
void WatchHive(const std::string& path) {
  HiveCache& cache = Cache();
  if (cache.watch && (cache.watch->Noticed() || !cache.watched.SameFile(cache.id))) {
    cache.watch.reset();
    cache.watchTried = false;
  }
  if (cache.watch || (cache.watchTried && cache.watched.SameFile(cache.id))) return;
  cache.watchTried = true;
  cache.watched = cache.id;
  // Set first, then looked at: whatever changes after the look leaves a notice. The hive is
  // only ever replaced whole by this store, so a write into it is someone else's (an editor's).
  std::unique_ptr<NameWatch> watch = NameWatch::Set(path, NameWatch::Data::kWatched);
  struct stat st {};
  if (watch && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
      Identity::Of(st, cache.id.generation).SameFile(cache.id) && !watch->Noticed())
    cache.watch = std::move(watch);
}

// Whether the copy in hand is still the hive at path for the change counter generation, by
// what the hive's watch tells alone (it has noticed nothing since it was set on that file).
// Under g_mutex.
bool CachedCopyIsWatchedAndCurrent(const std::string& path, std::uint64_t generation) {
  const HiveCache& cache = Cache();
  return cache.valid && !cache.logBad && cache.path == path && cache.id.exists &&
         cache.id.generation == generation && cache.watch && cache.watched.SameFile(cache.id) &&
         !cache.watch->Noticed();
}

long LoadHive(const std::string& path, const HiveLock& lock) {
  const std::uint64_t generation = lock.Generation();
  // The copy in hand is still the hive's: a watch that has noticed nothing says so, or else a
  // look at the file's identity, without opening it (most operations of a busy gateway end
  // here).
  if (Cache().valid && !Cache().logBad && Cache().path == path && Cache().id.exists) {
    if (CachedCopyIsWatchedAndCurrent(path, generation)) return kErrorSuccess;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        Identity::Of(st, generation) == Cache().id) {
      WatchHive(path);
      return kErrorSuccess;
    }
  }
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
    Cache().logUsable = false;
    Cache().valid = true;
    return kErrorSuccess;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return ErrorFromErrno(errno);
  const Identity id = Identity::Of(st, generation);
  if (Cache().valid && !Cache().logBad && Cache().path == path && Cache().id == id)
    return kErrorSuccess;
  // The same hive file, changed since only by records added to its log.
  if (Cache().valid && Cache().path == path && !Cache().bad && Cache().logUsable &&
      !Cache().logBad && Cache().id.SameFile(id) && ReplayLog(path, false, fd.Get())) {
    Cache().id = id;
    if (Cache().bad) Cache().tree = Tree();
    return kErrorSuccess;
  }

  Cache().valid = false;
  Cache().tree = Tree();
  Cache().problem.clear();
  Cache().bad = true;
  Cache().path = path;
  Cache().id = id;
  Cache().mode = st.st_mode & 07777;
  Cache().logUsable = false;
  Cache().logBad = false;
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
      if (ParseText(text, Cache().tree, problem) == kErrorSuccess) {
        Cache().bad = false;
        ReplayLog(path, true, fd.Get());
      } else {
        Cache().problem = path + " " + problem;
      }
    }
  }
  if (Cache().bad) Cache().tree = Tree();
  Cache().valid = true;
  return kErrorSuccess;
}

// Starts the change log afresh for the hive file just written: the file is emptied in place
// (or made when missing), so that only its header needs to reach the disk.
void StartLog(const std::string& hivePath) {
  HiveCache& cache = Cache();
  cache.logUsable = false;
  const std::string path = LogPath(hivePath);
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  bool made = false;
  struct stat st {};
  if (fd.IsOpen() && (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))) {
    fd.Reset();
    if (::unlink(path.c_str()) != 0) return;
  }
  if (!fd.IsOpen()) {
    ::unlink(path.c_str());
    fd = UniqueFd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, cache.mode));
    if (!fd.IsOpen() || ::fchmod(fd.Get(), cache.mode) != 0) return;
    made = true;
  }
  const std::string header = LogHeader(-1, hivePath.c_str());
  if (header.empty() || ::ftruncate(fd.Get(), 0) != 0 ||
      ::pwrite(fd.Get(), header.data(), header.size(), 0) != static_cast<ssize_t>(header.size()) ||
      ::fdatasync(fd.Get()) != 0 || ::fstat(fd.Get(), &st) != 0)
    return;
  // A log made now must itself be found after a crash before anything is added to it.
  if (made && SyncDirectory(RegistryFolder()) != kErrorSuccess) return;
  cache.logUsable = true;
  cache.logDev = st.st_dev;
  cache.logIno = st.st_ino;
  cache.logEnd = static_cast<off_t>(header.size());
  cache.logSize = cache.logEnd;
}

// Writes the cached tree as the new hive: counted, written whole, synced, renamed, the folder
// synced; then the change log starts afresh.
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
  Cache().logUsable = false;

  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    Cache().valid = false;
    return kErrorSuccess;  // the change is made; the next operation reads it back
  }
  Cache().id = Identity::Of(st, generation);
  // The old log may be emptied only once the hive that holds its changes is sure to be found
  // after a crash. Without that, the old log (naming the old hive) stays and is ignored.
  if (SyncDirectory(RegistryFolder()) == kErrorSuccess) {
    SyncState().synced = SyncState().appended;  // the synced hive holds every change
    StartLog(path);
  }
  return kErrorSuccess;
}

// Adds one change of values to the log: counted, appended after the last whole record, synced.
// The hive is written whole instead when there is no log for it, the log is full, or the
// record is large.
long AppendChange(const std::string& hivePath, HiveLock& lock, const std::string& body,
                  bool durable) {
  HiveCache& cache = Cache();
  const std::string record = RecordOf(body);
  if (!cache.logUsable || !cache.id.exists || body.size() > kMaxLogRecord ||
      static_cast<std::size_t>(cache.logEnd) + record.size() > kMaxLogBytes)
    return StoreHive(hivePath, lock);
  struct stat st {};
  const std::shared_ptr<const KeptLog> log =
      KeptLogFile(LogPath(hivePath), cache.logDev, cache.logIno, cache.logFile, st);
  if (!log) return StoreHive(hivePath, lock);
  const UniqueFd& fd = log->fd;
  const std::uint64_t generation = lock.Generation() + 1;
  if (const long result = lock.SetGeneration(generation); result != kErrorSuccess) return result;
  // Whatever follows the last whole record (the torn end of an append cut short) goes first.
  if (st.st_size != cache.logEnd && ::ftruncate(fd.Get(), cache.logEnd) != 0)
    return ErrorFromErrno(errno);
  std::size_t done = 0;
  long result = kErrorSuccess;
  while (done < record.size()) {
    const ssize_t n = ::pwrite(fd.Get(), record.data() + done, record.size() - done,
                               cache.logEnd + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      result = ErrorFromErrno(errno);
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (result == kErrorSuccess && durable && ::fdatasync(fd.Get()) != 0)
    result = ErrorFromErrno(errno);
  if (result != kErrorSuccess) {
    // Not made: nobody may read it as made.
    if (::ftruncate(fd.Get(), cache.logEnd) != 0) cache.logUsable = false;
    return result;
  }
  // A sync of the log makes every record before it durable too.
  LogSyncState& sync = SyncState();
  ++sync.appended;
  if (durable) sync.synced = sync.appended;
  cache.logEnd += static_cast<off_t>(record.size());
  cache.logSize = cache.logEnd;
  cache.id.generation = generation;
  return kErrorSuccess;
}

// The record text of a change of values alone, made from the tree after the change.
using ChangeText = std::function<std::string(Tree&)>;

long RunOnHive(bool exclusive, const HiveOp& op, const ChangeText* changeText,
               bool durable = true) {
  std::lock_guard<std::mutex> guard(g_mutex);
  const std::string folder = RegistryFolder();
  const std::string path = folder + "/" + kHiveFileName;
  // A read served by a copy that is provably current takes no lock: the counter is read
  // without it (PeekGeneration), and the watches of the lock file and the hive show that
  // neither was replaced. Every read of a busy gateway's settings and counters ends here.
  const std::optional<std::uint64_t> peeked =
      exclusive ? std::nullopt : Lock().PeekGeneration(path + kLockSuffix);
  const bool current = peeked && CachedCopyIsWatchedAndCurrent(path, *peeked);
  HiveLock lock;
  // The kept lock file stands for its folder: while it is the file at its path, the folder is
  // there.
  if (current) {
    // Nothing to lock or load.
  } else if (exclusive) {
    if (lock.Acquire(Lock(), path + kLockSuffix, true) != kErrorSuccess) {
      errno = 0;
      if (!DirectoryExists(folder) && !EnsureDirectories(folder))
        return errno == ENOSPC || errno == EDQUOT ? kErrorDiskFull : kErrorAccessDenied;
      if (const long result = lock.Acquire(Lock(), path + kLockSuffix, true);
          result != kErrorSuccess)
        return result;
    }
  } else if (const long result = lock.Acquire(Lock(), path + kLockSuffix, false);
             result != kErrorSuccess) {
    return result;
  }
  if (const long result = current ? kErrorSuccess : LoadHive(path, lock); result != kErrorSuccess)
    return result;
  if (Cache().bad) return kErrorBadDb;
  bool changed = false;
  long result = op(Cache().tree, changed);
  if (!changed) return result;
  if (!exclusive) std::abort();  // a read that changed the tree: a broken invariant
  if (result == kErrorSuccess)
    result = changeText ? AppendChange(path, lock, (*changeText)(Cache().tree), durable)
                        : StoreHive(path, lock);
  if (result != kErrorSuccess) Cache().valid = false;  // the tree is not what the file holds
  return result;
}

}  // namespace

std::string RegistryFolder() { return FaxmailRoot() + "/registry"; }

long WithHive(Hive hive, bool exclusive, const HiveOp& op) {
  (void)hive;  // the local machine hive is the only one
  return RunOnHive(exclusive, op, nullptr);
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

long ChangeValues(const RegKey& key, const ValuesOp& op, bool durable) {
  if (!key.IsOpen()) return kErrorInvalidHandle;
  std::vector<std::string_view> names;
  if (!SplitKeyPath(key.Path(), names)) return kErrorInvalidHandle;
  std::vector<std::string> changedNames;
  const ChangeText text = [&](Tree& tree) {
    const KeyNode* node = tree.Find(names);
    std::vector<const RegValue*> set;
    std::vector<std::string> removed;
    for (const std::string& name : changedNames) {
      if (const RegValue* value = node ? node->FindValue(name) : nullptr)
        set.push_back(value);
      else
        removed.push_back(name);
    }
    return ValueChangeText(StoredPath(tree, names), set, removed);
  };
  return RunOnHive(
      true,
      [&](Tree& tree, bool& changed) {
        KeyNode* node = tree.Find(names);
        if (!node) return kErrorKeyDeleted;
        const long result = op(tree, *node, changedNames);
        changed = !changedNames.empty();
        return result;
      },
      &text, durable);
}

long SyncLog() {
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (SyncState().synced >= SyncState().appended) return kErrorSuccess;
  }
  // A sync that begins after this call covers every record appended before it.
  return SyncState().commit.Run([] {
    std::unique_lock<std::mutex> guard(g_mutex);
    LogSyncState& sync = SyncState();
    const std::uint64_t upTo = sync.appended;
    if (sync.synced >= upTo) return kErrorSuccess;
    const std::string path = LogPath(RegistryFolder() + "/" + kHiveFileName);
    const dev_t logDev = Cache().logDev;
    const ino_t logIno = Cache().logIno;
    std::shared_ptr<const KeptLog> kept = Cache().logFile;
    if (kept && (kept->dev != logDev || kept->ino != logIno)) kept.reset();
    guard.unlock();
    long result = kErrorSuccess;
    // The kept descriptor when there is one (a look at the name tells whether it is still the
    // log), else the log opened by name.
    UniqueFd opened;
    struct stat st {};
    if (kept) {
      if (::lstat(path.c_str(), &st) != 0)
        result = ErrorFromErrno(errno);
      else if (S_ISLNK(st.st_mode))
        result = ErrorFromErrno(ELOOP);  // as the open by name refuses it
    } else {
      opened = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
      if (!opened.IsOpen() || ::fstat(opened.Get(), &st) != 0) result = ErrorFromErrno(errno);
    }
    const int fd = kept ? kept->fd.Get() : opened.Get();
    // Another log in its place: whoever started it wrote the hive whole, with this process's
    // records in it, and synced that before.
    if (result == kErrorSuccess && st.st_dev == logDev && st.st_ino == logIno &&
        ::fdatasync(fd) != 0)
      result = ErrorFromErrno(errno);
    guard.lock();
    if (result == kErrorSuccess && sync.synced < upTo) sync.synced = upTo;
    return result;
  });
}

void ReleaseCache() {
  std::lock_guard guard(g_mutex);
  // Moved out whole, so that no allocation stays behind in the never-destroyed cache.
  { const HiveCache old = std::move(Cache()); }
  Cache().valid = false;
  // The kept lock file too: a module unloaded after this leaves no descriptor open behind it.
  Lock().Close();
}

std::string LoadProblem(Hive hive) {
  std::string problem;
  WithHive(hive, false, [](Tree&, bool&) { return kErrorSuccess; });
  std::lock_guard<std::mutex> guard(g_mutex);
  if (Cache().valid && Cache().bad) problem = Cache().problem;
  return problem;
}

}  // namespace faxmail::platform::registry
