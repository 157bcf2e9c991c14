// An event in the system's sense: a flag that threads wait on, set and reset explicitly
// (manual reset) or reset by the one waiter it releases (automatic reset). Any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace faxmail::platform {

class Event {
 public:
  explicit Event(bool manualReset, bool initiallySet = false)
      : m_manual(manualReset), m_set(initiallySet) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set() {
    {
      std::lock_guard lock(m_mutex);
      m_set = true;
    }
    if (m_manual)
      m_cv.notify_all();
    else
      m_cv.notify_one();
  }
  void Reset() {
    std::lock_guard lock(m_mutex);
    m_set = false;
  }
  // Waits until set; false when the time ran out first.
  bool Wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    if (!m_cv.wait_for(lock, timeout, [this] { return m_set; })) return false;
    if (!m_manual) m_set = false;
    return true;
  }
  void Wait() {
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [this] { return m_set; });
    if (!m_manual) m_set = false;
  }
  bool IsSet() {
    std::lock_guard lock(m_mutex);
    return m_set;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  const bool m_manual;
  bool m_set;
};

}  // namespace faxmail::platform
