// The receiver on a full disk: the data directory on a small tmpfs that the test mounts (root
// only). Nothing that was not stored gets 250, no ready envelope names a short or missing
// file, and once space returns every acknowledged message becomes its envelope.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "gateway/smtp_in/smtp_in.h"
#include "platform/file.h"
#include "tests/support/receiver_fixture.h"
#include "tests/support/spool_check.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::CheckSpool;
using test::MailWithAttachment;
using test::SendMail;

constexpr char kAcknowledged[] = "250 Mail Received OK\r\n";
constexpr char kNoStorage[] = "452 Requested action not taken: insufficient system storage\r\n";
// About 300 KB of message data for 220 KB of attachment.
constexpr std::size_t kAttachment = 220 * 1024;

class FullDiskTest : public test::ReceiverTest {
 protected:
  void Mount(const char* size) {
    if (::geteuid() != 0) {
      if (std::getenv("CI")) FAIL() << "mounting a tmpfs needs root";
      GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    m_disk = Root() + "/data";
    std::filesystem::create_directories(m_disk);
    ASSERT_EQ(::mount("tmpfs", m_disk.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()),
              0);
    m_mounted = true;
    StartReceiver("logfileb", "secondary.log");  // the log lies outside the small disk
  }
  void TearDown() override {
    m_server.reset();
    if (m_mounted) ::umount2(m_disk.c_str(), MNT_DETACH);
    test::ReceiverTest::TearDown();
  }
  // Fills the disk up to leave about free bytes.
  void LeaveFree(std::uintmax_t free) {
    const auto space = std::filesystem::space(m_disk);
    ASSERT_GT(space.available, free);
    test::WriteWholeFile(m_disk + "/filler", std::string(space.available - free, 'f'));
  }
  std::vector<std::string> Files(const std::string& pattern) {
    std::vector<platform::DirEntry> entries;
    platform::FindFiles(m_out, pattern, entries);
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    return names;
  }
  bool WaitNothingPending(int seconds) {
    for (int i = 0; i < seconds * 20 && m_server->PendingCount() > 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return m_server->PendingCount() == 0;
  }

  // OUT holds the one whole ready envelope of mail id and nothing else.
  void ExpectOnlyWhole(int id) {
    const auto check = CheckSpool(m_out, kAttachment);
    EXPECT_EQ(check.problems, std::vector<std::string>{});
    EXPECT_EQ(check.leftovers, std::vector<std::string>{});
    EXPECT_EQ(check.ready, (std::map<int, int>{{id, 1}}));
  }

  std::string m_disk;
  bool m_mounted = false;
};

TEST_F(FullDiskTest, DecodeWithoutSpaceKeepsTheMessageUntilSpaceReturns) {
  Mount("2m");
  m_server->SetDecodeRetryInterval(std::chrono::milliseconds(100000));
  // Room for the raw message, not for what it decodes into.
  LeaveFree(420 * 1024);
  ASSERT_EQ(SendMail(m_port, MailWithAttachment(1, kAttachment)), kAcknowledged);
  EXPECT_EQ(m_server->PendingCount(), 1u);
  EXPECT_TRUE(Files("ENV*").empty());
  EXPECT_TRUE(Files("ATT*").empty());
  EXPECT_EQ(Files("*.cqx").size(), 1u);
  EXPECT_NE(test::ReadWholeFile(Root() + "/eventlog/Application.log").find("\t433\t"),
            std::string::npos);
  // The kept message leaves no room for the next one: refused, nothing of it kept.
  EXPECT_EQ(SendMail(m_port, MailWithAttachment(2, kAttachment)), kNoStorage);
  EXPECT_EQ(Files("*.cqx").size(), 1u);

  platform::DeleteFile(m_disk + "/filler");
  m_server->SetDecodeRetryInterval(std::chrono::milliseconds(100));
  ASSERT_TRUE(WaitNothingPending(20));
  ExpectOnlyWhole(1);
}

TEST_F(FullDiskTest, KeptMessageIsDecodedAtTheNextStart) {
  Mount("2m");
  m_server->SetDecodeRetryInterval(std::chrono::milliseconds(100000));
  LeaveFree(420 * 1024);
  ASSERT_EQ(SendMail(m_port, MailWithAttachment(3, kAttachment)), kAcknowledged);
  ASSERT_EQ(m_server->PendingCount(), 1u);
  m_server.reset();
  platform::DeleteFile(m_disk + "/filler");
  m_server = std::make_unique<SMTPIn>(*m_fileMan);
  EXPECT_EQ(m_server->RecoverSpool({}), 1);
  ExpectOnlyWhole(3);
}

TEST_F(FullDiskTest, FortyMailsOnFiveMegabytes) {
  Mount("5m");
  m_server->SetDecodeRetryInterval(std::chrono::milliseconds(100000));
  std::set<int> acknowledged;
  int refused = 0;
  for (int id = 0; id < 40; ++id) {
    const std::string reply = SendMail(m_port, MailWithAttachment(id, kAttachment));
    if (reply == kAcknowledged)
      acknowledged.insert(id);
    else if (reply.substr(0, 3) == "452" || reply.substr(0, 3) == "451")
      ++refused;
    else
      ADD_FAILURE() << "mail " << id << ": " << reply;
  }
  EXPECT_GT(refused, 0);

  // The fax server takes the ready envelopes, each of which must be whole; the kept messages
  // follow as space returns.
  std::map<int, int> delivered;
  const auto takeAll = [&] {
    const auto check = CheckSpool(m_out, kAttachment);
    EXPECT_EQ(check.problems, std::vector<std::string>{});
    for (const auto& [id, count] : check.ready) delivered[id] += count;
    for (const auto& name : Files("ENV*.tmp")) test::TakeEnvelope(m_out, name);
  };
  takeAll();
  for (int round = 0; round < 10 && m_server->RetryPending() > 0; ++round) takeAll();
  takeAll();
  EXPECT_EQ(m_server->PendingCount(), 0u);
  std::map<int, int> expected;
  for (const int id : acknowledged) expected[id] = 1;
  EXPECT_EQ(delivered, expected);
  EXPECT_EQ(CheckSpool(m_out, kAttachment).leftovers, std::vector<std::string>{});
}

}  // namespace
}  // namespace faxmail
