// Spare files where the system they stand in for is POSIX: the spare is the very file given up
// (its inode), kept in a folder that only the owner may enter.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/spare_files.h"
#include "platform/file.h"
#include "platform/win_error.h"
#include "tests/unit/common/spare_files_test_fixture.h"

namespace faxmail {
namespace {

using test::SpareFilesTest;

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(SpareFilesTest, TheFileGivenUpIsItselfTheSpareInAFolderForTheOwnerAlone) {
  SpareFiles spares(SpareFolder());
  test::WriteWholeFile(Out() + "7.ENV3.dcd", std::string(5000, 'r'));
  const ino_t inode = InodeOf(Out() + "7.ENV3.dcd");
  ASSERT_NE(inode, ino_t{0});
  ASSERT_EQ(spares.Give(Out() + "7.ENV3.dcd"), platform::kErrorSuccess);
  struct stat folder {};
  ASSERT_EQ(::lstat(SpareFolder().c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  const std::vector<std::string> names = Names(SpareFolder());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(InodeOf(SpareFolder() + names[0]), inode);
  ASSERT_TRUE(spares.Take(Out() + "8.rcpt.new"));
  EXPECT_EQ(InodeOf(Out() + "8.rcpt.new"), inode);
}

}  // namespace
}  // namespace faxmail
