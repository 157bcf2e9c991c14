#include "platform/thread.h"

#include <process.h>

#include <atomic>
#include <memory>
#include <utility>

#include "platform/win32/windows_api.h"
#include "platform/win_error.h"

namespace faxmail::platform {

// The thread's handle lives in the unsigned long slot: kernel handles fit in 32 bits.
static_assert(sizeof(unsigned long) == 4);

namespace {

// The least stack the system gives a thread; a smaller request is raised to it.
constexpr std::size_t kMinimumStack = 64 * 1024;

std::atomic<Thread::Id> g_nextId{1};
thread_local Thread::Id t_currentId = 0;

struct StartRecord {
  std::function<void()> body;
  Thread::Id id;
};

unsigned __stdcall ThreadTrampoline(void* argument) {
  std::unique_ptr<StartRecord> record(static_cast<StartRecord*>(argument));
  t_currentId = record->id;
  std::function<void()> body = std::move(record->body);
  record.reset();
  body();
  return 0;
}

HANDLE ToHandle(unsigned long slot) {
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(slot));
}

}  // namespace

// The system's scheduler has no policy like kThroughput: every body runs on the normal one.
long Thread::Start(std::function<void()> body, std::size_t stackSize, Thread& out,
                   Scheduling /*scheduling*/) {
  if (stackSize != 0 && stackSize < kMinimumStack) stackSize = kMinimumStack;
  const Id id = g_nextId.fetch_add(1);
  auto record = std::make_unique<StartRecord>(StartRecord{std::move(body), id});
  // The runtime library's start, so that its per-thread state is set up and freed.
  const std::uintptr_t native =
      ::_beginthreadex(nullptr, static_cast<unsigned>(stackSize), ThreadTrampoline, record.get(),
                       stackSize != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
  if (native == 0) {
    const long error = static_cast<long>(::GetLastError());
    SetLastError(error != 0 ? error : kErrorNotEnoughMemory);
    return LastError();
  }
  record.release();  // the new thread owns it now
  out = Thread();
  out.m_native = static_cast<unsigned long>(native);
  out.m_id = id;
  out.m_held = true;
  return kErrorSuccess;
}

void Thread::Join() {
  if (!m_held) return;
  m_held = false;
  const HANDLE handle = ToHandle(m_native);
  ::WaitForSingleObject(handle, INFINITE);
  ::CloseHandle(handle);
}

void Thread::Detach() {
  if (!m_held) return;
  m_held = false;
  ::CloseHandle(ToHandle(m_native));
}

Thread::Id Thread::CurrentId() noexcept { return t_currentId; }

}  // namespace faxmail::platform
