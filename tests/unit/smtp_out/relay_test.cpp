// The relay host and the TLS levels on send against scripted servers that speak no TLS: what
// goes out at each level (and what never goes out in clear), EHLO and its HELO fallback, a
// handshake that fails, the relay host's text, and base64 and the PLAIN response. The cases
// with certificates are in relay_tls_test.cpp, those with file modes in relay_posix_test.cpp.
#include <gtest/gtest.h>

#include <string>

#include "gateway/smtp_out/encoder.h"
#include "gateway/smtp_out/relay.h"
#include "gateway/smtp_out/smtp_out.h"
#include "tests/unit/smtp_out/relay_test_fixture.h"
#include "tests/unit/smtp_out/scripted_server.h"

namespace faxmail {
namespace {

using test::kEhloClear;
using test::kRelayMessage;
using test::kTransfer;
using test::RelayTest;
using test::ScriptedSmtpServer;
using test::ServerScript;

TEST_F(RelayTest, RequiredTlsSendsNothingToAServerWithoutStartTls) {
  SetDword("SmtpTxTls", 2);
  ServerScript script;
  script.replies["EHLO"] = kEhloClear;
  ScriptedSmtpServer server(script);
  EXPECT_EQ(Deliver(server.Port()), SMTPOut::kNoMailHost);
  server.WaitDone();
  EXPECT_EQ(server.Transcript(), "EHLO fax.example\r\nQUIT\r\n");
  EXPECT_TRUE(Logged("SMTPOut- Error: refused to send in clear: 127.0.0.1 offers no STARTTLS"))
      << Log();
}

TEST_F(RelayTest, RefusedEhloFallsBackToHeloWhenTlsIsOpportunistic) {
  SetDword("SmtpTxTls", 1);
  ServerScript script;
  script.replies["EHLO"] = "502 5.5.1 command not implemented\r\n";
  ScriptedSmtpServer server(script);
  EXPECT_EQ(Deliver(server.Port()), SMTPOut::kDelivered) << Log();
  server.WaitDone();
  EXPECT_EQ(server.Transcript(), "EHLO fax.example\r\nHELO fax.example\r\n" +
                                     std::string(kTransfer) + kRelayMessage + "QUIT\r\n");
}

TEST_F(RelayTest, RefusedEhloGivesUpTheServerWhenTlsIsRequired) {
  SetDword("SmtpTxTls", 2);
  ServerScript script;
  script.replies["EHLO"] = "500 5.5.2 what?\r\n";
  ScriptedSmtpServer server(script);
  EXPECT_EQ(Deliver(server.Port()), SMTPOut::kNoMailHost);
  server.WaitDone();
  EXPECT_EQ(server.Transcript(), "EHLO fax.example\r\nQUIT\r\n");
  EXPECT_TRUE(Logged("SMTPOut- Error: refused to send in clear: 127.0.0.1 does not take EHLO"));
}

TEST_F(RelayTest, OpportunisticTlsWithoutStartTlsGoesOnInClear) {
  SetDword("SmtpTxTls", 1);
  ServerScript script;
  script.replies["EHLO"] = kEhloClear;
  ScriptedSmtpServer server(script);
  EXPECT_EQ(Deliver(server.Port()), SMTPOut::kDelivered);
  server.WaitDone();
  EXPECT_EQ(server.Transcript(),
            "EHLO fax.example\r\n" + std::string(kTransfer) + kRelayMessage + "QUIT\r\n");
  EXPECT_EQ(server.Data(), kRelayMessage);
}

TEST_F(RelayTest, FailedHandshakeWhenOpportunisticTakesTheNextHostNotClearText) {
  SetDword("SmtpTxTls", 1);
  // STARTTLS is offered and answered, but the server has no TLS to shake hands with.
  ScriptedSmtpServer server(test::StartTlsScript());
  EXPECT_EQ(Deliver(server.Port()), SMTPOut::kNoMailHost);
  server.WaitDone();
  EXPECT_EQ(server.Transcript(), "EHLO fax.example\r\nSTARTTLS\r\n");
  EXPECT_TRUE(Logged("SMTPOut- Error: TLS failed, next host: 127.0.0.1: ")) << Log();
}

TEST_F(RelayTest, PasswordIsNeverSentInClear) {
  ServerScript script;
  script.replies["EHLO"] = "250-scripted.test\r\n250 AUTH PLAIN LOGIN\r\n";
  ScriptedSmtpServer server(script);
  SetRelay("127.0.0.1:" + std::to_string(server.Port()));
  SetDword("SmtpTxTlsVerify", 0);
  EXPECT_EQ(Deliver(server.Port()), SMTPOut::kNoMailHost);
  server.WaitDone();
  EXPECT_EQ(server.Transcript(), "EHLO fax.example\r\nQUIT\r\n");
  EXPECT_TRUE(Logged("SMTPOut- Error: refused to send in clear: 127.0.0.1 offers no STARTTLS"));
}

TEST(RelayHostTest, TakesHostAndPortApart) {
  struct Case {
    const char* text;
    bool valid;
    const char* host;
    std::uint16_t port;
  };
  const Case cases[] = {
      {"mail.example", true, "mail.example", 25},
      {"mail.example:587", true, "mail.example", 587},
      {"192.0.2.7:465", true, "192.0.2.7", 465},
      {"a:65535", true, "a", 65535},
      {"", false, "", 0},
      {":25", false, "", 0},
      {"mail.example:", false, "", 0},
      {"mail.example:0", false, "", 0},
      {"mail.example:65536", false, "", 0},
      {"mail.example:2a", false, "", 0},
      {"mail.example:25:1", false, "", 0},
      {"[2001:db8::1]:25", false, "", 0},
      {"mail example", false, "", 0},
      {".example", false, "", 0},
      {"mail.example:1234567", false, "", 0},
  };
  for (const Case& c : cases) {
    const auto parsed = ParseRelayHost(c.text);
    ASSERT_EQ(parsed.has_value(), c.valid) << c.text;
    if (!parsed) continue;
    EXPECT_EQ(parsed->host, c.host);
    EXPECT_EQ(parsed->port, c.port);
  }
}

TEST(RelayAuthTest, Base64AndThePlainResponseAsPublished) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(PlainResponse("tim", "tanstaaftanstaaf"), "AHRpbQB0YW5zdGFhZnRhbnN0YWFm");
}

}  // namespace
}  // namespace faxmail
