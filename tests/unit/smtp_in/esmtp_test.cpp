// The receiver's opt-in dialogue without TLS: EHLO and its extensions, enhanced status codes in
// EHLO sessions only, pipelined commands, the message size limit (declared and undeclared,
// with and without ESMTP), RequireAuth, and the extension verbs where they are not available.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/service/settings.h"
#include "gateway/smtp_in/smtp_in.h"
#include "platform/file.h"
#include "tests/support/receiver_fixture.h"
#include "tests/support/smtp_client.h"
#include "tests/support/test_support.h"
#include "tests/unit/smtp_in/esmtp_test_fixture.h"

namespace faxmail {
namespace {

using test::kGreeting;
using test::ReadWholeFile;
using test::ScriptedClient;

constexpr char kTooBig[] = "552 Message size exceeds fixed maximum message size\r\n";
constexpr char kTooBigCoded[] = "552 5.3.4 Message size exceeds fixed maximum message size\r\n";

TEST(ExtendedCommandTest, NewVerbsAreWholeWords) {
  struct Case {
    const char* line;
    SmtpCommand command;
  } cases[] = {
      {"EHLO x", EHLO},         {"ehlo", EHLO},         {"EHLOx", Unknown}, {"STARTTLS", STARTTLS},
      {"starttls x", STARTTLS}, {"STARTTLSX", Unknown}, {"STAR", Unknown},  {"AUTH PLAIN", AUTH},
      {"auth", AUTH},           {"AUTHPLAIN", Unknown}, {"HELO x", HELO},   {"MAILFROM:<a>", MAIL},
      {"QUITTING", QUIT},       {"", Unknown},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseExtendedCommand(c.line), c.command) << c.line;
}

TEST(ExtendedCommandTest, StatusCodeGoesAfterTheReplyCode) {
  struct Case {
    const char* text;
    const char* code;
    const char* coded;
  } cases[] = {
      {"503 Bad Sequence Of Commands.\r\n", "5.5.1", "503 5.5.1 Bad Sequence Of Commands.\r\n"},
      {"250 OK  FROM:<a> \r\n", "2.1.0", "250 2.1.0 OK  FROM:<a> \r\n"},
      {"214- SMTP Fax Gateway Service \r\n", "2.0.0", "214-2.0.0 SMTP Fax Gateway Service \r\n"},
      {"214  ===== \r\n", "2.0.0", "214 2.0.0 ===== \r\n"},
      {"354 Start mail input\r\n", "", "354 Start mail input\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(WithStatusCode(c.text, c.code), c.coded) << c.text;
}

using test::EsmtpTest;

TEST_F(EsmtpTest, EhloListsTheExtensions) {
  Start(Esmtp(1000));
  ScriptedClient client;
  Connect(client);
  EXPECT_EQ(Ehlo(client), (std::vector<std::string>{
                              "250-fax.example relay.example\r\n",
                              "250-SIZE 1000\r\n",
                              "250-8BITMIME\r\n",
                              "250-PIPELINING\r\n",
                              "250 ENHANCEDSTATUSCODES\r\n",
                          }));
  // EHLO counts as the greeting: a second one, or a HELO, is out of sequence.
  EXPECT_EQ(Command(client, "EHLO again\r\n"), "503 5.5.1 Bad Sequence Of Commands.\r\n");
  EXPECT_EQ(Command(client, "HELO again\r\n"), "503 5.5.1 Bad Sequence Of Commands.\r\n");
}

TEST_F(EsmtpTest, NoFixedLimitIsSizeZero) {
  Start(Esmtp());
  ScriptedClient client;
  Connect(client);
  EXPECT_EQ(Ehlo(client)[1], "250-SIZE 0\r\n");
}

TEST_F(EsmtpTest, EnhancedCodesOnlyInSessionsThatSaidEhlo) {
  Start(Esmtp());
  struct Exchange {
    std::string send;
    std::string helo;
    std::string ehlo;
  };
  const std::vector<Exchange> steps = {
      {"NOOP\r\n", "250 Requested mail action ok, completed\r\n",
       "250 2.0.0 Requested mail action ok, completed\r\n"},
      {"RSET\r\n", "250 Ok\r\n", "250 2.0.0 Ok\r\n"},
      {"BOGUS\r\n", "500 Syntax Error, Command Unknown.\r\n",
       "500 5.5.2 Syntax Error, Command Unknown.\r\n"},
      {"DATA\r\n", "503 Bad Sequence Of Commands.\r\n", "503 5.5.1 Bad Sequence Of Commands.\r\n"},
      {"MAIL FROM:<a@example.org>\r\n", "250 OK  FROM:<a@example.org> \r\n",
       "250 2.1.0 OK  FROM:<a@example.org> \r\n"},
      {"RCPT TO:<1@fax>\r\n", "250 OK  TO:<1@fax> \r\n", "250 2.1.5 OK  TO:<1@fax> \r\n"},
      {"DATA\r\n", "354 Start mail input, end with <CRLF>.<CRLF>\r\n",
       "354 Start mail input, end with <CRLF>.<CRLF>\r\n"},
      {"Subject: x\r\n\r\nbody\r\n.\r\n", "250 Mail Received OK\r\n",
       "250 2.0.0 Mail Received OK\r\n"},
      {"QUIT\r\n", "221 Goodbye\r\n", "221 2.0.0 Goodbye\r\n"},
  };
  for (const bool extended : {false, true}) {
    ScriptedClient client;
    Connect(client);
    if (extended)
      Ehlo(client);
    else
      ASSERT_EQ(Command(client, "HELO relay.example\r\n"), "250 fax.example relay.example\r\n");
    for (const auto& step : steps)
      EXPECT_EQ(Command(client, step.send), extended ? step.ehlo : step.helo) << step.send;
    EXPECT_TRUE(client.WaitClosed());
  }
}

TEST_F(EsmtpTest, HelpCarriesCodesInAnEhloSession) {
  Start(Esmtp());
  ScriptedClient client;
  Connect(client);
  Ehlo(client);
  ASSERT_TRUE(client.Send("HELP\r\n"));
  const auto lines = Lines(client);
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines.front(), "214-2.0.0 SMTP Fax Gateway Service \r\n");
  EXPECT_EQ(lines.back(), "214 2.0.0 ================================================ \r\n");
}

TEST_F(EsmtpTest, PipelinedCommandsAreAnsweredInOrder) {
  Start(Esmtp());
  ScriptedClient client;
  Connect(client);
  ASSERT_TRUE(client.Send(
      "EHLO relay.example\r\nMAIL FROM:<a@example.org> BODY=8BITMIME\r\nRCPT TO:<1@fax>\r\n"
      "RCPT TO:<2@fax>\r\nBOGUS\r\nDATA\r\n"));
  EXPECT_EQ(Lines(client).back(), "250 ENHANCEDSTATUSCODES\r\n");
  EXPECT_EQ(client.ReadLine(), "250 2.1.0 OK  FROM:<a@example.org> BODY=8BITMIME \r\n");
  EXPECT_EQ(client.ReadLine(), "250 2.1.5 OK  TO:<1@fax> \r\n");
  EXPECT_EQ(client.ReadLine(), "250 2.1.5 OK  TO:<2@fax> \r\n");
  EXPECT_EQ(client.ReadLine(), "500 5.5.2 Syntax Error, Command Unknown.\r\n");
  EXPECT_EQ(client.ReadLine(), "354 Start mail input, end with <CRLF>.<CRLF>\r\n");
  ASSERT_TRUE(client.Send("Subject: p\r\n\r\nhi\r\n.\r\nNOOP\r\nQUIT\r\n"));
  EXPECT_EQ(client.ReadLine(), "250 2.0.0 Mail Received OK\r\n");
  EXPECT_EQ(client.ReadLine(), "250 2.0.0 Requested mail action ok, completed\r\n");
  EXPECT_EQ(client.ReadLine(), "221 2.0.0 Goodbye\r\n");
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(platform::FileExists(m_out + "ENV0.tmp"));
}

TEST_F(EsmtpTest, MailParametersAreChecked) {
  Start(Esmtp(1000));
  ScriptedClient client;
  Connect(client);
  Ehlo(client);
  const std::vector<std::pair<std::string, std::string>> steps = {
      {"MAIL FROM:<a@b> SIZE=1001\r\n", kTooBigCoded},
      {"MAIL FROM:<a@b> SIZE=99999999999999999999999\r\n",
       "501 5.5.4 Syntax error in parameters or arguments\r\n"},
      {"MAIL FROM:<a@b> SIZE=12x\r\n", "501 5.5.4 Syntax error in parameters or arguments\r\n"},
      {"MAIL FROM:<a@b> BODY=BINARYMIME\r\n",
       "501 5.5.4 Syntax error in parameters or arguments\r\n"},
      {"MAIL FROM:<a@b> RET=HDRS\r\n",
       "555 5.5.4 MAIL FROM parameters not recognized or not implemented\r\n"},
      {"MAIL FROM:<a@b\r\n", "501 5.5.4 Syntax error in parameters or arguments\r\n"},
      // Refused MAILs leave the session waiting for MAIL.
      {"RCPT TO:<1@fax>\r\n", "503 5.5.1 Bad Sequence Of Commands.\r\n"},
      {"MAIL FROM:<a@b> SIZE=1000 AUTH=<>\r\n", "250 2.1.0 OK  FROM:<a@b> SIZE=1000 AUTH=<> \r\n"},
  };
  for (const auto& [send, reply] : steps) EXPECT_EQ(Command(client, send), reply) << send;
  EXPECT_NE(Log().find("SMTPIn- MAIL refused, declared size over MaxMessageSize: 1001"),
            std::string::npos);
}

// The message data counts as sent, without the Received line of the gateway and without the
// dots of transparency.
std::string DataOfSize(std::size_t size) {
  std::string data = "Subject: s\r\n\r\n..";
  while (data.size() + 2 < size + 1) data.push_back('x');  // one dot is taken away
  return data + "\r\n";
}

TEST_F(EsmtpTest, UndeclaredSizeOverTheLimitIsRefusedAfterTheDataAndTheNextMessageGoesThrough) {
  Start(Esmtp(1000));
  ScriptedClient client;
  Connect(client);
  Ehlo(client);
  for (const std::size_t size : {std::size_t{1001}, std::size_t{50000}}) {
    EXPECT_EQ(Command(client, "MAIL FROM:<a@b>\r\n"), "250 2.1.0 OK  FROM:<a@b> \r\n");
    EXPECT_EQ(Command(client, "RCPT TO:<1@fax>\r\n"), "250 2.1.5 OK  TO:<1@fax> \r\n");
    EXPECT_EQ(Command(client, "DATA\r\n"), "354 Start mail input, end with <CRLF>.<CRLF>\r\n");
    EXPECT_EQ(Command(client, DataOfSize(size) + ".\r\n"), kTooBigCoded) << size;
    EXPECT_EQ(OutFiles(), std::vector<std::string>{}) << size;
  }
  // Exactly at the limit is within it.
  EXPECT_EQ(Command(client, "MAIL FROM:<a@b>\r\n"), "250 2.1.0 OK  FROM:<a@b> \r\n");
  EXPECT_EQ(Command(client, "RCPT TO:<1@fax>\r\n"), "250 2.1.5 OK  TO:<1@fax> \r\n");
  EXPECT_EQ(Command(client, "DATA\r\n"), "354 Start mail input, end with <CRLF>.<CRLF>\r\n");
  EXPECT_EQ(Command(client, DataOfSize(1000) + ".\r\n"), "250 2.0.0 Mail Received OK\r\n");
  EXPECT_EQ(Command(client, "QUIT\r\n"), "221 2.0.0 Goodbye\r\n");
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(platform::FileExists(m_out + "ENV0.tmp"));
  EXPECT_NE(Log().find("SMTPIn- Message over MaxMessageSize, refused with 552: "),
            std::string::npos);
}

TEST_F(EsmtpTest, SizeLimitHoldsWithoutEsmtp) {
  InboundSettings inbound;
  inbound.maxMessageSize = 1000;
  Start(inbound);
  ScriptedClient client;
  Connect(client);
  EXPECT_EQ(Command(client, "EHLO relay.example\r\n"), "500 Syntax Error, Command Unknown.\r\n");
  EXPECT_EQ(Command(client, "HELO relay.example\r\n"), "250 fax.example relay.example\r\n");
  for (const std::size_t size : {std::size_t{1001}, std::size_t{1000}}) {
    EXPECT_EQ(Command(client, "MAIL FROM:<a@b>\r\n"), "250 OK  FROM:<a@b> \r\n");
    EXPECT_EQ(Command(client, "RCPT TO:<1@fax>\r\n"), "250 OK  TO:<1@fax> \r\n");
    EXPECT_EQ(Command(client, "DATA\r\n"), "354 Start mail input, end with <CRLF>.<CRLF>\r\n");
    EXPECT_EQ(Command(client, DataOfSize(size) + ".\r\n"),
              size > 1000 ? kTooBig : "250 Mail Received OK\r\n");
    if (size > 1000) {
      EXPECT_EQ(OutFiles(), std::vector<std::string>{});
    }
  }
  EXPECT_EQ(Command(client, "QUIT\r\n"), "221 Goodbye\r\n");
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(platform::FileExists(m_out + "ENV0.tmp"));
  EXPECT_FALSE(platform::FileExists(m_out + "ENV1.tmp"));
}

TEST_F(EsmtpTest, RequireAuthRefusesMailFromAnUnauthenticatedClient) {
  InboundSettings inbound = Esmtp();
  inbound.requireAuth = true;
  Start(inbound);
  ScriptedClient client;
  Connect(client);
  Ehlo(client);
  EXPECT_EQ(Command(client, "MAIL FROM:<a@b>\r\n"), "530 5.7.0 Authentication required\r\n");
  EXPECT_EQ(Command(client, "RCPT TO:<1@fax>\r\n"), "503 5.5.1 Bad Sequence Of Commands.\r\n");
  EXPECT_NE(Log().find("SMTPIn- MAIL refused, client not authenticated: 127.0.0.1"),
            std::string::npos);
}

TEST_F(EsmtpTest, ExtensionsThatAreNotConfiguredAreUnknownCommands) {
  InboundSettings inbound = Esmtp();
  inbound.authUsers = Root() + "/absent-users";  // not loadable, and there is no TLS either
  Start(inbound);
  ScriptedClient client;
  Connect(client);
  Ehlo(client);
  EXPECT_EQ(Command(client, "STARTTLS\r\n"), "500 5.5.2 Syntax Error, Command Unknown.\r\n");
  EXPECT_EQ(Command(client, "AUTH PLAIN AGEAYg==\r\n"),
            "500 5.5.2 Syntax Error, Command Unknown.\r\n");
  // The AUTH line is not logged whole: it may carry a password.
  EXPECT_EQ(Log().find("AGEAYg=="), std::string::npos);
}

TEST_F(EsmtpTest, OverLongLineIsRefusedAndTheSessionGoesOn) {
  Start(Esmtp());
  ScriptedClient client;
  Connect(client);
  Ehlo(client);
  EXPECT_EQ(Command(client, "NOOP " + std::string(20000, 'x') + "\r\n"),
            "500 5.5.2 Line too long\r\n");
  EXPECT_EQ(Command(client, "NOOP\r\n"), "250 2.0.0 Requested mail action ok, completed\r\n");
  // A line of the AUTH size still counts as one line.
  EXPECT_EQ(Command(client, "NOOP " + std::string(12000, 'x') + "\r\n"),
            "250 2.0.0 Requested mail action ok, completed\r\n");
}

TEST_F(EsmtpTest, OnlyOneOfTheTlsValuesIsAnError) {
  InboundSettings inbound = Esmtp();
  inbound.tlsCertificate = Root() + "/cert.pem";
  Start(inbound);
  EXPECT_EQ(m_server->Tls(), nullptr);
  EXPECT_NE(Log().find("TlsCertificate and TlsKey must both be set"), std::string::npos);
}

}  // namespace
}  // namespace faxmail
