// The folder name mirror where the system it stands in for is POSIX: another process's changes
// made by the shell, the system's queue of notices overrun, the folder replaced under it.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "common/auto_file.h"
#include "common/folder_names.h"
#include "platform/file.h"
#include "tests/support/test_support.h"
#include "tests/unit/common/folder_names_test_fixture.h"

namespace faxmail {
namespace {

using test::FolderNamesTest;
using test::WriteWholeFile;

// Another process makes a file of the first candidate's stem (and removes one) just before
// CreateAutoFile asks: the names handed out are those a listing gives.
TEST_F(FolderNamesTest, AnotherProcessesFilesAreSeenRightAway) {
  FolderNames names("~");
  std::string name;
  ASSERT_EQ(CreateAutoFile("ATTC", "imp", Out(), name, nullptr, &names), kAutoFileCreated);
  EXPECT_EQ(name, "~ATTC000.imp");
  Shell("rm OUT/~ATTC000.imp && : > OUT/~ATTC000.env && : > OUT/~attc001.TIF");
  ASSERT_EQ(CreateAutoFile("ATTC", "imp", Out(), name, nullptr, &names), kAutoFileCreated);
  EXPECT_EQ(name, "~ATTC002.imp");
  Shell("rm OUT/~ATTC000.env");
  ASSERT_EQ(CreateAutoFile("ATTC", "imp", Out(), name, nullptr, &names), kAutoFileCreated);
  EXPECT_EQ(name, "~ATTC000.imp");
  EXPECT_EQ(names.Rebuilds(), 1u);
}

// Notices lost (more changes than the system queues between two questions): the mirror is
// made again from a listing, and what changed meanwhile is in it.
TEST_F(FolderNamesTest, LostNoticesFallBackToAListing) {
  int queued = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
  FolderNames names("~");
  ASSERT_EQ(names.CountStem(Out(), "~ATTC000", 1), 0);
  // Each create and delete is a notice: twice the queue's room, and one file that stays.
  for (int i = 0; i < queued; ++i) {
    WriteWholeFile(Out() + "f", "");
    ASSERT_EQ(platform::DeleteFile(Out() + "f"), 0);
  }
  WriteWholeFile(Out() + "~ATTC000.env", "");
  EXPECT_EQ(names.CountStem(Out(), "~ATTC000", 1), 1);
  EXPECT_EQ(names.Rebuilds(), 2u);
  // And the new mirror goes on from there.
  Shell("rm OUT/~ATTC000.env");
  EXPECT_EQ(names.CountStem(Out(), "~ATTC000", 1), 0);
  EXPECT_EQ(names.Rebuilds(), 2u);
}

// The folder renamed away and another put in its place: the new folder's names count.
TEST_F(FolderNamesTest, AReplacedFolderIsListedAgain) {
  FolderNames names("~");
  WriteWholeFile(Out() + "~ATTC000.imp", "");
  ASSERT_EQ(names.CountStem(Out(), "~ATTC000", 1), 1);
  Shell("mv OUT OUT.old && mkdir OUT && : > OUT/~ATTC001.env");
  EXPECT_EQ(names.CountStem(Out(), "~ATTC000", 1), 0);
  EXPECT_EQ(names.CountStem(Out(), "~ATTC001", 1), 1);
  // Deleted outright: nothing of it is taken, as a listing takes nothing.
  Shell("rm -r OUT");
  EXPECT_EQ(names.CountStem(Out(), "~ATTC001", 1), 0);
}

}  // namespace
}  // namespace faxmail
