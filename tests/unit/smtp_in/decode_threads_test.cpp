// Decode threads (DecodeThreads): a session answers its client's next command right after the
// 250 while its message waits to be decoded, a full queue sends the sessions back to decoding
// their own, and every message handed over becomes one ready envelope.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/service/settings.h"
#include "gateway/smtp_in/smtp_in.h"
#include "platform/file.h"
#include "tests/support/receiver_fixture.h"
#include "tests/support/smtp_client.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::ReadWholeFile;
using test::ScriptedClient;

constexpr char kAcknowledgedAndGone[] = "250 Mail Received OK\r\n221 Goodbye\r\n";
// Bounds against a hang only.
constexpr int kReplyBoundMs = 10000;
constexpr auto kSpoolBound = std::chrono::seconds(30);
// How long a reply that must not come is waited for: a session that would answer does so in
// well under this on any machine.
constexpr int kNoReplyWaitMs = 300;

std::string Mail(int n) {
  return "From: a@b\r\nSubject: mail " + std::to_string(n) + "\r\n\r\nbody " + std::to_string(n) +
         "\r\n";
}

std::string Script(int n) {
  return "HELO relay.example\r\nMAIL FROM:<alice@example.org>\r\nRCPT TO:<12345@fax.example>\r\n"
         "DATA\r\n" +
         Mail(n) + ".\r\nQUIT\r\n";
}

class DecodeThreadsTest : public test::ReceiverTest {
 protected:
  void Start(std::uint32_t threads) {
    InboundSettings inbound;
    inbound.decodeThreads = threads;
    StartReceiver("logfileb", "secondary.log", inbound);
  }
  // One mail and QUIT; the last two replies before the close.
  std::string Send(int n) {
    ScriptedClient client;
    if (!client.Connect(m_port) || !client.Send(Script(n))) return "";
    const std::string replies = client.ReadUntilClosed(kReplyBoundMs);
    const std::size_t tail = std::string_view(kAcknowledgedAndGone).size();
    return replies.size() < tail ? replies : replies.substr(replies.size() - tail);
  }
  std::vector<std::string> Ready() {
    std::vector<platform::DirEntry> entries;
    platform::FindFiles(m_out, "ENV*.tmp", entries);
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
  }
  bool WaitReady(std::size_t count) {
    return test::WaitUntil([&] { return Ready().size() >= count; }, kSpoolBound);
  }
  // The subjects of the ready envelopes, one entry per envelope.
  std::multiset<std::string> Subjects() {
    std::multiset<std::string> subjects;
    for (const std::string& name : Ready()) {
      const std::string text = ReadWholeFile(m_out + name);
      const auto at = text.find("SUBJECT: ");
      subjects.insert(at == std::string::npos ? "" : text.substr(at, text.find('\r', at) - at));
    }
    return subjects;
  }
  std::multiset<std::string> SubjectsOf(int count) {
    std::multiset<std::string> subjects;
    for (int n = 0; n < count; ++n) subjects.insert("SUBJECT: mail " + std::to_string(n));
    return subjects;
  }
};

// Without decode threads the QUIT is read only once the message is decoded (the work lock
// held here keeps it from being); with them it is answered at once, and the message is
// decoded when the lock comes free.
struct QuitCase {
  std::uint32_t threads;
  bool quitBeforeDecode;
};

class DecodeThreadsQuitTest : public DecodeThreadsTest,
                              public ::testing::WithParamInterface<QuitCase> {};

TEST_P(DecodeThreadsQuitTest, QuitIsAnsweredBeforeTheDecodeOnlyWithDecodeThreads) {
  const QuitCase c = GetParam();
  Start(c.threads);
  std::unique_lock work(m_server->WorkLock());
  ScriptedClient client;
  ASSERT_TRUE(client.Connect(m_port));
  ASSERT_TRUE(client.Send(Script(0)));
  for (std::string line; (line = client.ReadLine(kReplyBoundMs)) != "250 Mail Received OK\r\n";)
    ASSERT_FALSE(line.empty()) << "no 250";
  if (c.quitBeforeDecode) {
    EXPECT_EQ(client.ReadLine(kReplyBoundMs), "221 Goodbye\r\n");
    EXPECT_TRUE(client.WaitClosed(kReplyBoundMs));
    EXPECT_EQ(m_server->QueuedCount(), 1u);
  } else {
    EXPECT_EQ(client.ReadLine(kNoReplyWaitMs), "");
    EXPECT_EQ(m_server->QueuedCount(), 0u);
  }
  EXPECT_EQ(Ready(), std::vector<std::string>{});
  work.unlock();
  ASSERT_TRUE(WaitReady(1));
  if (!c.quitBeforeDecode) {
    EXPECT_EQ(client.ReadLine(kReplyBoundMs), "221 Goodbye\r\n");
  }
  EXPECT_EQ(Ready(), std::vector<std::string>{"ENV0.tmp"});
  EXPECT_EQ(ReadWholeFile(m_out + "ENV0.tmp"),
            "FROM: <a@b>\r\nSUBJECT: mail 0\r\n\r\nBEGIN BODY\r\n<<ENV0.bdy>>\r\n"
            "END BODY\r\n\r\n");
  EXPECT_EQ(ReadWholeFile(m_out + "ENV0.bdy"), "body 0\r\n");
}

INSTANTIATE_TEST_SUITE_P(Threads, DecodeThreadsQuitTest,
                         ::testing::Values(QuitCase{0, false}, QuitCase{2, true}),
                         [](const ::testing::TestParamInfo<QuitCase>& param) {
                           return param.param.threads == 0 ? std::string("OnTheSession")
                                                           : std::string("OnDecodeThreads");
                         });

// While the decode threads cannot keep up, the queue takes kDecodeQueueLimit messages beyond the
// one each thread holds; the next session decodes its own message before it reads its QUIT,
// and nothing handed over or decoded by a session is lost or made twice.
TEST_F(DecodeThreadsTest, AFullQueueMakesTheSessionDecodeItsOwnMessage) {
  Start(1);
  const int handed = static_cast<int>(SMTPIn::kDecodeQueueLimit) + 1;
  std::unique_lock work(m_server->WorkLock());
  for (int n = 0; n < handed; ++n) ASSERT_EQ(Send(n), kAcknowledgedAndGone) << "mail " << n;
  EXPECT_EQ(m_server->QueuedCount(), static_cast<std::size_t>(handed));

  ScriptedClient last;
  ASSERT_TRUE(last.Connect(m_port));
  ASSERT_TRUE(last.Send(Script(handed)));
  for (std::string line; (line = last.ReadLine(kReplyBoundMs)) != "250 Mail Received OK\r\n";)
    ASSERT_FALSE(line.empty()) << "no 250";
  EXPECT_EQ(last.ReadLine(kNoReplyWaitMs), "");
  work.unlock();
  EXPECT_EQ(last.ReadLine(kReplyBoundMs), "221 Goodbye\r\n");

  ASSERT_TRUE(WaitReady(handed + 1));
  ASSERT_TRUE(test::WaitUntil([&] { return m_server->QueuedCount() == 0; }, kSpoolBound));
  EXPECT_EQ(Subjects(), SubjectsOf(handed + 1));
  EXPECT_EQ(Ready().size(), static_cast<std::size_t>(handed + 1));
}

// A receiver that goes decodes what was handed over first: no raw message is left behind.
TEST_F(DecodeThreadsTest, HandedMessagesAreDecodedBeforeTheReceiverGoes) {
  constexpr int kMails = 5;
  Start(2);
  {
    std::lock_guard work(m_server->WorkLock());
    for (int n = 0; n < kMails; ++n) ASSERT_EQ(Send(n), kAcknowledgedAndGone) << "mail " << n;
  }
  m_server.reset();
  EXPECT_EQ(Subjects(), SubjectsOf(kMails));
  std::vector<platform::DirEntry> raw;
  platform::FindFiles(m_out, "*.cqx", raw);
  EXPECT_TRUE(raw.empty());
}

// Many sessions at once, each handing over its mail: every mail is one ready envelope, and the
// envelope numbers run without a gap.
TEST_F(DecodeThreadsTest, ConcurrentSessionsEachGetOneEnvelope) {
  constexpr int kSessions = 16;
  constexpr int kMailsEach = 8;
  Start(4);
  std::mutex lock;
  std::vector<std::string> failures;
  {
    std::vector<std::jthread> sessions;
    for (int s = 0; s < kSessions; ++s) {
      sessions.emplace_back([&, s] {
        for (int m = 0; m < kMailsEach; ++m) {
          const int n = s * kMailsEach + m;
          if (Send(n) != kAcknowledgedAndGone) {
            std::lock_guard guard(lock);
            failures.push_back("mail " + std::to_string(n));
          }
        }
      });
    }
  }
  EXPECT_EQ(failures, std::vector<std::string>{});
  constexpr int kMails = kSessions * kMailsEach;
  ASSERT_TRUE(WaitReady(kMails));
  ASSERT_TRUE(test::WaitUntil([&] { return m_server->QueuedCount() == 0; }, kSpoolBound));
  EXPECT_EQ(Subjects(), SubjectsOf(kMails));
  std::vector<std::string> expected;
  for (int n = 0; n < kMails; ++n) expected.push_back("ENV" + std::to_string(n) + ".tmp");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Ready(), expected);
}

}  // namespace
}  // namespace faxmail
