// What IN holds that is no regular file: a FIFO or a symbolic link with a ready name, and a
// link as an attachment. Its text is never mailed, the sender never waits on it, and the mail
// of the other ready files goes on (mkfifo, symlink, lstat).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gateway/queue/file_man.h"
#include "gateway/smtp_out/smtp_out.h"
#include "tests/unit/smtp_out/scheduler_test_fixture.h"
#include "tests/unit/smtp_out/scripted_server.h"
#include "tests/unit/smtp_out/sender_test_util.h"

namespace faxmail {
namespace {

using namespace std::chrono_literals;
using test::ReadWholeFile;
using test::ReadyFile;
using test::SchedulerTest;
using test::WaitFor;
using test::WriteWholeFile;

// What an entry of IN is, without following a link.
bool IsFifo(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}
bool IsLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
bool IsThere(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Whoever writes to IN can put there what is no regular file. The text it leads to must never
// be mailed, the sender must never wait on it, and the mail of the other ready files goes on.
class NoFileInTest : public SchedulerTest {
 protected:
  static constexpr char kSecret[] = "SECRET-7f3a: not for the mail";
  void SetUp() override {
    SchedulerTest::SetUp();
    m_secret = Root() + "/secret.txt";
    // Text that would go out as a mail of its own, were the link followed.
    ReadyFile text;
    text.body = {kSecret};
    WriteWholeFile(m_secret, text.Text());
  }
  // Delivers the regular ready file fax2.tmp to a scripted server while IN also holds the
  // entries the test made; the entry named set aside has to end up renamed.
  void DeliverBeside(const std::string& setAside, const std::string& renamed) {
    ReadyFile other;
    other.header = {"FROM: Fax Server <fax@fax.example>", "TO: <user@127.0.0.1>"};
    WriteWholeFile(In("fax2.tmp"), other.Text());
    test::ScriptedSmtpServer server(test::ServerScript{});
    StartSender(server.Port());
    const bool done = WaitFor(
        [&] {
          return !platform::FileExists(In("fax2.tmp")) && IsThere(In(renamed)) &&
                 !IsThere(In(setAside));
        },
        10s);
    // An open that waits on a FIFO is released, so that the test can end.
    if (const int fd = ::open(In(setAside).c_str(), O_RDWR | O_NONBLOCK); fd >= 0) ::close(fd);
    StopSender();
    ASSERT_TRUE(done) << Log();
    EXPECT_NE(server.Data().find("Your fax was sent."), std::string::npos);
    EXPECT_EQ(server.Data().find("SECRET-7f3a"), std::string::npos);
    EXPECT_EQ(server.Transcript().find("U0VDUkVU"), std::string::npos);  // nor in base64
    const auto events = Events(435);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings,
              (std::vector<std::string>{kServiceName, In(setAside), In(renamed)}));
    // Nothing deleted, nothing changed.
    ReadyFile text;
    text.body = {kSecret};
    EXPECT_EQ(ReadWholeFile(m_secret), text.Text());
  }
  std::string m_secret;
};

TEST_F(NoFileInTest, FifoWithAReadyNameIsSetAsideAtOnce) {
  ASSERT_EQ(::mkfifo(In("pipe.tmp").c_str(), 0600), 0);
  DeliverBeside("pipe.tmp", "pipe.Refused.Err");
  EXPECT_TRUE(IsFifo(In("pipe.Refused.Err")));
  EXPECT_TRUE(Logged("SMTPOut- ERROR: not a regular file, set aside: pipe.tmp"));
}

TEST_F(NoFileInTest, SymbolicLinkWithAReadyNameIsSetAsideUnfollowed) {
  ASSERT_EQ(::symlink(m_secret.c_str(), In("link.tmp").c_str()), 0);
  DeliverBeside("link.tmp", "link.Refused.Err");
  EXPECT_TRUE(IsLink(In("link.Refused.Err")));
  EXPECT_TRUE(Logged("SMTPOut- ERROR: not a regular file, set aside: link.tmp"));
}

TEST_F(NoFileInTest, SymbolicLinkAsAttachmentSetsItsReadyFileAside) {
  // With the attachments encoded, and without (where the first is only deleted after delivery).
  for (const std::uint32_t includeTiff : {1u, 0u}) {
    SCOPED_TRACE(includeTiff);
    TearDown();
    SetUp();
    SetOptions(includeTiff, /*subjectLine=*/0);
    ASSERT_EQ(::symlink(m_secret.c_str(), In("img1.tif").c_str()), 0);
    WriteWholeFile(In("fax1.tmp"), ReadyTo("user@127.0.0.1"));
    DeliverBeside("fax1.tmp", "fax1.Refused.Err");
    EXPECT_TRUE(platform::FileExists(In("fax1.Refused.Err")));
    EXPECT_TRUE(IsLink(In("img1.tif")));
    EXPECT_TRUE(Logged("SMTPOut- Error: Attachment is not a regular file: " + In("img1.tif")));
    EXPECT_TRUE(Logged("SMTPOut- ERROR: not a regular file, set aside: fax1.tmp"));
  }
}

}  // namespace
}  // namespace faxmail
