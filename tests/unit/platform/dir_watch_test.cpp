// The folder watcher: which arrivals wake it, what it lists, and how it ends a wait.
#include "platform/dir_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/file.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {
namespace {

using namespace std::chrono_literals;
using Woken = DirectoryWatch::Woken;

bool EndsInTmp(std::string_view name) { return name.ends_with(".tmp"); }

TEST(DirectoryWatch, ArrivalsOfWantedNames) {
  struct Case {
    const char* what;
    std::function<void(const test::TempDir&)> act;
    Woken woken;
    std::vector<std::string> listed;
  };
  const Case cases[] = {
      {"nothing happens", [](const test::TempDir&) {}, Woken::Timeout, {}},
      {"another name is written",
       [](const test::TempDir& dir) { test::WriteWholeFile(dir / "a.part", "x"); },
       Woken::Timeout,
       {}},
      {"renamed in, replacing",
       [](const test::TempDir& dir) {
         test::WriteWholeFile(dir / "a.part", "x");
         ASSERT_EQ(RenameFile(dir / "a.part", dir / "a.tmp", true), 0);
       },
       Woken::Arrival,
       {"a.tmp"}},
      {"renamed in, never replacing",
       [](const test::TempDir& dir) {
         test::WriteWholeFile(dir / "b.part", "x");
         ASSERT_EQ(RenameFile(dir / "b.part", dir / "b.tmp", false), 0);
       },
       Woken::Arrival,
       {"b.tmp"}},
      {"an existing ready file closed after writing",
       [](const test::TempDir& dir) {
         File file;
         ASSERT_EQ(
             File::Open(dir / "c.tmp", Access::Write, Share::None, Disposition::OpenExisting, file),
             0);
         ASSERT_EQ(file.Write("new"), 0);
         file.Close();
       },
       Woken::Arrival,
       {}},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    test::WriteWholeFile(dir / "c.tmp", "old");
    DirectoryWatch watch;
    ASSERT_EQ(DirectoryWatch::Open(dir.Path(), watch), 0);
    c.act(dir);
    std::vector<std::string> listed;
    EXPECT_EQ(watch.Wait(300ms, EndsInTmp, &listed), c.woken) << c.what;
    EXPECT_EQ(listed, c.listed) << c.what;
  }
}

TEST(DirectoryWatch, InterruptEndsAWaitFromAnotherThread) {
  test::TempDir dir;
  DirectoryWatch watch;
  ASSERT_EQ(DirectoryWatch::Open(dir.Path(), watch), 0);
  std::thread other([&] {
    std::this_thread::sleep_for(100ms);
    watch.Interrupt();
  });
  EXPECT_EQ(watch.Wait(1h, EndsInTmp), Woken::Interrupted);
  other.join();
  // An interrupt before the wait is kept for it.
  watch.Interrupt();
  EXPECT_EQ(watch.Wait(1h, EndsInTmp), Woken::Interrupted);
}

TEST(DirectoryWatch, FolderThatCannotBeWatched) {
  test::TempDir dir;
  DirectoryWatch watch;
  EXPECT_EQ(DirectoryWatch::Open(dir / "missing", watch), kErrorFileNotFound);
  test::WriteWholeFile(dir / "file", "x");
  EXPECT_NE(DirectoryWatch::Open(dir / "file", watch), 0);
  EXPECT_FALSE(watch.IsOpen());
  // A watcher that is not open never blocks.
  EXPECT_EQ(watch.Wait(1h, EndsInTmp), Woken::Timeout);
}

}  // namespace
}  // namespace faxmail::platform
