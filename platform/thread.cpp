// POSIX threads with parking: an OS thread whose body has returned waits a while for the next
// body that asks for its stack size, so that a gateway taking a connection per mail does not
// create a thread and hand its stack back to the system for each one.
//
// Three kinds of object:
//   - a Run is one started body: the body itself, its id, and the flag Join waits on. The
//     handle and the OS thread running the body each hold a reference; the last one frees it.
//   - a Worker is one OS thread: it runs a Run, parks, runs the next one it is given, and ends
//     when none came within kParkedThreadWait or when the parking place is full. It owns its
//     Worker record and frees it as it ends.
//   - the parking place (Parked()) lists the Workers waiting for a body; one mutex guards the
//     list and every Worker's next Run, so a body handed over can never be missed by a Worker
//     that is timing out at the same moment.
#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "base/no_destructor.h"
#include "platform/win_error.h"

namespace faxmail::platform {

static_assert(sizeof(std::uintptr_t) <= sizeof(unsigned long));

namespace {

// More than the connections a busy gateway opens at once: a burst of mail finds a thread for
// every session, while a flood of connections cannot keep an unbounded number of stacks.
constexpr std::size_t kMaxParkedThreads = 64;
// Long enough that the mails of a burst reuse the threads of the ones before; short enough
// that an idle gateway holds no threads.
constexpr auto kParkedThreadWait = std::chrono::seconds(10);

std::atomic<Thread::Id> g_nextId{1};
thread_local Thread::Id t_currentId = 0;

struct Run {
  Run(std::function<void()> b, Thread::Id i, Thread::Scheduling s)
      : body(std::move(b)), id(i), scheduling(s) {}

  std::function<void()> body;
  const Thread::Id id;
  const Thread::Scheduling scheduling;
  std::atomic<int> references{2};  // the handle and the thread that runs the body
  std::atomic<int> done{0};        // 1 once the body has returned and its captures are gone
};

void Release(Run* run) noexcept {
  if (run->references.fetch_sub(1, std::memory_order_acq_rel) == 1) std::unique_ptr<Run> last(run);
}

struct Worker {
  explicit Worker(std::size_t size) : stackSize(size) {}

  const std::size_t stackSize;  // as asked (raised to the minimum); 0 the system's default
  Run* next = nullptr;          // the body handed over; guarded by the parking place's mutex
  std::condition_variable wake;
};

struct ParkingPlace {
  std::mutex mutex;
  std::array<Worker*, kMaxParkedThreads> workers{};  // oldest first
  std::size_t count = 0;
};

// Takes the worker at index off the list, keeping the others in order; the mutex is held.
void Unlist(ParkingPlace& place, std::size_t index) {
  for (std::size_t j = index; j + 1 < place.count; ++j) place.workers[j] = place.workers[j + 1];
  place.workers[--place.count] = nullptr;
}

ParkingPlace& Parked();

// A fork copies only the forking thread: in the child the parked threads do not exist, and
// the list must be empty before anything starts a thread there. The mutex is held across the
// fork so that the child never inherits it locked by a thread it does not have.
extern "C" void BeforeFork() { Parked().mutex.lock(); }
extern "C" void AfterForkInParent() { Parked().mutex.unlock(); }
extern "C" void AfterForkInChild() {
  ParkingPlace& place = Parked();
  place.workers.fill(nullptr);  // the parent's, left behind
  place.count = 0;
  place.mutex.unlock();
}

ParkingPlace& Parked() {
  static NoDestructor<ParkingPlace> place;
  return place.Get();
}

// Whether the fork handlers are in place. Without them (the system out of memory the first
// time a thread would park) a child could be handed to a thread it does not have: then no
// thread ever parks.
bool ForkHandled() {
  static const bool registered = [] {
    Parked();
    return ::pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild) == 0;
  }();
  return registered;
}

// Hands run to the most recently parked thread of the stack size; false when none is parked.
bool HandToParked(Run* run, std::size_t stackSize) {
  ParkingPlace& place = Parked();
  const std::lock_guard lock(place.mutex);
  for (std::size_t i = place.count; i-- > 0;) {
    Worker* worker = place.workers[i];
    if (worker->stackSize != stackSize) continue;
    Unlist(place, i);
    worker->next = run;
    // Under the mutex: once it is released the worker may run the body, park, time out and be
    // gone before a notification made afterwards.
    worker->wake.notify_one();
    return true;
  }
  return false;
}

// Puts the calling worker into the parking place; false when it is full (or a fork could not
// be made safe), and the thread ends.
bool Park(Worker& worker) {
  if (!ForkHandled()) return false;
  ParkingPlace& place = Parked();
  const std::lock_guard lock(place.mutex);
  if (place.count == kMaxParkedThreads) return false;
  place.workers[place.count++] = &worker;
  return true;
}

// Waits, parked, for the next body; nullptr when none came in time (and the worker has left
// the parking place).
Run* WaitForNext(Worker& worker) {
  ParkingPlace& place = Parked();
  std::unique_lock lock(place.mutex);
  const auto deadline = std::chrono::steady_clock::now() + kParkedThreadWait;
  while (worker.next == nullptr) {
    if (worker.wake.wait_until(lock, deadline) != std::cv_status::timeout) continue;
    if (worker.next != nullptr) break;
    // Not handed anything, so still listed (only a hand-over takes a worker off the list).
    for (std::size_t i = 0; i < place.count; ++i) {
      if (place.workers[i] != &worker) continue;
      Unlist(place, i);
      break;
    }
    return nullptr;
  }
  return std::exchange(worker.next, nullptr);
}

// The scheduling policy of the calling OS thread as this file last set it: a parked thread
// keeps the one of its last body, and changes it only for a body that asks for another.
thread_local Thread::Scheduling t_scheduling = Thread::Scheduling::kNormal;

void Schedule(Thread::Scheduling scheduling) {
  if (scheduling == t_scheduling) return;
  const sched_param none{};
  // Moving between these two policies needs no privilege; a refusal leaves the thread as it is.
  if (::pthread_setschedparam(
          ::pthread_self(),
          scheduling == Thread::Scheduling::kThroughput ? SCHED_BATCH : SCHED_OTHER, &none) == 0)
    t_scheduling = scheduling;
}

// Runs one body as on a thread of its own: its id, its scheduling, a clear last error and
// errno, and its captures destroyed before Join returns.
void RunBody(Run& run) {
  Schedule(run.scheduling);
  t_currentId = run.id;
  SetLastError(kErrorSuccess);
  errno = 0;
  {
    std::function<void()> body = std::move(run.body);
    body();
  }
  t_currentId = 0;
}

void Finish(Run* run) noexcept {
  run->done.store(1, std::memory_order_release);
  run->done.notify_all();
  Release(run);
}

extern "C" void* WorkerMain(void* argument) {
  std::unique_ptr<Worker> worker(static_cast<Worker*>(argument));
  Run* run = std::exchange(worker->next, nullptr);
  while (run != nullptr) {
    RunBody(*run);
    // Parked before the body counts as done: whoever joined it and starts the next body finds
    // this thread waiting.
    const bool parked = Park(*worker);
    Finish(run);
    run = parked ? WaitForNext(*worker) : nullptr;
  }
  return nullptr;
}

// Starts an OS thread for run; an error number, 0 started.
long StartWorker(Run* run, std::size_t stackSize) {
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) != 0) return kErrorNotEnoughMemory;
  if (stackSize != 0) ::pthread_attr_setstacksize(&attributes, stackSize);
  ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  auto worker = std::make_unique<Worker>(stackSize);
  worker->next = run;
  pthread_t native;
  const int rc = ::pthread_create(&native, &attributes, WorkerMain, worker.get());
  ::pthread_attr_destroy(&attributes);
  if (rc != 0) return ErrorFromErrno(rc);
  worker.release();  // the new thread owns it now
  return kErrorSuccess;
}

Run* ToRun(unsigned long slot) { return reinterpret_cast<Run*>(static_cast<std::uintptr_t>(slot)); }

}  // namespace

long Thread::Start(std::function<void()> body, std::size_t stackSize, Thread& out,
                   Scheduling scheduling) {
  if (stackSize != 0 && stackSize < static_cast<std::size_t>(PTHREAD_STACK_MIN))
    stackSize = static_cast<std::size_t>(PTHREAD_STACK_MIN);
  const Id id = g_nextId.fetch_add(1);
  auto run = std::make_unique<Run>(std::move(body), id, scheduling);
  if (!HandToParked(run.get(), stackSize)) {
    if (const long error = StartWorker(run.get(), stackSize); error != kErrorSuccess) {
      SetLastError(error);
      return error;
    }
  }
  out = Thread();
  out.m_native = static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(run.release()));
  out.m_id = id;
  out.m_held = true;
  return kErrorSuccess;
}

void Thread::Join() {
  if (!m_held) return;
  m_held = false;
  Run* run = ToRun(m_native);
  // A body joining its own handle would wait for ever: it lets go of it instead.
  if (t_currentId != m_id) {
    while (run->done.load(std::memory_order_acquire) == 0)
      run->done.wait(0, std::memory_order_acquire);
  }
  Release(run);
}

void Thread::Detach() {
  if (!m_held) return;
  m_held = false;
  Release(ToRun(m_native));
}

Thread::Id Thread::CurrentId() noexcept { return t_currentId; }

}  // namespace faxmail::platform
