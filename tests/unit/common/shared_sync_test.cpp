// Shared folder syncs: every caller returns, with the result of a sync that began after it
// asked; callers that ask while a sync runs share the next one rather than each having one.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/shared_sync.h"
#include "platform/file.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

class SharedFolderSyncTest : public test::RootTest {};

TEST_F(SharedFolderSyncTest, ManyCallersAtOnceAllReturnTheResultOfTheirFolder) {
  struct Case {
    const char* why;
    std::string folder;
    bool succeeds;
  };
  const std::vector<Case> cases = {
      {"a folder", Root(), true},
      {"a folder that does not exist", Root() + "/missing", false},
      {"a file, not a folder", Root() + "/file", false},
  };
  test::WriteWholeFile(Root() + "/file", "x");
  SharedFolderSync sync;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    constexpr int kThreads = 16;
    constexpr int kRounds = 50;
    std::atomic<int> failures{0};
    std::atomic<int> successes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&] {
        for (int r = 0; r < kRounds; ++r)
          (sync.Sync(c.folder) == platform::kErrorSuccess ? successes : failures)++;
      });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(successes.load() + failures.load(), kThreads * kRounds);
    EXPECT_EQ(c.succeeds ? failures.load() : successes.load(), 0);
  }
}

// Two folders are synced independently: a failing one does not make the other fail.
TEST_F(SharedFolderSyncTest, FoldersDoNotShareResults) {
  SharedFolderSync sync;
  std::atomic<bool> goodFailed{false};
  std::atomic<bool> badSucceeded{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int r = 0; r < 40; ++r) {
        if (t % 2 == 0 && sync.Sync(Root()) != platform::kErrorSuccess) goodFailed = true;
        if (t % 2 == 1 && sync.Sync(Root() + "/none") == platform::kErrorSuccess)
          badSucceeded = true;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(goodFailed.load());
  EXPECT_FALSE(badSucceeded.load());
}

}  // namespace
}  // namespace faxmail
