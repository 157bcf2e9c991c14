#include "base/group_commit.h"

namespace faxmail {

long GroupCommit::Run(const std::function<long()>& work) {
  std::unique_lock lock(m_mutex);
  const std::uint64_t ticket = ++m_tickets;
  for (;;) {
    if (m_covered >= ticket) return m_lastResult;
    if (!m_running) break;
    m_done.wait(lock);
  }
  // This run covers every ticket handed out before it began, this one among them.
  m_running = true;
  const std::uint64_t upTo = m_tickets;
  lock.unlock();
  long result = 0;
  try {
    result = work();
  } catch (...) {
    lock.lock();
    m_running = false;
    m_done.notify_all();  // those waiting start a run of their own
    throw;
  }
  lock.lock();
  m_running = false;
  m_covered = upTo;
  m_lastResult = result;
  m_done.notify_all();
  return result;
}

}  // namespace faxmail
