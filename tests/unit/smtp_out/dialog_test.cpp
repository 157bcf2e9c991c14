// The SMTP client dialogue against a scripted server: the exact commands, the waits for reply
// codes, greetings, Postfix, failures, and the message bytes on the wire. No DNS server
// answers here, so the sender falls back to the recipient's domain, 127.0.0.1.
#include <gtest/gtest.h>

#include <string>

#include "gateway/queue/file_man.h"
#include "gateway/smtp_out/smtp_out.h"
#include "tests/unit/smtp_out/scripted_server.h"
#include "tests/unit/smtp_out/sender_test_util.h"

namespace faxmail {
namespace {

using test::ScriptedSmtpServer;
using test::ServerScript;

constexpr char kMessage[] = "TO: <USER@127.0.0.1>\r\nSubject: test\r\n\r\nhello\r\n.\r\n";

class DialogTest : public test::SenderTest {
 protected:
  int Deliver(std::uint16_t port, const std::string& message, bool rfcMode = false,
              std::uint32_t timeoutMs = 3000, const std::string& address = "USER@127.0.0.1") {
    SetDword("SmtpTxPort", port);
    SetDword("RFCMode", rfcMode ? 1 : 0);
    CFileMan fileMan;
    SMTPOut sender;
    sender.SetFileManager(fileMan);
    SMTPOut::Timings timings;
    timings.receiveTimeoutMs = timeoutMs;
    sender.SetTimings(timings);
    test::WriteWholeFile(In("w.cqx"), message);
    platform::File work;
    EXPECT_EQ(platform::File::Open(In("w.cqx"), platform::Access::Read, platform::Share::None,
                                   platform::Disposition::OpenExisting, work),
              0);
    return sender.SendViaMX(work, address, "TO: <" + address + ">");
  }
  static std::string Commands(const std::string& data) {
    return "HELO fax.example\r\nMail from:<fax.example>\r\nRCPT to:<USER@127.0.0.1>\r\nDATA\r\n" +
           data + "QUIT\r\n";
  }
  // Whether the log holds these entries in this order.
  bool LoggedInOrder(const std::vector<std::string>& entries) const {
    const std::string log = Log();
    std::size_t at = 0;
    for (const auto& entry : entries) {
      at = log.find(entry, at);
      if (at == std::string::npos) return false;
    }
    return true;
  }
};

TEST_F(DialogTest, CommandsAreSentExactlyAsWritten) {
  ServerScript script;
  script.greetingDelay = std::chrono::milliseconds(300);
  ScriptedSmtpServer server(script);
  EXPECT_EQ(Deliver(server.Port(), kMessage), SMTPOut::kDelivered);
  server.WaitDone();
  EXPECT_EQ(server.Transcript(), Commands(kMessage));
  // Without RFC mode HELO goes out before the greeting has been read.
  EXPECT_TRUE(server.ClientSpokeFirst());
  EXPECT_TRUE(
      LoggedInOrder({"SMTPOut- Error: Auth Lookup Failed", "SMTPOut- No MX Rec: Using: 127.0.0.1",
                     "SMTPOut- Connecting", "SMTPOut- Sending HELO - Waiting for ack (250)",
                     "SMTPOut- Ack: 220 scripted.test ready", "SMTPOut- Ack: 250 scripted.test",
                     "SMTPOut- Sending MAIL - Waiting for ack (250)",
                     "SMTPOut- Sending RCPT - Waiting for ack (250)",
                     "SMTPOut- Sending DATA - Waiting for ack (354)", "SMTPOut- Sending Message",
                     "SMTPOut- Waiting for DATA end ack (250)", "SMTPOut- Ack: 250 queued",
                     "SMTPOut- Sending QUIT - Waiting for ack (221)", "QUIT Ack - 221 bye",
                     "Closing connection"}))
      << Log();
}

TEST_F(DialogTest, RfcModeReadsTheGreetingFirst) {
  ServerScript script;
  script.greetingDelay = std::chrono::milliseconds(300);
  ScriptedSmtpServer server(script);
  EXPECT_EQ(Deliver(server.Port(), kMessage, /*rfcMode=*/true), SMTPOut::kDelivered);
  server.WaitDone();
  EXPECT_FALSE(server.ClientSpokeFirst());
  EXPECT_EQ(server.Transcript(), Commands(kMessage));
}

TEST_F(DialogTest, MultiLineGreetingIsSkippedWhileWaitingForHeloAck) {
  ServerScript script;
  script.greeting = "220-scripted.test first\r\n220-second\r\n220 third\r\n";
  ScriptedSmtpServer server(script);
  EXPECT_EQ(Deliver(server.Port(), kMessage), SMTPOut::kDelivered);
  server.WaitDone();
  EXPECT_EQ(server.Transcript(), Commands(kMessage));
}

TEST_F(DialogTest, PostfixGetsMailFromTheRecipientAfterTheTimeOut) {
  for (const bool rfcMode : {false, true}) {
    ServerScript script;
    script.greeting = "220 mx.test ESMTP Postfix\r\n";
    ScriptedSmtpServer server(script);
    EXPECT_EQ(Deliver(server.Port(), kMessage, rfcMode, /*timeoutMs=*/400), SMTPOut::kDelivered);
    server.WaitDone();
    EXPECT_EQ(server.Transcript(),
              "HELO fax.example\r\nMail from:<USER@127.0.0.1>\r\nRCPT to:<USER@127.0.0.1>\r\n"
              "DATA\r\n" +
                  std::string(kMessage) + "QUIT\r\n");
    EXPECT_TRUE(Logged("SMTPOut- This is a postfix server"));
  }
}

TEST_F(DialogTest, ErrorRepliesAreSkippedUntilTheTimeOut) {
  ServerScript script;
  script.replies["RCPT"] = "550 5.1.1 no such user\r\n";
  ScriptedSmtpServer server(script);
  EXPECT_EQ(Deliver(server.Port(), kMessage, false, /*timeoutMs=*/300), SMTPOut::kDialogueFailed);
  server.WaitDone();
  EXPECT_EQ(server.Transcript(),
            "HELO fax.example\r\nMail from:<fax.example>\r\nRCPT to:<USER@127.0.0.1>\r\n");
  EXPECT_TRUE(LoggedInOrder(
      {"SMTPOut- Ack: 550 5.1.1 no such user", "WSA Socket Error: (", "Closing connection"}))
      << Log();
}

TEST_F(DialogTest, ConnectionClosedByTheServerFailsTheDialogue) {
  for (const char* verb : {"HELO", "DATA"}) {
    ServerScript script;
    script.closeAt = verb;
    ScriptedSmtpServer server(script);
    EXPECT_EQ(Deliver(server.Port(), kMessage), SMTPOut::kDialogueFailed) << verb;
  }
}

TEST_F(DialogTest, MessageAcceptedBeforeAClosedQuitIsDelivered) {
  // Once the server has answered the message with 250 it has it: a lost QUIT reply must not
  // make the sender deliver it a second time.
  ServerScript script;
  script.closeAt = "QUIT";
  ScriptedSmtpServer server(script);
  EXPECT_EQ(Deliver(server.Port(), kMessage), SMTPOut::kDelivered);
  EXPECT_NE(Log().find("SMTPOut- No QUIT ack; the message was accepted"), std::string::npos);
}

TEST_F(DialogTest, ContinuationLineEndsTheWaitAtOnce) {
  ServerScript script;
  script.replies["HELO"] = "250-scripted.test\r\n250 HELP\r\n";
  ScriptedSmtpServer server(script);
  // The rest of the reply is taken as the next command's; the dialogue still completes.
  EXPECT_EQ(Deliver(server.Port(), kMessage), SMTPOut::kDelivered);
  server.WaitDone();
  EXPECT_EQ(server.Transcript(), Commands(kMessage));
  EXPECT_TRUE(
      LoggedInOrder({"SMTPOut- Ack: 250-scripted.test",
                     "SMTPOut- Sending MAIL - Waiting for ack (250)", "SMTPOut- Ack: 250 HELP"}));
}

TEST_F(DialogTest, FloodOfRepliesEndsTheWait) {
  ServerScript script;
  std::string flood;
  for (int i = 0; i < 1000; ++i) flood += "220-flood\r\n";
  script.replies["HELO"] = flood + "250 finally\r\n";
  ScriptedSmtpServer server(script);
  EXPECT_EQ(Deliver(server.Port(), kMessage, false, /*timeoutMs=*/20000), SMTPOut::kDialogueFailed);
}

TEST_F(DialogTest, LeadingDotsAreDoubledExceptInTheEndLine) {
  ScriptedSmtpServer server(ServerScript{});
  const std::string message = "TO: <USER@127.0.0.1>\r\n\r\n.\r\n.QUIT\r\n..two\r\nmid.dot\r\n.\r\n";
  EXPECT_EQ(Deliver(server.Port(), message), SMTPOut::kDelivered);
  server.WaitDone();
  EXPECT_EQ(server.Data(),
            "TO: <USER@127.0.0.1>\r\n\r\n..\r\n..QUIT\r\n...two\r\nmid.dot\r\n.\r\n");
}

// A message of many blocks (a fax image): every byte arrives, with lines that begin with a dot
// doubled wherever they stand, on either side of the edges of the blocks it is read and sent
// in, and the end line alone.
TEST_F(DialogTest, LargeMessageArrivesWhole) {
  ScriptedSmtpServer server(ServerScript{});
  std::string message = "TO: <USER@127.0.0.1>\r\n\r\n";
  std::string expected = message;
  for (int i = 0; message.size() < 300 * 1024; ++i) {
    // Lines of varying length, a third of them dotted, so dotted lines meet every edge.
    const std::string line = (i % 3 == 0 ? "." : "") + std::string(static_cast<std::size_t>(i % 97),
                                                                   static_cast<char>('a' + i % 26));
    message += line + "\r\n";
    expected += (line.starts_with('.') ? "." : "") + line + "\r\n";
  }
  message += ".\r\n";
  expected += ".\r\n";
  // A reply wait long enough for a loaded machine: the 300 KB go through loopback both ways.
  EXPECT_EQ(Deliver(server.Port(), message, false, 30000), SMTPOut::kDelivered);
  server.WaitDone();
  ASSERT_EQ(server.Data().size(), expected.size());
  EXPECT_TRUE(server.Data() == expected);
}

TEST_F(DialogTest, DoubleAngleAfterToIsMadeSingleWithinOnePiece) {
  ScriptedSmtpServer server(ServerScript{});
  // The second occurrence spans the end of the first 200-byte piece and is sent unchanged.
  std::string message = "TO:<<A@B.TEST>>\r\n";
  message += std::string(198 - message.size() - 2, 'x') + "\r\n";
  ASSERT_EQ(message.size(), 198u);
  message += "TO:<<C@D.TEST>>\r\nTO:<<<E>\r\n.\r\n";
  EXPECT_EQ(Deliver(server.Port(), message), SMTPOut::kDelivered);
  server.WaitDone();
  std::string expected = message;
  expected.replace(0, 5, "TO:<");
  expected.replace(expected.find("TO:<<<E>"), 8, "TO:<<E>");
  EXPECT_EQ(server.Data(), expected);
}

TEST_F(DialogTest, NoHostToConnectIsTwo) {
  const std::uint16_t port = test::FreeLoopbackPort();  // nothing listens there
  EXPECT_EQ(Deliver(port, kMessage), SMTPOut::kNoMailHost);
  EXPECT_TRUE(LoggedInOrder({"SMTPOut- No MX Rec: Using: 127.0.0.1",
                             "SMTP Out- Unable to connect to the host: 127.0.0.1"}));
}

TEST_F(DialogTest, AddressWithoutAtSignIsItsOwnDomain) {
  ScriptedSmtpServer server(ServerScript{});
  EXPECT_EQ(Deliver(server.Port(), kMessage, false, 3000, "127.0.0.1"), SMTPOut::kDelivered);
  server.WaitDone();
  EXPECT_NE(server.Transcript().find("RCPT to:<127.0.0.1>\r\n"), std::string::npos);
  EXPECT_TRUE(Logged("SMTPOut- No MX Rec: Using: 127.0.0.1"));
}

}  // namespace
}  // namespace faxmail
