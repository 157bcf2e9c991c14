// The in-memory mirror of a folder's scratch names: its answers must be the listing's, whoever
// changed the folder and however, or a scratch name could be handed out twice.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/auto_file.h"
#include "common/folder_names.h"
#include "platform/file.h"
#include "tests/support/test_support.h"
#include "tests/unit/common/folder_names_test_fixture.h"

namespace faxmail {
namespace {

namespace fs = std::filesystem;
using test::FolderNamesTest;
using test::TempDir;
using test::WriteWholeFile;

struct ChangeRow {
  const char* what;
  std::function<void(const std::string& out, const std::string& aside)> change;
  const char* stem;
  int limit;
  int expected;
};

// Every kind of change to the folder, made after the mirror was made, is reflected in the next
// answer exactly as a listing at that moment gives it, without a new listing.
TEST_F(FolderNamesTest, EveryChangeIsSeenAsAListingSeesIt) {
  if (!NameWatchAvailable()) GTEST_SKIP() << kNoNameWatch;
  std::vector<ChangeRow> rows = {
      {"nothing", [](auto&, auto&) {}, "~ATTC000", 1, 0},
      {"another extension", [](auto& o, auto&) { WriteWholeFile(o + "~ATTC000.env", ""); },
       "~ATTC000", 1, 1},
      {"another letter case", [](auto& o, auto&) { WriteWholeFile(o + "~attc000.XYZ", ""); },
       "~ATTC000", 1, 1},
      {"no extension", [](auto& o, auto&) { WriteWholeFile(o + "~ATTC000", ""); }, "~ATTC000", 1,
       0},
      {"a longer stem", [](auto& o, auto&) { WriteWholeFile(o + "~ATTC0001.imp", ""); }, "~ATTC000",
       1, 0},
      {"a folder",
       [](auto& o, auto&) { ASSERT_EQ(platform::CreateDirectory(o + "~ATTC000.d"), 0); },
       "~ATTC000", 1, 0},
      {"created then deleted",
       [](auto& o, auto&) {
         WriteWholeFile(o + "~ATTC000.imp", "");
         ASSERT_EQ(platform::DeleteFile(o + "~ATTC000.imp"), 0);
       },
       "~ATTC000", 1, 0},
      {"renamed in from another folder",
       [](auto& o, auto& a) {
         WriteWholeFile(a + "x", "");
         ASSERT_EQ(platform::RenameFile(a + "x", o + "~ATTC000.imp"), 0);
       },
       "~ATTC000", 1, 1},
      {"renamed away",
       [](auto& o, auto& a) { ASSERT_EQ(platform::RenameFile(o + "~ATTC009.old", a + "y"), 0); },
       "~ATTC009", 1, 0},
      {"renamed within to another stem",
       [](auto& o, auto&) {
         ASSERT_EQ(platform::RenameFile(o + "~ATTC008.old", o + "~ATTC007.new"), 0);
       },
       "~ATTC008", 1, 0},
      {"renamed over another of its stem",
       [](auto& o, auto&) {
         WriteWholeFile(o + "~ATTC006.a", "");
         WriteWholeFile(o + "~ATTC006.b", "");
         ASSERT_EQ(platform::RenameFile(o + "~ATTC006.a", o + "~ATTC006.b", true), 0);
       },
       "~ATTC006", 2, 1},
      {"two of a stem",
       [](auto& o, auto&) {
         WriteWholeFile(o + "~ATTC005.a", "");
         WriteWholeFile(o + "~ATTC005.b", "");
         WriteWholeFile(o + "~ATTC005.c", "");
       },
       "~ATTC005", 2, 2},
      {"a second name of a file",
       [](auto& o, auto& a) {
         WriteWholeFile(a + "z", "");
         fs::create_hard_link(a + "z", o + "~ATTC004.imp");
       },
       "~ATTC004", 1, 1},
  };
  // A symbolic link where links can be made (not under Wine).
  if (LinksCanBeMade()) {
    rows.push_back({"a symbolic link",
                    [](auto& o, auto&) { fs::create_symlink("nowhere", o + "~ATTC000.lnk"); },
                    "~ATTC000", 1, 1});
  }
  for (const ChangeRow& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    const std::string out = test::NativePath(dir.Path() + "/OUT/");
    const std::string aside = test::NativePath(dir.Path() + "/aside/");
    ASSERT_EQ(platform::CreateDirectory(dir.Path() + "/OUT"), 0);
    ASSERT_EQ(platform::CreateDirectory(dir.Path() + "/aside"), 0);
    WriteWholeFile(out + "~ATTC009.old", "");
    WriteWholeFile(out + "~ATTC008.old", "");
    WriteWholeFile(out + "ENV1.tmp", "");
    FolderNames names("~");
    ASSERT_EQ(names.CountStem(out, "~ATTC009", 1), 1);  // the mirror is made here
    row.change(out, aside);
    EXPECT_EQ(names.CountStem(out, row.stem, row.limit), row.expected);
    EXPECT_EQ(FolderNames::CountStemByListing(out, row.stem, row.limit), row.expected);
    EXPECT_EQ(names.Rebuilds(), 1u);
    EXPECT_EQ(names.Listings(), 0u);
  }
}

// Callers each with a mirror of their own (as processes would have) and callers that list,
// all at once in one folder: the check after the create still tells every loser.
TEST_F(FolderNamesTest, CallersWithAndWithoutMirrorsNeverShareAStem) {
  constexpr int kThreads = 4, kEach = 30;
  std::vector<std::vector<std::string>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      FolderNames names("~");
      for (int i = 0; i < kEach; ++i) {
        std::string name;
        if (CreateAutoFile("ATTC", "imp", Out(), name, nullptr, t % 2 ? &names : nullptr) ==
            kAutoFileCreated)
          made[static_cast<std::size_t>(t)].push_back(name);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> all;
  std::size_t count = 0;
  for (const auto& list : made) {
    count += list.size();
    all.insert(list.begin(), list.end());
  }
  EXPECT_EQ(count, std::size_t{kThreads * kEach});
  EXPECT_EQ(all.size(), count);
}

// Questions the mirror does not keep names for go to a listing.
TEST_F(FolderNamesTest, StemsOutsideTheKeptNamesAreListed) {
  FolderNames names("~");
  WriteWholeFile(Out() + "ENV1.tmp", "");
  EXPECT_EQ(names.CountStem(Out(), "ENV1", 1), 1);
  EXPECT_EQ(names.CountStem(Out(), "~ATTC00?", 1), 0);
  EXPECT_EQ(names.Listings(), 2u);
  EXPECT_EQ(names.Rebuilds(), 0u);
}

}  // namespace
}  // namespace faxmail
