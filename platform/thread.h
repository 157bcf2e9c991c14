// Threads of the platform layer: a move-only handle for one thread with an optional stack size.
//
// Letting go of a handle (Detach, or destroying a handle that was neither joined nor detached)
// is closing it: the thread runs on by itself. Each thread started here has an id that is
// unique for the life of the process and that the thread can read itself (CurrentId), so a
// thread can name its own entry in a list without a handle to itself. A handle may be used by
// one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace faxmail::platform {

class Thread {
 public:
  using Id = std::uint64_t;

  Thread() noexcept = default;
  ~Thread();
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts body on a new thread. A stackSize of 0 takes the system's default; a smaller size
  // than the system allows is raised to its minimum. Returns an error number (0 started) and
  // sets the last error on failure.
  static long Start(std::function<void()> body, std::size_t stackSize, Thread& out);

  // Whether the handle still refers to a thread (not yet joined or let go of).
  bool IsHeld() const noexcept { return m_held; }
  Id GetId() const noexcept { return m_id; }
  // Waits for the thread to end and releases the handle.
  void Join();
  // Lets go of the thread without waiting for it.
  void Detach();

  // The id of the calling thread; 0 on a thread not started through this class.
  static Id CurrentId() noexcept;

 private:
  unsigned long m_native = 0;
  Id m_id = 0;
  bool m_held = false;
};

}  // namespace faxmail::platform
