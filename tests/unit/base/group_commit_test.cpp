// A shared sync must cover each of its waiters: every caller's own step (its write, its
// rename) comes before the start of the run that returns to it. The work here is a fake sync
// that records which steps it saw done when it began.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/group_commit.h"

namespace faxmail {
namespace {

TEST(GroupCommit, EveryCallerIsServedByARunThatBeganAfterItsStep) {
  constexpr int kThreads = 12;
  constexpr int kRounds = 200;
  GroupCommit commit;
  std::atomic<std::uint64_t> steps{0};
  std::mutex runsLock;
  std::vector<std::uint64_t> stepsSeenAtStart;  // by run: the steps done when it began
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  const auto fakeSync = [&]() -> long {
    if (running.fetch_add(1) != 0) overlapped = true;
    long id = 0;
    {
      std::lock_guard lock(runsLock);
      stepsSeenAtStart.push_back(steps.load());
      id = static_cast<long>(stepsSeenAtStart.size());
    }
    std::this_thread::yield();  // lets others arrive and wait for the next run
    running.fetch_sub(1);
    return id;
  };
  std::atomic<int> uncovered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int r = 0; r < kRounds; ++r) {
        const std::uint64_t mine = ++steps;  // this caller's own step, done before it asks
        const long run = commit.Run(fakeSync);
        std::lock_guard lock(runsLock);
        if (run < 1 || static_cast<std::size_t>(run) > stepsSeenAtStart.size() ||
            stepsSeenAtStart[static_cast<std::size_t>(run) - 1] < mine)
          ++uncovered;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(uncovered.load(), 0);
  EXPECT_FALSE(overlapped.load());  // one run at a time
  EXPECT_LE(stepsSeenAtStart.size(), std::size_t{kThreads * kRounds});
}

// Waits until count callers have taken their tickets.
void WaitForTickets(GroupCommit& commit, std::uint64_t count) {
  while (commit.Tickets() < count) std::this_thread::yield();
}

// A sync that fails may drop what it could not write for good, and a later sync then succeeds
// without it. So a run that fails while callers wait fails them all, also when a later run,
// their own or another's, succeeds before they return.
TEST(GroupCommit, CallersThatWaitedThroughAFailedRunAreNotToldOfALaterSuccess) {
  GroupCommit commit;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  int laterRuns = 0;
  std::atomic<long> first{-1};
  std::thread failing([&] {
    first = commit.Run([&] {
      released.wait();
      return 5L;
    });
  });
  WaitForTickets(commit, 1);
  // Two callers arrive while the failing run goes on: one of them runs the next sync, which
  // succeeds and covers both.
  std::atomic<long> a{-1};
  std::atomic<long> b{-1};
  std::mutex runsLock;
  const auto working = [&] {
    std::lock_guard lock(runsLock);
    return ++laterRuns, 0L;
  };
  std::thread callerA([&] { a = commit.Run(working); });
  std::thread callerB([&] { b = commit.Run(working); });
  WaitForTickets(commit, 3);
  release.set_value();
  failing.join();
  callerA.join();
  callerB.join();
  EXPECT_EQ(first.load(), 5);
  EXPECT_EQ(a.load(), 5);
  EXPECT_EQ(b.load(), 5);
  EXPECT_EQ(laterRuns, 1);  // one run served both
  // A caller that arrives after the failure is told what its own run gives.
  EXPECT_EQ(commit.Run(working), 0);
}

TEST(GroupCommit, AFailedRunFailsItsCallersAndTheNextCallerRunsAgain) {
  GroupCommit commit;
  int runs = 0;
  const auto failing = [&] { return ++runs, 5L; };
  const auto working = [&] { return ++runs, 0L; };
  EXPECT_EQ(commit.Run(failing), 5);
  EXPECT_EQ(commit.Run(working), 0);
  EXPECT_EQ(commit.Run(working), 0);
  EXPECT_EQ(runs, 3);  // alone, every caller needs a run of its own
}

TEST(GroupCommit, AThrowingRunLeavesNoOneWaitingForIt) {
  GroupCommit commit;
  EXPECT_THROW(commit.Run([]() -> long { throw std::runtime_error("no sync"); }),
               std::runtime_error);
  bool ran = false;
  EXPECT_EQ(commit.Run([&] { return ran = true, 0L; }), 0);
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace faxmail
