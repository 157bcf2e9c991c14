// Unique scratch names: the attachment list of each received message depends on them.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "common/auto_file.h"
#include "common/spare_files.h"
#include "platform/file.h"
#include "tests/support/test_support.h"
#include "tests/unit/common/auto_file_test_fixture.h"

namespace faxmail {
namespace {

using test::AutoFileTest;
using test::WriteWholeFile;

TEST_F(AutoFileTest, QuietFolderIsNumberedInOrder) {
  for (int i = 0; i < 3; ++i) {
    std::string name;
    ASSERT_EQ(CreateAutoFile("ATTC", "imp", Folder(), name), kAutoFileCreated);
    EXPECT_EQ(name, "~ATTC00" + std::to_string(i) + ".imp");
    EXPECT_TRUE(platform::FileExists(Folder() + name));
    EXPECT_EQ(test::ReadWholeFile(Folder() + name), "");
  }
}

TEST_F(AutoFileTest, StemTakenByAnyExtensionOrCaseIsSkipped) {
  WriteWholeFile(Folder() + "~ATTC000.env", "");
  WriteWholeFile(Folder() + "~attc001.XYZ", "");
  std::string name;
  ASSERT_EQ(CreateAutoFile("ATTC", "imp", Folder(), name), kAutoFileCreated);
  EXPECT_EQ(name, "~ATTC002.imp");
}

TEST_F(AutoFileTest, HiddenFilesAndFoldersDoNotTakeAStem) {
  // A folder named like a stem does not count; a hidden file does not count either, but a file
  // of exactly the candidate's name makes the exclusive create fail and the next one is tried.
  ASSERT_EQ(platform::CreateDirectory(Folder() + "~ATTC000.dir"), 0);
  std::string name;
  ASSERT_EQ(CreateAutoFile("ATTC", "imp", Folder(), name), kAutoFileCreated);
  EXPECT_EQ(name, "~ATTC000.imp");
  WriteWholeFile(Folder() + "~ATTC001.imp", "");  // taken by a regular file
  ASSERT_EQ(CreateAutoFile("ATTC", "imp", Folder(), name), kAutoFileCreated);
  EXPECT_EQ(name, "~ATTC002.imp");
}

// With spares kept, the new file is a spare moved into place: the names are the same as
// without them, a name in use is never replaced, and the spare it could not go to is kept.
TEST_F(AutoFileTest, SparesGiveTheSameNamesAndNeverReplaceAFile) {
  SpareFiles spares(Folder() + ".spare/");
  for (int i = 0; i < 2; ++i) {
    WriteWholeFile(Folder() + "given" + std::to_string(i), "old text");
    ASSERT_EQ(spares.Give(Folder() + "given" + std::to_string(i)), 0);
  }
  ASSERT_EQ(spares.Count(), 2u);
  // A folder of the candidate's exact name: not a taken stem, but no move may go over it.
  ASSERT_EQ(platform::CreateDirectory(Folder() + "~ATTC000.imp"), 0);
  WriteWholeFile(Folder() + "~ATTC001.env", "");
  std::string name;
  ASSERT_EQ(CreateAutoFile("ATTC", "imp", Folder(), name, &spares), kAutoFileCreated);
  EXPECT_EQ(name, "~ATTC002.imp");
  EXPECT_EQ(test::ReadWholeFile(Folder() + name), "");
  EXPECT_EQ(spares.Count(), 1u);
  EXPECT_TRUE(platform::DirectoryExists(Folder() + "~ATTC000.imp"));
  EXPECT_EQ(test::ReadWholeFile(Folder() + "~ATTC001.env"), "");
  ASSERT_EQ(CreateAutoFile("ATTC", "imp", Folder(), name, &spares), kAutoFileCreated);
  EXPECT_EQ(name, "~ATTC003.imp");
  EXPECT_EQ(spares.Count(), 0u);
  // None left: a new file, as always.
  ASSERT_EQ(CreateAutoFile("ATTC", "imp", Folder(), name, &spares), kAutoFileCreated);
  EXPECT_EQ(name, "~ATTC004.imp");
}

TEST_F(AutoFileTest, FortyTakenStemsMoveToTheClockChosenDecimalRange) {
  for (int i = 0; i < 40; ++i)
    WriteWholeFile(Folder() + "~ATTC" + AutoFileNumber(static_cast<unsigned>(i), false) + ".x", "");
  std::string name;
  ASSERT_EQ(CreateAutoFile("ATTC", "imp", Folder(), name), kAutoFileCreated);
  ASSERT_EQ(name.size(), 12u);
  const int number = std::stoi(name.substr(5, 3));
  EXPECT_GE(number, 40);
  EXPECT_LE(number, 999);
}

TEST_F(AutoFileTest, AllDecimalNamesTakenMovesToBase36) {
  for (unsigned i = 0; i < 1000; ++i)
    WriteWholeFile(Folder() + "~ATTC" + AutoFileNumber(i, false) + ".x", "");
  std::string name;
  ASSERT_EQ(CreateAutoFile("ATTC", "imp", Folder(), name), kAutoFileCreated);
  const std::string number = name.substr(5, 3);
  EXPECT_NE(number.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << number;
}

TEST_F(AutoFileTest, BadArgumentsAndPaths) {
  std::string name = "unchanged";
  EXPECT_EQ(CreateAutoFile("ATT", "imp", Folder(), name), kAutoFileBadArguments);
  EXPECT_EQ(CreateAutoFile("ATTCX", "imp", Folder(), name), kAutoFileBadArguments);
  EXPECT_EQ(CreateAutoFile("ATTC", "impx", Folder(), name), kAutoFileBadArguments);
  EXPECT_EQ(CreateAutoFile("ATTC", "imp", std::string(257, 'a'), name), kAutoFileBadArguments);
  EXPECT_EQ(CreateAutoFile("ATTC", "imp", m_dir.Path(), name), kAutoFileOtherError);
  EXPECT_EQ(CreateAutoFile("ATTC", "imp", Folder() + test::NativePath("missing/"), name),
            kAutoFileInvalidPath);
  EXPECT_EQ(name, "unchanged");
  std::vector<platform::DirEntry> entries;
  ASSERT_EQ(platform::FindFiles(m_dir.Path(), "*", entries), 0);
  EXPECT_TRUE(entries.empty());
}

TEST_F(AutoFileTest, EmptyExtensionGivesANameEndingInADot) {
  std::string name;
  ASSERT_EQ(CreateAutoFile("ATTC", "", Folder(), name), kAutoFileCreated);
  EXPECT_EQ(name, "~ATTC000.");
}

TEST_F(AutoFileTest, ConcurrentCallersNeverShareAStem) {
  constexpr int kThreads = 4, kEach = 25;
  std::vector<std::vector<std::string>> names(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string name;
        if (CreateAutoFile("ATTC", "imp", Folder(), name) == kAutoFileCreated)
          names[static_cast<std::size_t>(t)].push_back(name);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<std::string> all;
  std::size_t count = 0;
  for (const auto& list : names) {
    count += list.size();
    all.insert(list.begin(), list.end());
  }
  EXPECT_EQ(count, std::size_t{kThreads * kEach});
  EXPECT_EQ(all.size(), count);
}

TEST(AutoFileNumber, DecimalAndBase36) {
  EXPECT_EQ(AutoFileNumber(7, false), "007");
  EXPECT_EQ(AutoFileNumber(999, false), "999");
  EXPECT_EQ(AutoFileNumber(10, true), "00A");
  EXPECT_EQ(AutoFileNumber(46655, true), "ZZZ");
  EXPECT_EQ(AutoFileNumber(36 * 36 + 2 * 36 + 9, true), "129");
}

}  // namespace
}  // namespace faxmail
