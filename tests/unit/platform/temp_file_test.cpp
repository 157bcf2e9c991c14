// A temporary file leaves nothing behind on any way out, unless it was committed or released.
#include "platform/temp_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {
namespace {

namespace fs = std::filesystem;
using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

TEST(TempFile, EveryWayOfLettingGoRemovesTheFile) {
  struct Case {
    const char* name;
    std::function<void(TempFile&)> letGo;
  };
  const Case cases[] = {
      {"destructor", [](TempFile& t) { TempFile gone = std::move(t); }},
      {"discard", [](TempFile& t) { EXPECT_EQ(t.Discard(), kErrorSuccess); }},
      {"move over it", [](TempFile& t) { t = TempFile(); }},
      {"close first",
       [](TempFile& t) {
         EXPECT_EQ(t.Close(), kErrorSuccess);
         TempFile gone = std::move(t);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir / "work.cqx";
    TempFile temp;
    ASSERT_EQ(TempFile::Create(path, Disposition::CreateNew, temp), kErrorSuccess);
    ASSERT_EQ(temp.file().Write("some bytes"), kErrorSuccess);
    ASSERT_TRUE(fs::exists(path));
    c.letGo(temp);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(temp.Owns());
  }
}

TEST(TempFile, CommitRenamesAndGivesTheNameUp) {
  TempDir dir;
  const std::string scratch = dir / "~part001.tmp";
  const std::string target = dir / "ENV7.tmp";
  {
    TempFile temp;
    ASSERT_EQ(TempFile::Create(scratch, Disposition::CreateNew, temp), kErrorSuccess);
    ASSERT_EQ(temp.file().Write("envelope"), kErrorSuccess);
    // Held without sharing while open: the commit closes first, or the rename would fail.
    ASSERT_EQ(temp.Commit(target), kErrorSuccess);
    EXPECT_FALSE(temp.Owns());
  }
  EXPECT_FALSE(fs::exists(scratch));
  EXPECT_EQ(ReadWholeFile(target), "envelope");
}

TEST(TempFile, FailedCommitKeepsTheTargetAndStillRemovesTheScratchFile) {
  TempDir dir;
  const std::string scratch = dir / "scratch";
  const std::string target = dir / "taken";
  WriteWholeFile(target, "someone else's");
  {
    TempFile temp;
    ASSERT_EQ(TempFile::Create(scratch, Disposition::CreateNew, temp), kErrorSuccess);
    EXPECT_EQ(temp.Commit(target), kErrorAlreadyExists);
    EXPECT_TRUE(temp.Owns());
    EXPECT_TRUE(fs::exists(scratch));
  }
  EXPECT_FALSE(fs::exists(scratch));
  EXPECT_EQ(ReadWholeFile(target), "someone else's");
}

TEST(TempFile, ReleasedFileStaysWhereItIs) {
  TempDir dir;
  const std::string path = dir / "debug.cqx";
  std::string released;
  {
    TempFile temp;
    ASSERT_EQ(TempFile::Create(path, Disposition::CreateNew, temp), kErrorSuccess);
    ASSERT_EQ(temp.file().Write("kept"), kErrorSuccess);
    released = temp.Release();
  }
  EXPECT_EQ(released, path);
  EXPECT_EQ(ReadWholeFile(path), "kept");
}

TEST(TempFile, CreateRefusesWhatItMustNotOwn) {
  TempDir dir;
  const std::string existing = dir / "existing";
  WriteWholeFile(existing, "data");
  const std::string link = dir / "link";
  // Where links cannot be made (Wine), the other cases still hold.
  std::error_code noLink;
  fs::create_symlink(existing, link, noLink);
  const std::string folder = dir / "folder";
  fs::create_directory(folder);
  struct Case {
    std::string path;
    Disposition disposition;
  };
  std::vector<Case> cases = {{existing, Disposition::CreateNew},
                             {folder, Disposition::CreateAlways}};
  if (!noLink) cases.push_back({link, Disposition::CreateAlways});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    TempFile temp;
    EXPECT_NE(TempFile::Create(c.path, c.disposition, temp), kErrorSuccess);
    EXPECT_FALSE(temp.Owns());
  }
  // Nothing that was refused was touched.
  EXPECT_EQ(ReadWholeFile(existing), "data");
  if (!noLink) {
    EXPECT_TRUE(fs::is_symlink(link));
  }
  EXPECT_TRUE(fs::is_directory(folder));
}

TEST(TempFile, AdoptedNameIsRemovedAndAMissingOneIsNoError) {
  TempDir dir;
  const std::string path = dir / "~scr001.bdy";
  WriteWholeFile(path, "made elsewhere");
  {
    TempFile adopted(path);
    EXPECT_TRUE(adopted.Owns());
  }
  EXPECT_FALSE(fs::exists(path));
  TempFile gone(dir / "never-made");
  EXPECT_EQ(gone.Discard(), kErrorSuccess);
}

}  // namespace
}  // namespace faxmail::platform
