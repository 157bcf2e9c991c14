// Spare files: a file given up leaves its name as DeleteFile would and comes back, empty, at
// the next name taken; files that are not the gateway's alone are never emptied, and where no
// spare can be kept everything works as without them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/spare_files.h"
#include "platform/file.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"
#include "tests/unit/common/spare_files_test_fixture.h"

namespace faxmail {
namespace {

using test::SpareFilesTest;
namespace fs = std::filesystem;

TEST_F(SpareFilesTest, AFileGivenUpComesBackEmptyUnderTheNextNameTaken) {
  SpareFiles spares(SpareFolder());
  test::WriteWholeFile(Out() + "7.ENV3.dcd", std::string(5000, 'r'));
  ASSERT_EQ(spares.Give(Out() + "7.ENV3.dcd"), platform::kErrorSuccess);
  EXPECT_FALSE(platform::FileExists(Out() + "7.ENV3.dcd"));
  EXPECT_EQ(spares.Count(), 1u);
  // Out of the served folder, in a folder for the owner alone, and empty already.
  EXPECT_EQ(Names(Out()), std::vector<std::string>{});
  const std::vector<std::string> names = Names(SpareFolder());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(test::ReadWholeFile(SpareFolder() + names[0]), "");

  test::WriteWholeFile(Out() + "8.rcpt.new", "an older file of that name");
  ASSERT_TRUE(spares.Take(Out() + "8.rcpt.new"));
  EXPECT_EQ(test::ReadWholeFile(Out() + "8.rcpt.new"), "");
  EXPECT_EQ(spares.Count(), 0u);
  EXPECT_EQ(Names(Out()), std::vector<std::string>{"8.rcpt.new"});
  EXPECT_EQ(Names(SpareFolder()), std::vector<std::string>{});
  // None left: the caller makes a new file.
  EXPECT_FALSE(spares.Take(Out() + "9.rcpt.new"));
  EXPECT_FALSE(platform::FileExists(Out() + "9.rcpt.new"));
}

TEST_F(SpareFilesTest, WhatIsNotAPlainFileOfOurOwnIsGivenUpAsDeleteFileWouldDoIt) {
  SpareFiles spares(SpareFolder());
  // A second name: the file is another's as well, so it is neither kept nor emptied.
  test::WriteWholeFile(Out() + "linked", "keep me");
  fs::create_hard_link(Out() + "linked", Root() + "/elsewhere");
  EXPECT_EQ(spares.Give(Out() + "linked"), platform::kErrorSuccess);
  EXPECT_FALSE(platform::FileExists(Out() + "linked"));
  EXPECT_EQ(test::ReadWholeFile(Root() + "/elsewhere"), "keep me");
  // A symbolic link goes, its target stays whole (where links can be made: not under Wine).
  test::WriteWholeFile(Root() + "/target", "target text");
  std::error_code noLink;
  fs::create_symlink(Root() + "/target", Out() + "link", noLink);
  if (!noLink || !test::UnderWine()) {
    ASSERT_FALSE(noLink) << noLink.message();
    EXPECT_EQ(spares.Give(Out() + "link"), platform::kErrorSuccess);
    EXPECT_EQ(test::ReadWholeFile(Root() + "/target"), "target text");
  }
  // A folder is refused, a missing name reported.
  ASSERT_EQ(platform::CreateDirectory(Out() + "folder"), platform::kErrorSuccess);
  EXPECT_EQ(spares.Give(Out() + "folder"), platform::DeleteFile(Out() + "folder"));
  EXPECT_TRUE(platform::DirectoryExists(Out() + "folder"));
  EXPECT_EQ(spares.Give(Out() + "missing"), platform::DeleteFile(Out() + "missing"));
  EXPECT_NE(spares.Give(Out() + "missing"), platform::kErrorSuccess);
  EXPECT_EQ(spares.Count(), 0u);
  EXPECT_EQ(Names(Out()), std::vector<std::string>{"folder"});
  EXPECT_EQ(Names(SpareFolder()), std::vector<std::string>{});
}

TEST_F(SpareFilesTest, ABoundedNumberIsKeptAndASpareRemovedMeanwhileIsPassedOver) {
  SpareFiles spares(SpareFolder());
  for (std::size_t i = 0; i < kMaxSpareFiles + 10; ++i) {
    const std::string path = Out() + std::to_string(i) + ".rcpt";
    test::WriteWholeFile(path, "TO:<x@y>\n");
    ASSERT_EQ(spares.Give(path), platform::kErrorSuccess);
    EXPECT_FALSE(platform::FileExists(path));
  }
  EXPECT_EQ(spares.Count(), kMaxSpareFiles);
  EXPECT_EQ(Names(SpareFolder()).size(), kMaxSpareFiles);
  EXPECT_EQ(Names(Out()), std::vector<std::string>{});

  // Someone removed every spare but one: Take skips the missing ones and finds it.
  std::vector<std::string> names = Names(SpareFolder());
  for (std::size_t i = 1; i < names.size(); ++i)
    ASSERT_EQ(platform::DeleteFile(SpareFolder() + names[i]), platform::kErrorSuccess);
  EXPECT_TRUE(spares.Take(Out() + "Msgcnt.imp"));
  EXPECT_TRUE(platform::FileExists(Out() + "Msgcnt.imp"));
  EXPECT_FALSE(spares.Take(Out() + "other"));
  EXPECT_EQ(Names(Out()), std::vector<std::string>{"Msgcnt.imp"});
  EXPECT_EQ(spares.Count(), 0u);
}

TEST_F(SpareFilesTest, LeftoverSparesOfAnEarlierRunAreRemovedAndNothingElse) {
  {
    SpareFiles earlier(SpareFolder());
    for (int i = 0; i < 3; ++i) {
      test::WriteWholeFile(Out() + "f" + std::to_string(i), "x");
      ASSERT_EQ(earlier.Give(Out() + "f" + std::to_string(i)), platform::kErrorSuccess);
    }
  }
  test::WriteWholeFile(Out() + "ENV1.tmp", "envelope");
  SpareFiles later(SpareFolder());
  EXPECT_EQ(later.RemoveLeftovers(), 3);
  EXPECT_EQ(Names(SpareFolder()), std::vector<std::string>{});
  EXPECT_EQ(Names(Out()), std::vector<std::string>{"ENV1.tmp"});
  // A spare name taken on disk is never overwritten: the file given up is deleted instead.
  test::WriteWholeFile(SpareFolder() + "0", "not ours");
  test::WriteWholeFile(Out() + "g", "x");
  EXPECT_EQ(later.Give(Out() + "g"), platform::kErrorSuccess);
  EXPECT_FALSE(platform::FileExists(Out() + "g"));
  EXPECT_EQ(test::ReadWholeFile(SpareFolder() + "0"), "not ours");
  EXPECT_EQ(later.Count(), 0u);
}

TEST_F(SpareFilesTest, WithoutAFolderOfItsOwnNothingIsKeptAndFilesAreDeleted) {
  struct Case {
    const char* why;
    std::string folder;
  };
  test::WriteWholeFile(Root() + "/a-file", "x");
  std::vector<Case> cases = {
      {"no folder given", ""},
      {"a file in the way", Root() + "/a-file/"},
      {"a parent that does not exist", Root() + "/missing/spare/"},
  };
  // Where links can be made (not under Wine).
  std::error_code noLink;
  fs::create_directory_symlink(Root() + "/OUT", Root() + "/a-link", noLink);
  if (!noLink || !test::UnderWine()) {
    ASSERT_FALSE(noLink) << noLink.message();
    cases.push_back({"a symbolic link in the way", Root() + "/a-link/"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    SpareFiles spares(c.folder);
    test::WriteWholeFile(Out() + "7.rcpt", "TO:<x@y>\n");
    EXPECT_EQ(spares.Give(Out() + "7.rcpt"), platform::kErrorSuccess);
    EXPECT_FALSE(platform::FileExists(Out() + "7.rcpt"));
    EXPECT_EQ(spares.Count(), 0u);
    EXPECT_FALSE(spares.Take(Out() + "8.rcpt.new"));
    EXPECT_EQ(Names(Out()), std::vector<std::string>{});
  }
  EXPECT_EQ(test::ReadWholeFile(Root() + "/a-file"), "x");
}

}  // namespace
}  // namespace faxmail
