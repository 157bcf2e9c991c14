// Spare files: a file given up leaves its name as DeleteFile would and comes back, empty, at
// the next name taken; files that are not the gateway's alone are never emptied, and where no
// spare can be kept everything works as without them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/spare_files.h"
#include "platform/file.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

class SpareFilesTest : public test::RootTest {
 protected:
  std::string Out() const { return Root() + "/OUT/"; }
  std::string SpareFolder() const { return Root() + "/.spare/"; }
  void SetUp() override {
    test::RootTest::SetUp();
    ASSERT_EQ(platform::CreateDirectory(Root() + "/OUT"), platform::kErrorSuccess);
  }
  static ino_t InodeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  }
  static std::vector<std::string> Names(const std::string& folder) {
    std::vector<platform::DirEntry> entries;
    platform::FindFiles(folder, "*", entries);
    std::vector<std::string> names;
    for (const auto& entry : entries) names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(SpareFilesTest, AFileGivenUpComesBackEmptyUnderTheNextNameTaken) {
  SpareFiles spares(SpareFolder());
  test::WriteWholeFile(Out() + "7.ENV3.dcd", std::string(5000, 'r'));
  const ino_t inode = InodeOf(Out() + "7.ENV3.dcd");
  ASSERT_EQ(spares.Give(Out() + "7.ENV3.dcd"), platform::kErrorSuccess);
  EXPECT_FALSE(platform::FileExists(Out() + "7.ENV3.dcd"));
  EXPECT_EQ(spares.Count(), 1u);
  // Out of the served folder, in a folder for the owner alone, and empty already.
  EXPECT_EQ(Names(Out()), std::vector<std::string>{});
  const std::vector<std::string> names = Names(SpareFolder());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(test::ReadWholeFile(SpareFolder() + names[0]), "");
  struct stat folder {};
  ASSERT_EQ(::lstat(SpareFolder().c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);

  test::WriteWholeFile(Out() + "8.rcpt.new", "an older file of that name");
  ASSERT_TRUE(spares.Take(Out() + "8.rcpt.new"));
  EXPECT_EQ(InodeOf(Out() + "8.rcpt.new"), inode);
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
  ASSERT_EQ(::link((Out() + "linked").c_str(), (Root() + "/elsewhere").c_str()), 0);
  EXPECT_EQ(spares.Give(Out() + "linked"), platform::kErrorSuccess);
  EXPECT_FALSE(platform::FileExists(Out() + "linked"));
  EXPECT_EQ(test::ReadWholeFile(Root() + "/elsewhere"), "keep me");
  // A symbolic link goes, its target stays whole.
  test::WriteWholeFile(Root() + "/target", "target text");
  ASSERT_EQ(::symlink((Root() + "/target").c_str(), (Out() + "link").c_str()), 0);
  EXPECT_EQ(spares.Give(Out() + "link"), platform::kErrorSuccess);
  EXPECT_EQ(test::ReadWholeFile(Root() + "/target"), "target text");
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
    ASSERT_EQ(::unlink((SpareFolder() + names[i]).c_str()), 0);
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
  ASSERT_EQ(::symlink(Out().c_str(), (Root() + "/a-link").c_str()), 0);
  const std::vector<Case> cases = {
      {"no folder given", ""},
      {"a file in the way", Root() + "/a-file/"},
      {"a symbolic link in the way", Root() + "/a-link/"},
      {"a parent that does not exist", Root() + "/missing/spare/"},
  };
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
