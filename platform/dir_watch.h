// Notice of names that arrive in a folder: a name created there (a new file, or a link to a
// finished one), a file closed after writing, or a name renamed into it. The watcher lets a poller
// sleep until something may be there instead of waking on a clock alone; it never replaces the
// poll, since the notice can be lost (a full queue of notices, a folder replaced, a file system
// that gives none).
//
// A watch opened for names (Events::Names) instead keeps account of every name that comes and
// goes, for a caller that mirrors a folder's names: DrainNames reads, without waiting, every
// change that completed before the call. What it cannot vouch for (lost notices, the folder
// itself moved, deleted or replaced) it reports, and the mirror must be made again from a
// listing.
//
// Move-only. Wait and DrainNames run on one thread at a time; Interrupt may be called from any
// thread, also while Wait runs, and makes the current or next Wait return at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace faxmail::platform {

class DirectoryWatch {
 public:
  DirectoryWatch() = default;
  ~DirectoryWatch();
  DirectoryWatch(DirectoryWatch&& other) noexcept;
  DirectoryWatch& operator=(DirectoryWatch&& other) noexcept;
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;

  // Arrivals: names created or renamed into the folder and files closed after writing (Wait).
  // Names: every name added or removed (DrainNames).
  enum class Events { Arrivals, Names };
  // Starts watching the folder: 0, or an error number (kErrorPathNotFound, kErrorAccessDenied,
  // kErrorTooManyOpenFiles when the system's watches are used up).
  static long Open(const std::string& folder, DirectoryWatch& out,
                   Events events = Events::Arrivals);
  bool IsOpen() const noexcept { return m_notify >= 0; }

  enum class Woken { Arrival, Timeout, Interrupted, Overflow };
  // Waits until a name for which wanted is true arrives (Arrival), the time passes, Interrupt
  // is called, or notices were lost (Overflow: anything may have arrived). Notices of other
  // names are read and dropped. The wanted names given in the folder (created, or renamed
  // into it) are added to *arrived (when given), at most kMaxArrivedNames of them per call; a
  // file closed after writing wakes the wait without being listed, since the waiter's own
  // opens close files too.
  static constexpr std::size_t kMaxArrivedNames = 1024;  // a burst beyond it reads as Overflow
  Woken Wait(std::chrono::milliseconds timeout,
             const std::function<bool(std::string_view name)>& wanted,
             std::vector<std::string>* arrived = nullptr);
  void Interrupt();

  // One name added to the folder (created, linked, renamed into it) or removed from it (deleted,
  // renamed away). A name renamed over another is one addition: the old file is gone with it.
  struct NameChange {
    std::string name;
    bool added = false;
    bool isDirectory = false;
  };
  // Complete: *changes holds, in order, every change made before the call and not drained yet.
  // Lost: notices were lost or the folder itself was moved or deleted; the watch is no use
  // from now on (a new one and a listing are needed).
  enum class Drained { Complete, Lost };
  Drained DrainNames(std::vector<NameChange>& changes);
  // Whether folder still names the folder this watch was opened on (not moved or replaced).
  bool Watches(const std::string& folder) const;

 private:
  void Close() noexcept;
  int m_notify = -1;
  int m_interrupt = -1;
  bool m_lost = false;
  std::uint64_t m_device = 0;  // the watched folder's identity, for Watches
  std::uint64_t m_inode = 0;
  bool m_names = false;  // opened for Events::Names
  std::string m_folder;  // where a name added is looked at for its kind (Windows)
};

}  // namespace faxmail::platform
