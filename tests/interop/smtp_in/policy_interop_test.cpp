// The sender policy and the duplicate guard of the real faxmailgw, with mail clients that
// nobody here wrote: refusals at MAIL with nothing spooled, and a resent message spooled once.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/gateway_process.h"
#include "tests/support/peers.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::GatewayProcess;
using test::ReadWholeFile;
using test::WriteWholeFile;

// Sends one message per call with smtplib and prints each outcome as a line:
//   sent                 accepted
//   refused CODE TEXT    refused at MAIL (the session goes on, QUIT follows)
// argv: port, sender, recipients (comma-separated), Message-ID ("-": none), senders to try
// after a refusal in the same session (comma-separated, may be empty).
constexpr char kSendScript[] = R"(
import smtplib, sys
port, sender, rcpts, mid, more = sys.argv[1:6]
s = smtplib.SMTP('127.0.0.1', int(port), local_hostname='py.test', timeout=20)
msg = ''
if mid != '-':
    msg += 'Message-ID: ' + mid + '\r\n'
msg += 'Subject: policy\r\n\r\nbody\r\n'
for frm in [sender] + [m for m in more.split(',') if m]:
    try:
        s.sendmail(frm, rcpts.split(','), msg)
        print('sent')
    except smtplib.SMTPSenderRefused as e:
        print('refused', e.smtp_code, e.smtp_error.decode())
s.quit()
)";

class PolicyInterop : public test::RootTest {
 protected:
  std::string Send(GatewayProcess& gateway, const std::string& sender,
                   const std::string& recipients, const std::string& messageId,
                   const std::string& more = "") {
    std::string output;
    const int status =
        test::RunProgram({test::kSystemPython, "-c", kSendScript, std::to_string(gateway.Port()),
                          sender, recipients, messageId, more},
                         &output);
    EXPECT_EQ(status, 0) << output;
    return output;
  }
  static std::size_t Envelopes(const GatewayProcess& gateway) {
    return gateway.Files("OUT", "ENV*.tmp").size();
  }
  // Nothing of a message is left in OUT: no raw file, record, debug copy or envelope.
  static void ExpectNothingSpooled(const GatewayProcess& gateway) {
    for (const char* pattern : {"*.cqx", "*.rcpt", "*.debug", "ENV*"})
      EXPECT_TRUE(gateway.Files("OUT", pattern).empty()) << pattern;
  }
  std::string Swaks(GatewayProcess& gateway, const std::string& from, int* status) {
    std::string output;
    *status = test::RunProgram(
        {"/usr/bin/swaks", "--server", "127.0.0.1", "--port", std::to_string(gateway.Port()),
         "--helo", "relay.test", "--from", from, "--to", "5551234@fax.example", "--timeout", "20"},
        &output);
    return output;
  }
};

TEST_F(PolicyInterop, SwaksSenderOutsideAllowedSendersGets550AndNothingSpooled) {
  FAXMAIL_REQUIRE_PEER("/usr/bin/swaks");
  GatewayProcess gateway(Root());
  test::SetGatewayText("AllowedSenders", "@allowed.example, boss@other.example");
  ASSERT_TRUE(gateway.Start());
  int status = 0;
  std::string output = Swaks(gateway, "alice@other.example", &status);
  EXPECT_NE(status, 0) << output;
  EXPECT_NE(output.find("<** 550 5.7.1 Sender address not allowed"), std::string::npos) << output;
  ExpectNothingSpooled(gateway);

  output = Swaks(gateway, "Bob@Allowed.Example", &status);
  EXPECT_EQ(status, 0) << output;
  output = Swaks(gateway, "BOSS@other.example", &status);
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(Envelopes(gateway), 2u);
  EXPECT_EQ(gateway.Stop(), 0);
  for (const std::string& log : {gateway.MainLog(), gateway.SecondaryLog()})
    EXPECT_NE(log.find("SMTPIn- MAIL refused, client 127.0.0.1, sender FROM:<alice@other.example>: "
                       "not in AllowedSenders"),
              std::string::npos)
        << log;
}

TEST_F(PolicyInterop, SwaksClientOutsideAllowedNetworksGets550AndNothingSpooled) {
  FAXMAIL_REQUIRE_PEER("/usr/bin/swaks");
  GatewayProcess gateway(Root());
  test::SetGatewayText("AllowedNetworks", "10.0.0.0/8");
  ASSERT_TRUE(gateway.Start());
  int status = 0;
  const std::string output = Swaks(gateway, "alice@example.org", &status);
  EXPECT_NE(status, 0) << output;
  EXPECT_NE(output.find("<** 550 5.7.1 Client host not allowed to send mail here"),
            std::string::npos)
      << output;
  ExpectNothingSpooled(gateway);
  EXPECT_EQ(gateway.Stop(), 0);
  for (const std::string& log : {gateway.MainLog(), gateway.SecondaryLog()})
    EXPECT_NE(log.find("client 127.0.0.1, sender FROM:<alice@example.org>: not in "
                       "AllowedNetworks"),
              std::string::npos)
        << log;

  // Loopback in the list: the same client gets its envelope.
  test::SetGatewayText("AllowedNetworks", "10.0.0.0/8 127.0.0.0/8");
  ASSERT_TRUE(gateway.Start());
  const std::string accepted = Swaks(gateway, "alice@example.org", &status);
  EXPECT_EQ(status, 0) << accepted;
  EXPECT_EQ(Envelopes(gateway), 1u);
  EXPECT_EQ(gateway.Stop(), 0);
}

TEST_F(PolicyInterop, SessionGoesOnAfterARefusedSender) {
  FAXMAIL_REQUIRE_PEER(test::kSystemPython);
  GatewayProcess gateway(Root());
  test::SetGatewayText("AllowedSenders", "@allowed.example");
  ASSERT_TRUE(gateway.Start());
  // The null sender, then a stranger, then an allowed sender, in one session.
  const std::string output =
      Send(gateway, "", "1@fax.example", "-", "eve@evil.example,ann@allowed.example");
  EXPECT_EQ(output,
            "refused 550 5.7.1 Sender address not allowed\n"
            "refused 550 5.7.1 Sender address not allowed\n"
            "sent\n");
  EXPECT_EQ(Envelopes(gateway), 1u);
  EXPECT_EQ(gateway.Files("OUT", "*.debug").size(), 1u);
  EXPECT_EQ(gateway.Stop(), 0);
}

TEST_F(PolicyInterop, MalformedListRefusesEveryoneAndSaysSo) {
  FAXMAIL_REQUIRE_PEER(test::kSystemPython);
  GatewayProcess gateway(Root());
  test::SetGatewayText("AllowedNetworks", "127.0.0.0/88, localhost");
  ASSERT_TRUE(gateway.Start());
  EXPECT_EQ(Send(gateway, "a@example.org", "1@fax.example", "-"),
            "refused 550 5.7.1 Client host not allowed to send mail here\n");
  ExpectNothingSpooled(gateway);
  EXPECT_EQ(gateway.Stop(), 0);
  const std::string log = gateway.SecondaryLog();
  EXPECT_NE(log.find("AllowedNetworks: malformed entry skipped: \"127.0.0.0/88\""),
            std::string::npos);
  EXPECT_NE(log.find("AllowedNetworks: malformed entry skipped: \"localhost\""), std::string::npos);
  EXPECT_NE(log.find("AllowedNetworks: no valid entry"), std::string::npos) << log;
}

TEST_F(PolicyInterop, ResentMessageMakesOneEnvelopeAcrossRestarts) {
  FAXMAIL_REQUIRE_PEER(test::kSystemPython);
  GatewayProcess gateway(Root());
  test::SetGatewayNumber("DuplicateWindow", 1);
  ASSERT_TRUE(gateway.Start());
  const std::string id = "<resent.1@client.example>";
  EXPECT_EQ(Send(gateway, "a@example.org", "1@fax.example", id), "sent\n");
  EXPECT_EQ(Send(gateway, "a@example.org", "1@FAX.example", id), "sent\n");
  EXPECT_EQ(Envelopes(gateway), 1u);
  // Other recipients make another fax.
  EXPECT_EQ(Send(gateway, "a@example.org", "1@fax.example,2@fax.example", id), "sent\n");
  EXPECT_EQ(Envelopes(gateway), 2u);
  // Without a Message-ID nothing is checked.
  EXPECT_EQ(Send(gateway, "a@example.org", "1@fax.example", "-"), "sent\n");
  EXPECT_EQ(Send(gateway, "a@example.org", "1@fax.example", "-"), "sent\n");
  EXPECT_EQ(Envelopes(gateway), 4u);
  EXPECT_EQ(gateway.Stop(), 0);

  ASSERT_TRUE(gateway.Start());
  EXPECT_EQ(Send(gateway, "a@example.org", "2@fax.example,1@fax.example", id), "sent\n");
  EXPECT_EQ(Envelopes(gateway), 4u);
  // The duplicates left no raw file, record or debug copy behind.
  EXPECT_EQ(gateway.Files("OUT", "*.debug").size(), 4u);
  EXPECT_TRUE(gateway.Files("OUT", "*.cqx").empty());
  EXPECT_TRUE(gateway.Files("OUT", "*.rcpt").empty());
  EXPECT_EQ(gateway.Stop(), 0);
  for (const std::string& log : {gateway.MainLog(), gateway.SecondaryLog()})
    EXPECT_NE(log.find("SMTPIn- Duplicate message not spooled: Message-ID "
                       "<resent.1@client.example>, client 127.0.0.1"),
              std::string::npos);
}

TEST_F(PolicyInterop, EntryOlderThanTheWindowLetsTheMessageThrough) {
  FAXMAIL_REQUIRE_PEER(test::kSystemPython);
  GatewayProcess gateway(Root());
  test::SetGatewayNumber("DuplicateWindow", 1);
  ASSERT_TRUE(gateway.Start());
  const std::string id = "<old.1@client.example>";
  EXPECT_EQ(Send(gateway, "a@example.org", "1@fax.example", id), "sent\n");
  EXPECT_EQ(gateway.Stop(), 0);

  // The entry made two hours older, as if that much time had passed.
  const std::string record = gateway.Data() + ".duplicates";
  const std::string line = ReadWholeFile(record);
  ASSERT_EQ(line.size(), 11u + 64u + 1u) << line;
  const auto seconds = std::stoll(line.substr(0, line.find(' ')));
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  EXPECT_LE(seconds, now);
  EXPECT_GT(seconds, now - 600);
  WriteWholeFile(record, std::to_string(seconds - 7200) + line.substr(line.find(' ')));

  ASSERT_TRUE(gateway.Start());
  EXPECT_EQ(Send(gateway, "a@example.org", "1@fax.example", id), "sent\n");
  EXPECT_EQ(Envelopes(gateway), 2u);
  // Within the window again now.
  EXPECT_EQ(Send(gateway, "a@example.org", "1@fax.example", id), "sent\n");
  EXPECT_EQ(Envelopes(gateway), 2u);
  EXPECT_EQ(gateway.Stop(), 0);
}

TEST_F(PolicyInterop, DamagedRecordIsLoggedAndMailStillFlows) {
  FAXMAIL_REQUIRE_PEER(test::kSystemPython);
  GatewayProcess gateway(Root());
  test::SetGatewayNumber("DuplicateWindow", 24);
  WriteWholeFile(gateway.Data() + ".duplicates", "this is not a record\n");
  ASSERT_TRUE(gateway.Start());
  EXPECT_EQ(Send(gateway, "a@example.org", "1@fax.example", "<d@x>"), "sent\n");
  EXPECT_EQ(Send(gateway, "a@example.org", "1@fax.example", "<d@x>"), "sent\n");
  EXPECT_EQ(Envelopes(gateway), 1u);
  EXPECT_EQ(gateway.Stop(), 0);
  EXPECT_NE(gateway.SecondaryLog().find("SMTPIn- Duplicate record damaged, started empty: "),
            std::string::npos);
  EXPECT_EQ(ReadWholeFile(gateway.Data() + ".duplicates.damaged"), "this is not a record\n");
}

}  // namespace
}  // namespace faxmail
