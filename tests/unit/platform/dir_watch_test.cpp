// The folder watcher: which arrivals wake it, what it lists, and how it ends a wait.
#include "platform/dir_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

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

// A watch of names keeps a mirror of the folder's names true: after each change, what the
// drained changes make of the mirror is what a listing shows.
TEST(DirectoryWatchNames, AMirrorFedByDrainedChangesMatchesAListing) {
  test::TempDir dir;
  test::WriteWholeFile(dir / "old.tmp", "x");
  DirectoryWatch watch;
  ASSERT_EQ(DirectoryWatch::Open(dir.Path(), watch, DirectoryWatch::Events::Names), 0);
  std::set<std::string> mirror = {"old.tmp"};
  struct Step {
    const char* what;
    std::function<void()> act;
  };
  const std::vector<Step> steps = {
      {"nothing", [] {}},
      {"a file is made", [&] { test::WriteWholeFile(dir / "ENV1", "x"); }},
      {"renamed to its ready name",
       [&] { ASSERT_EQ(RenameFile(dir / "ENV1", dir / "ENV1.tmp"), 0); }},
      {"renamed over another",
       [&] {
         test::WriteWholeFile(dir / "new", "x");
         ASSERT_EQ(RenameFile(dir / "new", dir / "old.tmp", true), 0);
       }},
      {"a folder is made", [&] { ASSERT_EQ(CreateDirectory(dir / "sub"), 0); }},
      {"a file below a folder is no name of this one",
       [&] { test::WriteWholeFile(dir / "sub/inner", "x"); }},
      {"a file is deleted", [&] { ASSERT_EQ(DeleteFile(dir / "ENV1.tmp"), 0); }},
      {"a written file keeps its name",
       [&] {
         File file;
         ASSERT_EQ(File::Open(dir / "old.tmp", Access::Write, Share::None,
                              Disposition::OpenExisting, file),
                   0);
         ASSERT_EQ(file.Write("more"), 0);
       }},
      {"many names at once",
       [&] {
         for (int i = 0; i < 50; ++i) test::WriteWholeFile(dir / ("m" + std::to_string(i)), "x");
         for (int i = 0; i < 50; i += 2) ASSERT_EQ(DeleteFile(dir / ("m" + std::to_string(i))), 0);
       }},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.act();
    std::vector<DirEntry> entries;
    ASSERT_EQ(FindFiles(dir.Path(), "*", entries), 0);
    std::set<std::string> listed;
    for (const DirEntry& entry : entries)
      if (!entry.isDirectory) listed.insert(entry.name);
    // Wine hands the file system's notices to its programs through a server of its own, a
    // moment after the change; the system and Linux have them before the change returns.
    const auto drain = [&] {
      std::vector<DirectoryWatch::NameChange> changes;
      EXPECT_EQ(watch.DrainNames(changes), DirectoryWatch::Drained::Complete);
      for (const auto& change : changes) {
        if (change.isDirectory) continue;
        if (change.added)
          mirror.insert(change.name);
        else
          mirror.erase(change.name);
      }
      return mirror == listed;
    };
    if (test::UnderWine())
      EXPECT_TRUE(test::WaitUntil(drain, std::chrono::seconds(10)));
    else
      EXPECT_TRUE(drain());
    EXPECT_EQ(mirror, listed);
    EXPECT_TRUE(watch.Watches(dir.Path()));
  }
}

TEST(DirectoryWatchNames, AFolderMovedAwayIsNoLongerWatched) {
  test::TempDir dir;
  ASSERT_EQ(CreateDirectory(dir / "IN"), 0);
  DirectoryWatch watch;
  ASSERT_EQ(DirectoryWatch::Open(dir / "IN", watch, DirectoryWatch::Events::Names), 0);
  EXPECT_TRUE(watch.Watches(dir / "IN"));
  EXPECT_FALSE(watch.Watches(dir.Path()));
  ASSERT_EQ(RenameFile(dir / "IN", dir / "moved"), 0);
  ASSERT_EQ(CreateDirectory(dir / "IN"), 0);
  EXPECT_FALSE(watch.Watches(dir / "IN")) << "a new folder of the same name is another";
  DirectoryWatch moved = std::move(watch);
  EXPECT_TRUE(moved.Watches(dir / "moved")) << "the watch follows the folder it was opened on";
}

}  // namespace
}  // namespace faxmail::platform
