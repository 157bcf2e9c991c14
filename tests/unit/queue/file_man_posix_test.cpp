// The queue file manager where the system it stands in for is POSIX: a file held by a forked
// process (the fax server, still writing it).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "gateway/queue/file_man.h"
#include "platform/file.h"
#include "tests/support/test_support.h"
#include "tests/unit/queue/file_man_test_fixture.h"

namespace faxmail {
namespace {

using test::FileManTest;
using test::WriteWholeFile;

TEST_F(FileManTest, FileHeldByAnotherProcessIsSkipped) {
  WriteWholeFile(In("a.tmp"), "held");
  WriteWholeFile(In("b.tmp"), "free");
  int ready[2];
  int release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {  // the fax server, still writing a.tmp
    platform::File held;
    if (platform::File::Open(In("a.tmp"), platform::Access::Write, platform::Share::None,
                             platform::Disposition::OpenExisting, held) != 0)
      _exit(1);
    char c = 1;
    [[maybe_unused]] auto w = write(ready[1], &c, 1);
    [[maybe_unused]] auto r = read(release[0], &c, 1);
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  CFileMan man;
  EXPECT_EQ(man.Que_CountMsgs("IN"), 2);
  platform::File file;
  std::string path;
  ASSERT_EQ(man.Que_OpenMsg(file, path), 0);
  EXPECT_EQ(path, In("b.tmp"));
  std::string line;
  EXPECT_EQ(CFileMan::ReadLine(file, line, 100), 0u);  // "free" has no LF
  EXPECT_EQ(man.Que_CloseAndDeleteMsg(file), 0);
  EXPECT_FALSE(platform::FileExists(In("b.tmp")));
  // Only the held file is left: counted, but nothing can be opened.
  EXPECT_EQ(man.Que_CountMsgs("IN"), 1);
  EXPECT_EQ(man.Que_OpenMsg(file, path), 1);
  EXPECT_NE(Log().find("WSA Socket Error: (32)"), std::string::npos);
  [[maybe_unused]] auto w = write(release[1], &c, 1);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(man.Que_OpenMsg(file, path), 0);
  EXPECT_EQ(path, In("a.tmp"));
}

}  // namespace
}  // namespace faxmail
