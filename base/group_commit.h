// Work that many threads need done after a step of their own, done once for all who need it at
// the same time (a group commit): a sync of a file or folder makes durable everything written
// before the sync began, so one sync serves every writer that asked before it began.
//
// Run takes a ticket and returns once a run of the work that began after the ticket has ended,
// with that run's result: while one run goes on, everyone who arrives waits, and the next run,
// started by one of them, serves them all. The work returns 0 or an error. A run that fails
// fails every caller it covered, and every caller whose ticket it ended after, whatever a later
// run returned; the next caller starts a new one. The work runs on a caller's thread, outside
// the lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace faxmail {

class GroupCommit {
 public:
  GroupCommit() = default;
  GroupCommit(const GroupCommit&) = delete;
  GroupCommit& operator=(const GroupCommit&) = delete;

  long Run(const std::function<long()>& work);
  // The tickets handed out so far: callers that have asked, waiting or served.
  std::uint64_t Tickets();

 private:
  std::mutex m_mutex;
  std::condition_variable m_done;
  std::uint64_t m_tickets = 0;  // handed out
  std::uint64_t m_covered = 0;  // every ticket up to this one has had its run
  bool m_running = false;
  long m_lastResult = 0;
  std::uint64_t m_failures = 0;  // runs that returned an error
  long m_lastFailure = 0;
};

}  // namespace faxmail
