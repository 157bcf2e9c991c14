// Share modes are the exclusion between the gateway and the fax server: a file held without
// sharing must read as a sharing violation to every other open, rename and delete.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "platform/file.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {
namespace {

using test::TempDir;
using test::WriteWholeFile;

TEST(ShareModes, ExclusiveOpenBlocksEveryOtherOpen) {
  TempDir dir;
  const std::string path = dir / "ENV1.tmp";
  WriteWholeFile(path, "x");
  File holder;
  ASSERT_EQ(File::Open(path, Access::Read, Share::None, Disposition::OpenExisting, holder),
            kErrorSuccess);
  for (const Share share : {Share::None, Share::Read, Share::ReadWrite}) {
    File other;
    EXPECT_EQ(File::Open(path, Access::Read, share, Disposition::OpenExisting, other),
              kErrorSharingViolation);
    EXPECT_EQ(LastError(), kErrorSharingViolation);
  }
  EXPECT_EQ(RenameFile(path, dir / "other"), kErrorSharingViolation);
  EXPECT_EQ(DeleteFile(path), kErrorSharingViolation);
  holder.Close();
  File again;
  EXPECT_EQ(File::Open(path, Access::Read, Share::None, Disposition::OpenExisting, again),
            kErrorSuccess);
}

TEST(ShareModes, SharedOpensCoexistButBlockAnExclusiveOne) {
  TempDir dir;
  const std::string path = dir / "f";
  WriteWholeFile(path, "x");
  File a, b, c;
  ASSERT_EQ(File::Open(path, Access::Read, Share::Read, Disposition::OpenExisting, a), 0);
  ASSERT_EQ(File::Open(path, Access::Read, Share::Read, Disposition::OpenExisting, b), 0);
  EXPECT_EQ(File::Open(path, Access::Read, Share::None, Disposition::OpenExisting, c),
            kErrorSharingViolation);
}

TEST(ShareModes, CreateAlwaysDoesNotCutAFileHeldByOthers) {
  TempDir dir;
  const std::string path = dir / "held";
  WriteWholeFile(path, "precious");
  File holder;
  ASSERT_EQ(File::Open(path, Access::Read, Share::None, Disposition::OpenExisting, holder), 0);
  File writer;
  EXPECT_EQ(File::Open(path, Access::Write, Share::None, Disposition::CreateAlways, writer),
            kErrorSharingViolation);
  holder.Close();  // a file held without sharing cannot be read by anyone meanwhile
  EXPECT_EQ(test::ReadWholeFile(path), "precious");
}

TEST(FileOpen, DispositionsAndErrors) {
  TempDir dir;
  File f;
  EXPECT_EQ(File::Open(dir / "new", Access::Write, Share::None, Disposition::CreateNew, f), 0);
  f.Close();
  EXPECT_EQ(File::Open(dir / "new", Access::Write, Share::None, Disposition::CreateNew, f),
            kErrorFileExists);
  EXPECT_EQ(File::Open(dir / "none", Access::Read, Share::None, Disposition::OpenExisting, f),
            kErrorFileNotFound);
  EXPECT_EQ(File::Open(dir / "no/none", Access::Read, Share::None, Disposition::OpenExisting, f),
            kErrorPathNotFound);
  EXPECT_EQ(File::Open(dir / "no/new", Access::Write, Share::None, Disposition::CreateNew, f),
            kErrorPathNotFound);
  EXPECT_EQ(File::Open(dir.Path(), Access::Read, Share::None, Disposition::OpenExisting, f),
            kErrorAccessDenied);
}

TEST(FileNames, PatternMatchIgnoresCase) {
  struct Case {
    const char* name;
    const char* pattern;
    bool match;
  } cases[] = {
      {"ENV1.tmp", "*.tmp", true},
      {"ENV1.TMP", "*.tmp", true},
      {".tmp", "*.tmp", true},
      {"a.tmpx", "*.tmp", false},
      {"~ATTC000.imp", "~attc000.*", true},
      {"~ATTC000", "~ATTC000.*", false},
      {"abc", "a?c", true},
      {"ac", "a?c", false},
      {"x.tmp.tmp", "*.tmp", true},
      {"", "*", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MatchPattern(c.name, c.pattern), c.match) << c.name << " " << c.pattern;
}

TEST(FileNames, FindFilesReportsFoldersAndHiddenFiles) {
  TempDir dir;
  WriteWholeFile(dir / "a.tmp", "");
  WriteWholeFile(dir / ".b.tmp", "");
  ASSERT_EQ(CreateDirectory(dir / "c.tmp"), 0);
  std::vector<DirEntry> entries;
  ASSERT_EQ(FindFiles(dir.Path(), "*.TMP", entries), 0);
  ASSERT_EQ(entries.size(), 3u);
  int hidden = 0, folders = 0;
  for (const auto& e : entries) {
    hidden += e.isHidden;
    folders += e.isDirectory;
  }
  EXPECT_EQ(hidden, 1);
  EXPECT_EQ(folders, 1);
  EXPECT_EQ(FindFiles(dir / "missing", "*", entries), kErrorPathNotFound);
}

TEST(FileNames, RenameWithoutReplaceKeepsTheTarget) {
  TempDir dir;
  WriteWholeFile(dir / "a", "a");
  WriteWholeFile(dir / "b", "b");
  EXPECT_EQ(RenameFile(dir / "a", dir / "b"), kErrorAlreadyExists);
  EXPECT_EQ(test::ReadWholeFile(dir / "b"), "b");
  EXPECT_EQ(RenameFile(dir / "a", dir / "b", true), 0);
  EXPECT_EQ(test::ReadWholeFile(dir / "b"), "a");
  EXPECT_FALSE(FileExists(dir / "a"));
  EXPECT_EQ(RenameFile(dir / "a", dir / "c"), kErrorFileNotFound);
}

TEST(FileNames, AppendToFileFromManyThreadsKeepsLinesWhole) {
  TempDir dir;
  const std::string path = dir / "log";
  constexpr int kThreads = 4, kLines = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string line = std::string(200, static_cast<char>('a' + t)) + "\r\n";
      for (int i = 0; i < kLines; ++i) AppendToFile(path, line);
    });
  }
  for (auto& th : threads) th.join();
  const std::string all = test::ReadWholeFile(path);
  ASSERT_EQ(all.size(), std::size_t{kThreads * kLines * 202});
  for (std::size_t at = 0; at < all.size(); at += 202) {
    const char c = all[at];
    ASSERT_EQ(all.substr(at, 202), std::string(200, c) + "\r\n") << at;
  }
}

// A note kept with the file: read back, replaced, gone with the file, bounded.
TEST(FileTags, TravelWithTheFile) {
  TempDir dir;
  const std::string path = dir.Path() + "/tagged";
  test::WriteWholeFile(path, "x");
  EXPECT_EQ(GetFileTag(path, "raw"), std::nullopt);
  const long first = SetFileTag(path, "raw", "12.cqx");
  if (first == kErrorNotSupported) {
    EXPECT_EQ(GetFileTag(path, "raw"), std::nullopt);
    GTEST_SKIP() << "this file system keeps no notes with its files";
  }
  ASSERT_EQ(first, kErrorSuccess);
  EXPECT_EQ(GetFileTag(path, "raw"), "12.cqx");
  ASSERT_EQ(SetFileTag(path, "raw", "7.cqx"), kErrorSuccess);
  EXPECT_EQ(GetFileTag(path, "raw"), "7.cqx");
  EXPECT_EQ(GetFileTag(path, "other"), std::nullopt);
  ASSERT_EQ(RenameFile(path, path + ".tmp", false), kErrorSuccess);
  EXPECT_EQ(GetFileTag(path + ".tmp", "raw"), "7.cqx");
  EXPECT_EQ(SetFileTag(path + ".tmp", "raw", std::string(kMaxFileTag + 1, 'x')),
            kErrorInvalidParameter);
  EXPECT_EQ(SetFileTag(dir.Path() + "/missing", "raw", "1.cqx"), kErrorFileNotFound);
  EXPECT_EQ(GetFileTag(dir.Path() + "/missing", "raw"), std::nullopt);
}

}  // namespace
}  // namespace faxmail::platform
