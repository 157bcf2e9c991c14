// Threads started through the platform layer: every body gets an id of its own, its stack
// size and a clear error state whether it runs on a new OS thread or on a parked one; Join waits
// for the body and what it captured; bodies started from many threads at once each run once;
// a child after fork starts threads of its own.
#include "platform/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <functional>
#include <latch>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/win_error.h"

namespace faxmail::platform {
namespace {

using namespace std::chrono_literals;

// Starts body, waits for it and returns the kernel's id of the OS thread it ran on.
pid_t RunOnce(
    std::size_t stackSize, const std::function<void()>& body = [] {}) {
  std::atomic<pid_t> tid{0};
  Thread thread;
  EXPECT_EQ(Thread::Start(
                [&] {
                  tid.store(::gettid());
                  body();
                },
                stackSize, thread),
            kErrorSuccess);
  thread.Join();
  return tid.load();
}

// Each body runs on the scheduling it asked for, whatever the body before it on the same parked
// OS thread asked for: a session's batch policy does not stay with the thread for the next.
TEST(ThreadTest, EachBodyRunsOnTheSchedulingItAskedFor) {
  const Thread::Scheduling asked[] = {
      Thread::Scheduling::kThroughput, Thread::Scheduling::kThroughput, Thread::Scheduling::kNormal,
      Thread::Scheduling::kThroughput, Thread::Scheduling::kNormal,     Thread::Scheduling::kNormal,
  };
  std::set<pid_t> osThreads;
  for (const Thread::Scheduling scheduling : asked) {
    std::atomic<int> policy{-1};
    std::atomic<pid_t> tid{0};
    Thread thread;
    ASSERT_EQ(Thread::Start(
                  [&] {
                    tid.store(::gettid());
                    policy.store(::sched_getscheduler(0));
                  },
                  0, thread, scheduling),
              kErrorSuccess);
    thread.Join();
    osThreads.insert(tid.load());
    EXPECT_EQ(policy.load(),
              scheduling == Thread::Scheduling::kThroughput ? SCHED_BATCH : SCHED_OTHER);
  }
  // Parked threads ran the later bodies: the policy was changed back and forth on them.
  EXPECT_LT(osThreads.size(), std::size(asked));
}

TEST(ThreadTest, CallerNotStartedHereHasIdZero) { EXPECT_EQ(Thread::CurrentId(), 0u); }

TEST(ThreadTest, BodyOfAJoinedThreadRunsTheNextStartOnTheSameOsThread) {
  const pid_t first = RunOnce(0);
  const pid_t second = RunOnce(0);
  EXPECT_NE(first, ::gettid());
  EXPECT_EQ(second, first);
}

// Started one after the other, and many held at once: either way every body reads back the
// id its handle has, and no id comes twice, parked threads or not.
struct IdCase {
  const char* name;
  std::size_t heldAtOnce;
};

void PrintTo(const IdCase& c, std::ostream* out) { *out << c.name; }

class ThreadIdTest : public ::testing::TestWithParam<IdCase> {};

TEST_P(ThreadIdTest, EveryBodyHasItsOwnIdAndReadsItBack) {
  constexpr std::size_t kBodies = 300;
  const std::size_t batch = GetParam().heldAtOnce;
  std::vector<Thread::Id> seen(kBodies, 0);
  std::vector<Thread::Id> given(kBodies, 0);
  std::vector<pid_t> tids(kBodies, 0);
  for (std::size_t start = 0; start < kBodies; start += batch) {
    std::vector<Thread> threads(batch);
    for (std::size_t i = start; i < start + batch && i < kBodies; ++i) {
      ASSERT_EQ(Thread::Start(
                    [&seen, &tids, i] {
                      seen[i] = Thread::CurrentId();
                      tids[i] = ::gettid();
                    },
                    0, threads[i - start]),
                kErrorSuccess);
      given[i] = threads[i - start].GetId();
    }
    for (Thread& thread : threads) thread.Join();
  }
  std::set<Thread::Id> unique;
  for (std::size_t i = 0; i < kBodies; ++i) {
    EXPECT_NE(seen[i], 0u) << i;
    EXPECT_EQ(seen[i], given[i]) << i;
    unique.insert(seen[i]);
  }
  EXPECT_EQ(unique.size(), kBodies);
  // The ids stayed apart although OS threads ran several bodies each.
  EXPECT_LT(std::set<pid_t>(tids.begin(), tids.end()).size(), kBodies);
}

INSTANTIATE_TEST_SUITE_P(Patterns, ThreadIdTest,
                         ::testing::Values(IdCase{"OneAtATime", 1}, IdCase{"TwentyAtOnce", 20}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

// Join waits for the body, and for what the body captured, on a new OS thread and on one that
// ran a body before.
struct JoinCase {
  const char* name;
  bool warm;  // a body ran and was joined first, so this one reuses its thread
};

void PrintTo(const JoinCase& c, std::ostream* out) { *out << c.name; }

class ThreadJoinTest : public ::testing::TestWithParam<JoinCase> {};

TEST_P(ThreadJoinTest, JoinReturnsOnlyOnceTheBodyAndItsCapturesAreDone) {
  if (GetParam().warm) RunOnce(0);
  std::atomic<bool> finished{false};
  auto captured = std::make_shared<int>(7);
  std::weak_ptr<int> watch = captured;
  Thread thread;
  ASSERT_EQ(Thread::Start(
                [&finished, captured = std::move(captured)] {
                  std::this_thread::sleep_for(100ms);
                  finished.store(*captured == 7);
                },
                0, thread),
            kErrorSuccess);
  EXPECT_TRUE(thread.IsHeld());
  thread.Join();
  EXPECT_FALSE(thread.IsHeld());
  EXPECT_TRUE(finished.load());
  EXPECT_TRUE(watch.expired());
}

INSTANTIATE_TEST_SUITE_P(Threads, ThreadJoinTest,
                         ::testing::Values(JoinCase{"New", false}, JoinCase{"Reused", true}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

std::size_t StackSizeOfCaller() {
  pthread_attr_t attributes;
  if (::pthread_getattr_np(::pthread_self(), &attributes) != 0) return 0;
  std::size_t size = 0;
  ::pthread_attr_getstacksize(&attributes, &size);
  ::pthread_attr_destroy(&attributes);
  return size;
}

// A thread parked after a body of one stack size takes only bodies asking for that size.
struct StackCase {
  std::size_t first;
  std::size_t second;
};

std::string StackName(std::size_t size) {
  return size == 0 ? std::string("Default") : std::to_string(size);
}

void PrintTo(const StackCase& c, std::ostream* out) {
  *out << StackName(c.first) << "Then" << StackName(c.second);
}

class ThreadStackTest : public ::testing::TestWithParam<StackCase> {};

TEST_P(ThreadStackTest, ParkedThreadTakesOnlyBodiesOfItsStackSize) {
  const auto [first, second] = GetParam();
  std::size_t firstStack = 0;
  std::size_t secondStack = 0;
  const pid_t firstTid = RunOnce(first, [&] { firstStack = StackSizeOfCaller(); });
  const pid_t secondTid = RunOnce(second, [&] { secondStack = StackSizeOfCaller(); });
  const auto atLeast = [](std::size_t asked) {
    return std::max(asked, static_cast<std::size_t>(PTHREAD_STACK_MIN));
  };
  EXPECT_GE(firstStack, atLeast(first));
  EXPECT_GE(secondStack, atLeast(second));
  if (first == second)
    EXPECT_EQ(secondTid, firstTid);
  else
    EXPECT_NE(secondTid, firstTid);
}

constexpr std::size_t kKiB = 1024;

INSTANTIATE_TEST_SUITE_P(Sizes, ThreadStackTest,
                         ::testing::Values(StackCase{0, 0}, StackCase{1024 * kKiB, 1024 * kKiB},
                                           StackCase{256 * kKiB, 4096 * kKiB},
                                           StackCase{4096 * kKiB, 256 * kKiB},
                                           StackCase{0, 1024 * kKiB}, StackCase{1024 * kKiB, 0},
                                           StackCase{1, 1}, StackCase{1, 512 * kKiB}),
                         [](const auto& testInfo) {
                           return StackName(testInfo.param.first) + "Then" +
                                  StackName(testInfo.param.second);
                         });

// What one body leaves in the thread's error state, the next body on that OS thread does not
// find.
struct LeftStateCase {
  const char* name;
  void (*leave)();
  long (*read)();
  long fresh;
};

void PrintTo(const LeftStateCase& c, std::ostream* out) { *out << c.name; }

class ThreadLeftStateTest : public ::testing::TestWithParam<LeftStateCase> {};

TEST_P(ThreadLeftStateTest, ReusedThreadStartsTheBodyAsANewThreadWould) {
  const LeftStateCase& c = GetParam();
  const pid_t first = RunOnce(0, c.leave);
  long seen = -1;
  const pid_t second = RunOnce(0, [&] { seen = c.read(); });
  ASSERT_EQ(second, first);  // else this would say nothing of a reused thread
  EXPECT_EQ(seen, c.fresh);
}

INSTANTIATE_TEST_SUITE_P(
    State, ThreadLeftStateTest,
    ::testing::Values(LeftStateCase{"LastError", [] { SetLastError(kErrorAccessDenied); },
                                    [] { return LastError(); }, kErrorSuccess},
                      LeftStateCase{"Errno", [] { errno = EACCES; },
                                    [] { return static_cast<long>(errno); }, 0}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(ThreadTest, BodyOfALetGoHandleRunsOn) {
  std::latch go(1);
  std::latch ran(1);
  {
    Thread thread;
    ASSERT_EQ(Thread::Start(
                  [&] {
                    go.wait();
                    ran.count_down();
                  },
                  0, thread),
              kErrorSuccess);
    // The handle goes out of scope unjoined, with the body still waiting.
  }
  go.count_down();
  ran.wait();
}

TEST(ThreadTest, ManyBodiesStartedFromSeveralThreadsEachRunOnce) {
  constexpr std::size_t kStarters = 4;
  constexpr std::size_t kPerStarter = 50;
  constexpr std::size_t kHeldPerStarter = 5;  // twenty bodies at once in all
  constexpr std::size_t kDetachEvery = 7;
  constexpr std::size_t kBodies = kStarters * kPerStarter;
  std::array<std::atomic<int>, kBodies> runs{};
  std::array<std::atomic<Thread::Id>, kBodies> ids{};
  std::latch allRan(kBodies);
  std::atomic<int> failures{0};
  std::vector<std::thread> starters;
  for (std::size_t s = 0; s < kStarters; ++s) {
    starters.emplace_back([&, s] {
      std::array<Thread, kHeldPerStarter> held;
      for (std::size_t n = 0; n < kPerStarter; ++n) {
        const std::size_t index = s * kPerStarter + n;
        Thread& slot = held[n % kHeldPerStarter];
        slot.Join();  // the oldest one, if still held
        if (Thread::Start(
                [&, index] {
                  runs[index].fetch_add(1);
                  ids[index].store(Thread::CurrentId());
                  allRan.count_down();
                },
                index % 3 == 0 ? 1024 * kKiB : 0, slot) != kErrorSuccess) {
          failures.fetch_add(1);
          allRan.count_down();
          continue;
        }
        if (index % kDetachEvery == 0) slot.Detach();
      }
      for (Thread& thread : held) thread.Join();
    });
  }
  for (std::thread& starter : starters) starter.join();
  allRan.wait();
  EXPECT_EQ(failures.load(), 0);
  std::set<Thread::Id> unique;
  for (std::size_t i = 0; i < kBodies; ++i) {
    EXPECT_EQ(runs[i].load(), 1) << i;
    unique.insert(ids[i].load());
  }
  EXPECT_EQ(unique.size(), kBodies);
  EXPECT_EQ(unique.count(0), 0u);
}

TEST(ThreadTest, ChildAfterForkStartsAndJoinsAThread) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer ends a child that starts threads after a fork";
#endif
  // A parked thread in the parent, which the child does not have.
  RunOnce(0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(20);  // a body handed to a thread the child lacks would never run
    std::atomic<bool> ran{false};
    Thread thread;
    if (Thread::Start([&] { ran.store(true); }, 0, thread) != kErrorSuccess) ::_exit(2);
    thread.Join();
    // And the child's own thread, parked now, serves the next body.
    const pid_t first = RunOnce(0);
    const pid_t second = RunOnce(0);
    ::_exit(ran.load() && first == second ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace faxmail::platform
