#include "base/group_commit.h"

namespace faxmail {

long GroupCommit::Run(const std::function<long()>& work) {
  std::unique_lock lock(m_mutex);
  const std::uint64_t ticket = ++m_tickets;
  const std::uint64_t failuresBefore = m_failures;
  for (;;) {
    // Served by another caller's run.
    if (m_covered >= ticket) return m_failures != failuresBefore ? m_lastFailure : m_lastResult;
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
  if (result != 0) {
    ++m_failures;
    m_lastFailure = result;
  }
  m_done.notify_all();
  // A run that failed after this caller's ticket was taken may have lost its step for good,
  // whichever run served it: a failed sync can drop the pages it could not write, and a later
  // sync then succeeds without them. The caller gets that failure.
  if (result == 0 && m_failures != failuresBefore) return m_lastFailure;
  return result;
}

std::uint64_t GroupCommit::Tickets() {
  std::lock_guard lock(m_mutex);
  return m_tickets;
}

}  // namespace faxmail
