// Spare files: a file given up leaves its name as DeleteFile would and comes back, empty, at
// the next name taken; files that are not the gateway's alone are never emptied, and where no
// spare can be kept everything works as without them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
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

// A file of a record's worth keeps its data as a spare, to be written over by the next record
// (TakeInPlace hands it out first); a name taken (Take, TakeNew) only ever gets an empty spare,
// so it never shows old data, and a larger file is emptied when given up.
TEST_F(SpareFilesTest, ASmallFileKeepsItsDataForTheNextRecordAndNamesTakenComeUpEmpty) {
  const struct {
    const char* what;
    std::size_t size;
    bool keepsData;
  } cases[] = {
      {"empty", 0, false},
      {"one byte", 1, true},
      {"a record", 23, true},
      {"the most kept", kKeptSpareData, true},
      {"one byte more", kKeptSpareData + 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const bool takeNew : {false, true}) {
      SpareFiles spares(SpareFolder());
      const std::string text(c.size, 'r');
      test::WriteWholeFile(Out() + "1.ENV1.dcd", text);
      ASSERT_EQ(spares.Give(Out() + "1.ENV1.dcd", SpareData::kKept), platform::kErrorSuccess);
      const std::vector<std::string> names = Names(SpareFolder());
      ASSERT_EQ(names.size(), 1u);
      EXPECT_EQ(test::ReadWholeFile(SpareFolder() + names[0]), c.keepsData ? text : "");
      const std::string taken = Out() + (takeNew ? "~ATTC000.imp" : "Msgcnt.imp");
      const bool gotOne =
          takeNew ? spares.TakeNew(taken) == SpareFiles::Claim::kTaken : spares.Take(taken);
      EXPECT_EQ(gotOne, !c.keepsData);
      EXPECT_EQ(platform::FileExists(taken), !c.keepsData);
      if (gotOne) {
        EXPECT_EQ(test::ReadWholeFile(taken), "");
      }
      platform::DeleteFile(taken);
      EXPECT_EQ(spares.Count(), c.keepsData ? 1u : 0u);
      // A record is written over the spare that kept its data.
      const std::optional<std::string> inPlace = spares.TakeInPlace();
      EXPECT_EQ(inPlace.has_value(), c.keepsData);
      if (inPlace) {
        EXPECT_EQ(test::ReadWholeFile(*inPlace), text);
        platform::DeleteFile(*inPlace);
      }
    }
  }

  // Of an empty spare and one that kept its data, a record is written over the latter whichever
  // came first, and a name taken gets the former.
  SpareFiles spares(SpareFolder());
  test::WriteWholeFile(Out() + "b", "TO:<x@y>\n");
  test::WriteWholeFile(Out() + "a", "");
  ASSERT_EQ(spares.Give(Out() + "b", SpareData::kKept), platform::kErrorSuccess);
  ASSERT_EQ(spares.Give(Out() + "a", SpareData::kKept), platform::kErrorSuccess);
  const std::optional<std::string> inPlace = spares.TakeInPlace();
  ASSERT_TRUE(inPlace.has_value());
  EXPECT_EQ(test::ReadWholeFile(*inPlace), "TO:<x@y>\n");
  EXPECT_TRUE(spares.Take(Out() + "Msgcnt.imp"));
  EXPECT_EQ(spares.TakeInPlace(), std::nullopt);
}

// Only so many spares keep their data; a file given up beyond them is emptied, as is one given
// up to be emptied, and these serve names taken.
TEST_F(SpareFilesTest, FilesGivenUpBeyondTheHoldingSparesAreEmptied) {
  SpareFiles spares(SpareFolder());
  for (std::size_t i = 0; i <= kMaxHoldingSpares; ++i) {
    const std::string path = Out() + std::to_string(i) + ".ENV1.dcd";
    test::WriteWholeFile(path, "TO:<x@y>\n");
    ASSERT_EQ(spares.Give(path, SpareData::kKept), platform::kErrorSuccess);
  }
  // Given up to be emptied, a small file keeps nothing.
  test::WriteWholeFile(Out() + "9.cqx", "x");
  ASSERT_EQ(spares.Give(Out() + "9.cqx"), platform::kErrorSuccess);
  std::size_t holding = 0;
  for (const std::string& name : Names(SpareFolder()))
    holding += test::ReadWholeFile(SpareFolder() + name).empty() ? 0 : 1;
  EXPECT_EQ(holding, kMaxHoldingSpares);
  for (const char* name : {"Msgcnt.imp", "~ATTC000.imp"}) {
    EXPECT_TRUE(spares.Take(Out() + name));
    EXPECT_EQ(test::ReadWholeFile(Out() + name), "");
  }
  EXPECT_FALSE(spares.Take(Out() + "other"));
  EXPECT_EQ(spares.Count(), kMaxHoldingSpares);
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
