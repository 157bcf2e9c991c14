// The hive's lock: flock on HKLM.reg.lock beside the hive, shared to read, exclusive to change.
//
// The lock file is separate from the hive because the hive is replaced by rename: a lock on
// the old hive would not exclude a process that opened the new one. Its first 8 bytes count the
// changes made through this store (little-endian), so that a process can tell its cached copy
// of the hive from a newer one that looks the same by the file alone.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/name_watch.h"

namespace faxmail::platform::registry {

// A file descriptor closed on destruction; Close() reports what the destructor cannot.
class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept;
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int Get() const noexcept { return m_fd; }
  bool IsOpen() const noexcept { return m_fd >= 0; }
  void Reset() noexcept;
  // Closes and returns the errno of the close, or 0.
  int Close() noexcept;

 private:
  int m_fd = -1;
};

// The lock file's descriptor, kept open from one operation to the next: the open and close of
// every operation cost more than its lock. A lock belongs to the open file description, so this
// process's threads are not excluded from each other by it: its callers serialise them. It is
// opened afresh when the file at the path is no longer the one it refers to (removed or replaced:
// a lock on it would exclude nobody who opens the path now), for another path, for a change where
// it could be opened to read only, and in a child process, which shares its parent's description.
class LockFile {
 public:
  LockFile() = default;
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  // Closes the descriptor and lets go of everything held (for a module about to be unloaded).
  void Close() noexcept {
    m_watch.reset();
    m_fd.Reset();
    std::string().swap(m_path);
    m_writable = false;
    m_dev = m_ino = 0;
    m_pid = 0;
  }

  // The change counter read without taking the lock, when the descriptor kept for path in this
  // process is still the file at path (its watch has noticed nothing); nothing otherwise. Every
  // change bumps the counter under the exclusive lock, before that lock is let go: a counter
  // that still matches the one of a cached copy shows that no change has ended since the copy
  // was read (one under way is taken as coming after this read). An 8-byte read torn by a
  // concurrent write matches only where it reads as the old value.
  std::optional<std::uint64_t> PeekGeneration(const std::string& path) const;

 private:
  friend class HiveLock;
  UniqueFd m_fd;
  // Tells, while it has noticed nothing, that the path still names the file open in m_fd
  // without a look at the path; none where it cannot be set (then the path is looked at).
  std::unique_ptr<NameWatch> m_watch;
  bool m_watchTried = false;  // for this descriptor, since the last notice
  std::string m_path;
  bool m_writable = false;
  std::uint64_t m_dev = 0;
  std::uint64_t m_ino = 0;
  long m_pid = 0;  // the process that opened it
};

// The lock of one operation, on the descriptor of a LockFile; released when the object goes.
class HiveLock {
 public:
  HiveLock() = default;
  ~HiveLock();
  HiveLock(const HiveLock&) = delete;
  HiveLock& operator=(const HiveLock&) = delete;

  // Opens the lock file when the LockFile must (creating it when it can) and locks it. For a
  // read, a folder or lock file that cannot be opened leaves the object without a lock: the
  // hive is only ever replaced whole, so an unlocked read still sees one complete hive.
  long Acquire(LockFile& file, const std::string& path, bool exclusive);
  bool IsHeld() const { return m_fd >= 0; }

  // The change counter (0 without a lock or a counter).
  std::uint64_t Generation() const;
  long SetGeneration(std::uint64_t value);

 private:
  int m_fd = -1;  // the LockFile's, locked
};

}  // namespace faxmail::platform::registry
