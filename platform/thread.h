// Threads of the platform layer: a move-only handle for one thread with an optional stack size.
//
// Letting go of a handle (Detach, or destroying a handle that was neither joined nor detached)
// is closing it: the thread runs on by itself. Each thread started here has an id that is
// unique for the life of the process and that the thread can read itself (CurrentId), so a
// thread can name its own entry in a list without a handle to itself. A handle may be used by
// one thread at a time.
//
// On Linux a "thread" here is a body run on an OS thread that may have run bodies before: an
// OS thread whose body has returned stays parked for a while (up to a fixed number of them)
// and takes the next body started with the same stack size, so that a connection per mail
// costs no thread creation. What a body sees is what a new thread gives it: its own id, the
// stack size it asked for, the scheduling it asked for, a last error of success (win_error.h). Join
// returns once the body has returned and what it captured is destroyed; the OS thread itself may
// live on. State a body keeps in thread_local variables of its own outlives it, and the signal mask
// is that of the thread that first started the OS thread (nothing here sets masks per thread).
// Parked threads never hold the process up as it ends, and a child after fork starts threads of its
// own. A module that is unloaded while its process runs on (the applet) starts no threads
// here: a parked thread would outlive the module's code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace faxmail::platform {

class Thread {
 public:
  using Id = std::uint64_t;

  // How a body's thread competes for the processor.
  enum class Scheduling {
    kNormal,
    // Many threads that each wait on the network and the disk in turn: a thread that wakes
    // does not put aside the one running (SCHED_BATCH on Linux; the same as kNormal elsewhere),
    // so that a thread holding a lock that all of them take runs on to its release, instead of
    // being set aside each time another wakes while the others queue behind it. Each keeps its
    // fair share of time.
    kThroughput,
  };

  Thread() noexcept = default;
  ~Thread();
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts body on a thread of its own (a parked one or a new one). A stackSize of 0 takes
  // the system's default; a smaller size than the system allows is raised to its minimum.
  // Returns an error number (0 started) and sets the last error on failure. A scheduling the
  // system refuses leaves the body on the normal one.
  static long Start(std::function<void()> body, std::size_t stackSize, Thread& out,
                    Scheduling scheduling = Scheduling::kNormal);

  // Whether the handle still refers to a thread (not yet joined or let go of).
  bool IsHeld() const noexcept { return m_held; }
  Id GetId() const noexcept { return m_id; }
  // Waits for the thread's body to return and releases the handle.
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
