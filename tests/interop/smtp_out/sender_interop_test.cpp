// The sender against mail servers and a DNS server that nobody here wrote: Knot serves the
// recipient domain's MX records on 127.25.T.1:53, pointing at aiosmtpd (which records each
// transaction) or smtp-sink on 127.25.T.x. What arrives is decoded with Python's email
// package. Each test T has its own addresses and ports.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "gateway/queue/file_man.h"
#include "gateway/smtp_out/smtp_out.h"
#include "tests/support/knot_server.h"
#include "tests/support/mail_peers.h"
#include "tests/support/peers.h"
#include "tests/unit/net/net_test_util.h"
#include "tests/unit/smtp_out/sender_test_util.h"

namespace faxmail {
namespace {

using namespace std::chrono_literals;
using test::KnotServer;
using test::ReadWholeFile;
using test::ReadyFile;
using test::SmtpRecorder;
using test::WaitFor;
using test::WriteWholeFile;

std::string Address(int t, int n) {
  return "127.25." + std::to_string(t) + "." + std::to_string(n);
}

// A zone for dest.test. served at 127.25.T.1 with the given MX lines.
std::string DestZone(int t, const std::string& mx) {
  return "$ORIGIN dest.test.\n$TTL 3600\n@ SOA ns hostmaster 1 3600 600 86400 300\n"
         "@ NS ns\nns A " +
         Address(t, 1) + "\n" + mx;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& b : bytes) b = static_cast<char>(random());
  bytes[0] = 'I';
  return bytes;
}

class SenderInterop : public test::SenderTest {
 protected:
  void SetUp() override {
    SenderTest::SetUp();
    FAXMAIL_REQUIRE_PEER(test::kKnotd);
    FAXMAIL_REQUIRE_PEER(test::kSystemPython);
    m_port = test::FreeLoopbackPort();
    m_timings.idlePoll = 200ms;
    m_timings.receiveTimeoutMs = 5000;
  }
  void StartDns(int t, const std::string& origin, const std::string& zone) {
    m_dns = std::make_unique<KnotServer>(Address(t, 1), std::vector<test::Zone>{{origin, zone}});
    ASSERT_TRUE(m_dns->Ready()) << m_dns->Log();
    SetString("DNSName", Address(t, 1));
  }
  void StartSender() { SenderTest::StartSender(m_port); }
  bool WaitForEmptyQueue() {
    return WaitFor([&] { return InFiles("*.tmp").empty(); }, 30s);
  }

  std::uint16_t m_port = 0;
  std::unique_ptr<KnotServer> m_dns;
};

TEST_F(SenderInterop, ReceivedFaxReachesTheSecondExchangerWhenTheFirstIsDown) {
  constexpr int t = 1;
  StartDns(t, "dest.test.",
           DestZone(t, "@ MX 10 " + Address(t, 9) + ".\n@ MX 20 " + Address(t, 2) + ".\n"));
  SmtpRecorder peer(Address(t, 2), m_port);
  ASSERT_TRUE(peer.Ready()) << peer.Output();
  const std::string image = RandomBytes(70000, 3);
  const std::string report = "%!PS-Adobe-3.0\n%%Pages: 1\n";
  WriteWholeFile(In("img1.tif"), image);
  WriteWholeFile(In("rep1.ps"), report);
  ReadyFile ready;
  ready.subject = "SUBJECT: Fax received from 5551234";
  ready.body = {"You have received a fax of 2 pages.", "Sender: 5551234"};
  ready.attachments = {"<<fax.tif:img1.tif>>", "<<report.ps:rep1.ps>>"};
  WriteWholeFile(In("fax1.tmp"), ready.Text());
  StartSender();

  ASSERT_TRUE(peer.WaitForMails(1)) << Log();
  ASSERT_TRUE(WaitForEmptyQueue());
  StopSender();
  const auto mails = peer.Mails();
  EXPECT_EQ(mails[0].helo, "fax.example");
  EXPECT_EQ(mails[0].mailFrom, "fax.example");
  EXPECT_EQ(mails[0].rcptTo, std::vector<std::string>{"ALICE@DEST.TEST"});
  const test::ParsedMail parsed = test::ParseMail(mails[0].data);
  EXPECT_EQ(parsed.defects, 0);
  ASSERT_EQ(parsed.parts.size(), 3u);
  EXPECT_EQ(parsed.parts[0].contentType, "text/plain");
  // Python's parser gives text with LF line ends; the CR LF before a delimiter is the
  // delimiter's.
  EXPECT_EQ(parsed.parts[0].payload, "You have received a fax of 2 pages.\nSender: 5551234\n");
  EXPECT_EQ(parsed.parts[1].contentType, "application/octet-stream");
  EXPECT_EQ(parsed.parts[1].fileName, "fax.tif");
  EXPECT_EQ(parsed.parts[1].payload, image);  // byte for byte
  EXPECT_EQ(parsed.parts[2].contentType, "application/postscript");
  EXPECT_EQ(parsed.parts[2].fileName, "report.ps");
  EXPECT_EQ(parsed.parts[2].payload, report);

  EXPECT_EQ(CountEntries("SMTPOut- MX Rec Found : " + Address(t, 9)), 1);
  EXPECT_EQ(CountEntries("SMTPOut- Unable to connect to the host: " + Address(t, 9)), 1);
  EXPECT_EQ(CountEntries("SMTPOut- MX Rec Found : " + Address(t, 2)), 1);
  EXPECT_FALSE(Logged("SMTPOut- No MX Rec"));
  // Only the first attachment goes with the delivered file.
  EXPECT_FALSE(platform::FileExists(In("img1.tif")));
  EXPECT_EQ(ReadWholeFile(In("rep1.ps")), report);
  EXPECT_TRUE(InFiles("*.cqx").empty());
}

TEST_F(SenderInterop, DomainWithoutMxIsConnectedItself) {
  constexpr int t = 2;
  StartDns(t, "localhost.",
           "$ORIGIN localhost.\n$TTL 3600\n@ SOA ns hostmaster 1 3600 600 86400 300\n"
           "@ NS ns\nns A " +
               Address(t, 1) + "\n@ A 127.0.0.1\n");
  SmtpRecorder peer("127.0.0.1", m_port);
  ASSERT_TRUE(peer.Ready()) << peer.Output();
  ReadyFile ready;
  ready.header = {"FROM: fax", "TO: Bob <bob@localhost>"};
  WriteWholeFile(In("local.tmp"), ready.Text());
  StartSender();
  ASSERT_TRUE(peer.WaitForMails(1)) << Log();
  EXPECT_EQ(peer.Mails()[0].rcptTo, std::vector<std::string>{"BOB@LOCALHOST"});
  EXPECT_TRUE(Logged("SMTPOut- No MX Rec: Using: LOCALHOST"));
  EXPECT_FALSE(Logged("SMTPOut- MX Rec Found"));
}

TEST_F(SenderInterop, ThreeReadyFilesGoOutWithinOneIdlePeriod) {
  constexpr int t = 4;
  StartDns(t, "dest.test.", DestZone(t, "@ MX 10 " + Address(t, 2) + ".\n"));
  SmtpRecorder peer(Address(t, 2), m_port);
  ASSERT_TRUE(peer.Ready()) << peer.Output();
  for (const char* name : {"b.tmp", "a.tmp", "c.tmp"}) {
    ReadyFile ready;
    ready.body = {std::string("file ") + name};
    WriteWholeFile(In(name), ready.Text());
  }
  std::vector<platform::DirEntry> order;
  platform::FindFiles(m_data + "IN", "*.tmp", order);
  m_timings.idlePoll = 1h;  // only the poll at the start may find them
  StartSender();
  ASSERT_TRUE(peer.WaitForMails(3)) << Log();
  ASSERT_TRUE(WaitFor([&] { return Logged("SMTPOut- No messages to send."); }));
  const auto mails = peer.Mails();
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_NE(mails[i].data.find("file " + order[i].name), std::string::npos) << i;
  EXPECT_EQ(CountEntries("SMTPOut- New message thread started"), 3);
  EXPECT_EQ(CountEntries("SMTPOut- No messages to send."), 1);
}

TEST_F(SenderInterop, SuppressedNotificationsAreDeletedUnsent) {
  constexpr int t = 5;
  StartDns(t, "dest.test.", DestZone(t, "@ MX 10 " + Address(t, 2) + ".\n"));
  SmtpRecorder peer(Address(t, 2), m_port);
  ASSERT_TRUE(peer.Ready()) << peer.Output();
  SetOptions(/*includeTiff=*/1, /*subjectLine=*/0, /*notifyOnSuccess=*/0, /*notifyOnFailure=*/1);
  ReadyFile ok;
  ok.subject = "SUBJECT: Fax sent OK to 5551234";
  ok.attachments = {"<<fax.tif:ok1.tif>>"};
  WriteWholeFile(In("ok1.tif"), "sent image");
  WriteWholeFile(In("ok.tmp"), ok.Text());
  ReadyFile rejected;
  rejected.subject = "SUBJECT: Fax to 5551234 rejected";
  WriteWholeFile(In("rejected.tmp"), rejected.Text());
  StartSender();
  ASSERT_TRUE(peer.WaitForMails(1)) << Log();
  ASSERT_TRUE(WaitForEmptyQueue());
  ASSERT_TRUE(WaitFor([&] { return Logged("SMTPOut- No messages to send."); }));
  const auto mails = peer.Mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_NE(mails[0].data.find("rejected"), std::string::npos);
  EXPECT_EQ(CountEntries("SMTPOut- encoding not done."), 1);
  EXPECT_FALSE(platform::FileExists(In("ok1.tif")));
}

TEST_F(SenderInterop, LinesThatBeginWithADotArriveIntact) {
  constexpr int t = 6;
  StartDns(t, "dest.test.", DestZone(t, "@ MX 10 " + Address(t, 2) + ".\n"));
  SmtpRecorder peer(Address(t, 2), m_port);
  ASSERT_TRUE(peer.Ready()) << peer.Output();
  SetOptions(/*includeTiff=*/0, /*subjectLine=*/0);
  ReadyFile ready;
  ready.body = {"before", ".", ".QUIT", "..two", "after"};
  WriteWholeFile(In("dots.tmp"), ready.Text());
  StartSender();
  ASSERT_TRUE(peer.WaitForMails(1)) << Log();
  ASSERT_TRUE(WaitForEmptyQueue());
  const auto mails = peer.Mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_TRUE(mails[0].data.ends_with("\r\n\r\nbefore\r\n.\r\n.QUIT\r\n..two\r\nafter\r\n\r\n"))
      << mails[0].data;
  const test::ParsedMail parsed = test::ParseMail(mails[0].data);
  ASSERT_EQ(parsed.parts.size(), 1u);
  EXPECT_EQ(parsed.parts[0].payload, "before\n.\n.QUIT\n..two\nafter\n\n");
  // The server saw one mail and nothing read as a command.
  EXPECT_EQ(CountEntries("SMTPOut- Ack: 250 OK queued"), 1);
}

TEST_F(SenderInterop, PostfixSmtpSinkTakesTheMail) {
  constexpr int t = 7;
  FAXMAIL_REQUIRE_PEER(test::kSmtpSink);
  StartDns(t, "dest.test.", DestZone(t, "@ MX 10 " + Address(t, 2) + ".\n"));
  test::SmtpSink sink(Address(t, 2), m_port);
  ASSERT_TRUE(sink.Ready());
  ReadyFile ready;
  ready.body = {"to the sink", ".leading dot"};
  WriteWholeFile(In("sink.tmp"), ready.Text());
  StartSender();
  ASSERT_TRUE(WaitForEmptyQueue()) << Log();
  ASSERT_TRUE(WaitFor([&] { return sink.Dumps().size() == 1; }));
  const std::string dump = sink.Dumps()[0];
  EXPECT_NE(dump.find("X-Rcpt-Args: <ALICE@DEST.TEST>"), std::string::npos) << dump;
  EXPECT_NE(dump.find("\nto the sink\n.leading dot\n"), std::string::npos) << dump;
  EXPECT_TRUE(Logged("QUIT Ack - 221"));
}

}  // namespace
}  // namespace faxmail
