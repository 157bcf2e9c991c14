// The hive's lock: flock on HKLM.reg.lock beside the hive, shared to read, exclusive to change.
//
// The lock file is separate from the hive because the hive is replaced by rename: a lock on
// the old hive would not exclude a process that opened the new one. Its first 8 bytes count the
// changes made through this store (little-endian), so that a process can tell its cached copy
// of the hive from a newer one that looks the same by the file alone. Move-only; the lock is
// held while the object lives and released by the descriptor's close.
#pragma once

#include <cstdint>
#include <string>

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

class HiveLock {
 public:
  // Opens (creating when it can) and locks the lock file. For a read, a folder or lock file
  // that cannot be opened leaves the object without a lock: the hive is only ever replaced
  // whole, so an unlocked read still sees one complete hive.
  long Acquire(const std::string& path, bool exclusive);
  bool IsHeld() const { return m_fd.IsOpen(); }

  // The change counter (0 without a lock or a counter).
  std::uint64_t Generation() const;
  long SetGeneration(std::uint64_t value);

 private:
  UniqueFd m_fd;
};

}  // namespace faxmail::platform::registry
