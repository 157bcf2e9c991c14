// The heavy hostile rows (label slow): a 100 MB message, a 10 MB header line, 100,000 tiny
// parts, 60 connections at once, a 50 MB ready file, 100,000 attachment lines and a ready file
// held under lock. Each ends with the check that nothing else was lost, whose memory bound
// also holds the gateway's peak (VmHWM): none of these may be held in memory whole.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "tests/hostile/in_support.h"
#include "tests/support/spool_check.h"

namespace faxmail {
namespace {

using test::After;
using test::ScriptedClient;

// Sends a mail of header, then filler repeated until about total bytes, then tail; in blocks.
std::string SendBig(std::uint16_t port, const std::string& header, const std::string& filler,
                    std::size_t total, const std::string& tail) {
  ScriptedClient c;
  if (!c.Connect(port) || c.ReadLine(test::kReplyMs).substr(0, 3) != "220") return {};
  c.Send("HELO big.example\r\nMAIL FROM:<a@b.example>\r\nRCPT TO:<1@fax.example>\r\nDATA\r\n");
  for (int i = 0; i < 4; ++i) c.ReadLine(test::kReplyMs);
  c.Send(header);
  std::string block;
  while (block.size() < (1u << 20)) block += filler;
  for (std::size_t sent = 0; sent < total; sent += block.size()) c.Send(block);
  c.Send(tail + ".\r\n");
  return c.ReadLine(120000);
}

class HeavyHostile : public test::InHostileTest {
 protected:
  void ExpectPeakBounded() {
    EXPECT_LT(Gateway().PeakMemoryKiB(), test::kResidentBoundKiB) << "peak resident KiB";
  }
};

TEST_F(HeavyHostile, Message100MB) {
  EXPECT_EQ(SendBig(Gateway().Port(), "Subject: huge\r\n\r\n", std::string(98, 'x') + "\r\n",
                    100u << 20, "last line of the huge mail\r\n"),
            test::kAcknowledged);
  ASSERT_TRUE(WaitSettled());
  const auto ready = TakeReadyTexts();
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_TRUE(ready.begin()->second.ends_with("last line of the huge mail\r\n"));
  EXPECT_GE(ready.begin()->second.size(), 100u << 20);
  ExpectPeakBounded();
  ExpectNothingElseLost(nullptr, After::Closed);
}

TEST_F(HeavyHostile, HeaderLine10MB) {
  EXPECT_EQ(SendBig(Gateway().Port(), "Subject: long header\r\nX-Long: ", std::string(1024, 'h'),
                    10u << 20, "\r\n\r\ntext after the long header\r\n"),
            test::kAcknowledged);
  ASSERT_TRUE(WaitSettled());
  const auto ready = TakeReadyTexts();
  EXPECT_EQ(ready.size(), 1u);
  ExpectPeakBounded();
  ExpectNothingElseLost(nullptr, After::Closed);
}

TEST_F(HeavyHostile, HundredThousandTinyParts) {
  std::string mail =
      "Subject: tiny parts\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; "
      "boundary=t\r\n\r\n";
  for (int i = 0; i < 100000; ++i) mail += "--t\r\n\r\np" + std::to_string(i) + "\r\n";
  mail += "--t--\r\n";
  EXPECT_EQ(test::SendMail(Gateway().Port(), mail, 120000), test::kAcknowledged);
  ASSERT_TRUE(WaitSettled());
  const auto ready = TakeReadyTexts();
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_NE(ready.begin()->second.find("p99999"), std::string::npos);
  ExpectPeakBounded();
  ExpectNothingElseLost(nullptr, After::Closed);
}

TEST_F(HeavyHostile, SixtyConnectionsAtOnce) {
  // At most 20 sessions are served; a connection over the limit is closed without a byte.
  constexpr int kConnections = 60;
  constexpr int kServed = 20;
  std::vector<std::unique_ptr<ScriptedClient>> clients;
  for (int i = 0; i < kConnections; ++i) {
    clients.push_back(std::make_unique<ScriptedClient>());
    ASSERT_TRUE(clients.back()->Connect(Gateway().Port()));
  }
  int greeted = 0, closedSilently = 0;
  std::vector<ScriptedClient*> served;
  for (auto& c : clients) {
    const std::string line = c->ReadLine(10000);
    if (line == "220 fax.example Service Ready\r\n") {
      ++greeted;
      served.push_back(c.get());
    } else if (line.empty() && c->WaitClosed(10000)) {
      ++closedSilently;
    }
  }
  EXPECT_EQ(greeted, kServed);
  EXPECT_EQ(closedSilently, kConnections - kServed);
  // Every served session still takes a whole mail.
  int id = 1;
  for (ScriptedClient* c : served) {
    ASSERT_TRUE(test::OpenTransaction(*c, After::WaitHelo));
    c->Send(test::MailWithAttachment(id++, 500) + ".\r\n");
    EXPECT_EQ(c->ReadLine(test::kReplyMs), test::kAcknowledged);
  }
  ASSERT_TRUE(WaitSettled());
  const test::SpoolCheck check = test::CheckSpool(Out(), 500);
  EXPECT_EQ(static_cast<int>(check.ready.size()), kServed);
  EXPECT_TRUE(check.problems.empty());
  clients.clear();
  ExpectNothingElseLost(nullptr, After::Closed);
}

TEST_F(HeavyHostile, ReadyFileWith50MBBody) {
  std::string body;
  const std::string line = std::string(78, 'b') + "\r\n";
  body.reserve(51u << 20);
  while (body.size() < (50u << 20)) body += line;
  test::InContext c(*this);
  c.Ready("big.tmp",
          "FROM: Fax Server <fax@fax.example>\r\nTO: Alice <alice@localhost>\r\n"
          "SUBJECT: Fax sent OK to 5551234\r\n\r\nBEGIN BODY\r\n\r\n" +
              body + test::Reference("big") + "\r\n\r\nEND BODY\r\n\r\n");
  body.clear();
  body.shrink_to_fit();
  EXPECT_TRUE(test::WaitUntil([&] { return Sink().Has(test::Reference("big")); },
                              std::chrono::seconds(150)));
  const auto mails = Sink().Mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_GE(mails[0].data.size(), 50u << 20);
  ExpectPeakBounded();
  ExpectNothingElseLost(nullptr, After::Closed);
}

TEST_F(HeavyHostile, HundredThousandAttachmentLines) {
  test::WriteWholeFile(In() + "one.tif", "II*\0tiny image");
  std::string lines;
  for (int i = 0; i < 100000; ++i) lines += (i ? "\r\n" : "") + std::string("<<fax.tif:one.tif>>");
  test::InContext c(*this);
  c.Ready("many.tmp", test::FaxReceived("many", lines));
  // A fax server's file has a handful: this one is set aside unsent, and soon.
  EXPECT_TRUE(test::WaitUntil([&] { return platform::FileExists(In() + "many.Refused.Err"); },
                              std::chrono::seconds(150)))
      << Gateway().MainLog().substr(0, 4000);
  EXPECT_FALSE(Sink().Has(test::Reference("many")));
  EXPECT_TRUE(Logged("SMTPOut- Error: More attachment lines than 1000"));
  ExpectPeakBounded();
  ExpectNothingElseLost(nullptr, After::Closed);
}

TEST_F(HeavyHostile, ReadyFileHeldUnderLock) {
  test::InContext c(*this);
  {
    // The fax server still writes it: opened without sharing before it has its ready name (held
    // only after the rename, the gateway's sender, woken by the name, may hold it first).
    test::WriteWholeFile(In() + "held.part", test::Notification("held"));
    platform::File held;
    ASSERT_EQ(
        platform::File::Open(In() + "held.part", platform::Access::ReadWrite, platform::Share::None,
                             platform::Disposition::OpenExisting, held),
        0);
    std::filesystem::rename(In() + "held.part", In() + "held.tmp");
    std::this_thread::sleep_for(std::chrono::seconds(12));
    EXPECT_FALSE(Sink().Has(test::Reference("held")));
    EXPECT_TRUE(platform::DirectoryExists(In()));
  }
  EXPECT_TRUE(test::WaitUntil([&] { return Sink().Has(test::Reference("held")); },
                              std::chrono::seconds(60)));
  ExpectNothingElseLost(nullptr, After::Closed);
}

}  // namespace
}  // namespace faxmail
