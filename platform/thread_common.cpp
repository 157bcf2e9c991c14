// The thread handle's ownership, the same on every backend: letting go of a handle (its
// destructor, or a move over it) is Detach, which each backend does with its own calls.
#include "platform/thread.h"

#include <utility>

namespace faxmail::platform {

Thread::~Thread() { Detach(); }

Thread::Thread(Thread&& other) noexcept
    : m_native(other.m_native), m_id(other.m_id), m_held(std::exchange(other.m_held, false)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    Detach();
    m_native = other.m_native;
    m_id = other.m_id;
    m_held = std::exchange(other.m_held, false);
  }
  return *this;
}

}  // namespace faxmail::platform
