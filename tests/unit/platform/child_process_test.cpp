// Helper programs run to their end: exit status and output, a program that is missing, and
// one that outlives its time-out together with what it started.
#include "platform/child_process.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {
namespace {

using namespace std::chrono_literals;

TEST(RunChild, ExitStatusAndBothStreams) {
  ChildResult result;
  ASSERT_EQ(RunChild({"sh", "-c", "echo out; echo err >&2; read x; echo \"in:$x\"; exit 3"}, 30s,
                     1024, result),
            kErrorSuccess);
  EXPECT_TRUE(result.exited);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 3);
  EXPECT_EQ(result.output, "out\nerr\nin:\n");  // standard input is empty
}

TEST(RunChild, OutputIsCutAtTheLimit) {
  ChildResult result;
  ASSERT_EQ(RunChild({"sh", "-c", "yes | head -c 100000"}, 30s, 10, result), kErrorSuccess);
  EXPECT_EQ(result.output, "y\ny\ny\ny\ny\n");
  EXPECT_EQ(result.exitCode, 0);
}

TEST(RunChild, MissingProgramIsFileNotFound) {
  ChildResult result;
  EXPECT_EQ(RunChild({"faxmail-no-such-program"}, 30s, 10, result), kErrorFileNotFound);
  EXPECT_EQ(RunChild({}, 30s, 10, result), kErrorInvalidParameter);
}

TEST(RunChild, TimeOutKillsTheWholeGroup) {
  test::TempDir dir;
  const std::string marker = dir / "late";
  ChildResult result;
  // The grandchild would write the marker after the time-out if it were left running.
  ASSERT_EQ(RunChild({"sh", "-c", "(sleep 2; touch " + marker + ") & sleep 30"}, 300ms, 10, result),
            kErrorSuccess);
  EXPECT_TRUE(result.timedOut);
  EXPECT_FALSE(result.exited);
  ::sleep(3);
  EXPECT_FALSE(FileExists(marker));
}

// The process id is kept once known; a forked child (and its own child) must still see its own,
// or the hive's lock would be shared with the parent's open file and exclude nobody.
TEST(ProcessIdTest, AForkedChildSeesItsOwnNumberNotTheParents) {
  const long parent = ProcessId();
  EXPECT_EQ(parent, static_cast<long>(::getpid()));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (ProcessId() != static_cast<long>(::getpid()) || ProcessId() == parent) ::_exit(1);
    const pid_t grandchild = ::fork();
    if (grandchild < 0) ::_exit(2);
    if (grandchild == 0) ::_exit(ProcessId() == static_cast<long>(::getpid()) ? 0 : 3);
    int status = 0;
    if (::waitpid(grandchild, &status, 0) != grandchild || !WIFEXITED(status)) ::_exit(4);
    ::_exit(WEXITSTATUS(status));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ProcessId(), parent);
}

}  // namespace
}  // namespace faxmail::platform
