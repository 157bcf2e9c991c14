// Notice of names that arrive in a folder: a name created there (a new file, or a link to a
// finished one), a file closed after writing, or a name renamed into it. The watcher lets a poller
// sleep until something may be there instead of waking on a clock alone; it never replaces the
// poll, since the notice can be lost (a full queue of notices, a folder replaced, a file system
// that gives none).
//
// Move-only. Wait runs on one thread at a time; Interrupt may be called from any thread, also
// while Wait runs, and makes the current or next Wait return at once.
#pragma once

#include <chrono>
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

  // Starts watching the folder: 0, or an error number (kErrorPathNotFound, kErrorAccessDenied,
  // kErrorTooManyOpenFiles when the system's watches are used up).
  static long Open(const std::string& folder, DirectoryWatch& out);
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

 private:
  void Close() noexcept;
  int m_notify = -1;
  int m_interrupt = -1;
};

}  // namespace faxmail::platform
