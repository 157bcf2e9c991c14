#include "platform/thread.h"

#include <pthread.h>

#include <atomic>
#include <climits>
#include <memory>
#include <utility>

#include "platform/win_error.h"

namespace faxmail::platform {

static_assert(sizeof(pthread_t) <= sizeof(unsigned long));

namespace {

std::atomic<Thread::Id> g_nextId{1};
thread_local Thread::Id t_currentId = 0;

struct StartRecord {
  std::function<void()> body;
  Thread::Id id;
};

extern "C" void* ThreadTrampoline(void* argument) {
  std::unique_ptr<StartRecord> record(static_cast<StartRecord*>(argument));
  t_currentId = record->id;
  std::function<void()> body = std::move(record->body);
  record.reset();
  body();
  return nullptr;
}

}  // namespace

long Thread::Start(std::function<void()> body, std::size_t stackSize, Thread& out) {
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) != 0) {
    SetLastError(kErrorNotEnoughMemory);
    return kErrorNotEnoughMemory;
  }
  if (stackSize != 0) {
    if (stackSize < static_cast<std::size_t>(PTHREAD_STACK_MIN))
      stackSize = static_cast<std::size_t>(PTHREAD_STACK_MIN);
    ::pthread_attr_setstacksize(&attributes, stackSize);
  }
  const Id id = g_nextId.fetch_add(1);
  auto record = std::make_unique<StartRecord>(StartRecord{std::move(body), id});
  pthread_t native;
  const int rc = ::pthread_create(&native, &attributes, ThreadTrampoline, record.get());
  ::pthread_attr_destroy(&attributes);
  if (rc != 0) {
    const long error = ErrorFromErrno(rc);
    SetLastError(error);
    return error;
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
  ::pthread_join(static_cast<pthread_t>(m_native), nullptr);
}

void Thread::Detach() {
  if (!m_held) return;
  m_held = false;
  ::pthread_detach(static_cast<pthread_t>(m_native));
}

Thread::Id Thread::CurrentId() noexcept { return t_currentId; }

}  // namespace faxmail::platform
