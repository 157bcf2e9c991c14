// STARTTLS and AUTH of the receiver, in this process, against Python's ssl module as the
// client: the fresh start after the handshake, the injection of commands before it, AUTH only
// inside TLS, the exchanges of PLAIN and LOGIN, and the end of a session after three failures
// (with the delay shortened).
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "gateway/service/settings.h"
#include "gateway/smtp_in/smtp_in.h"
#include "platform/file.h"
#include "tests/interop/smtp_in_tls/tls_support.h"
#include "tests/support/peers.h"
#include "tests/support/receiver_fixture.h"
#include "tests/support/smtp_client.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::ReadWholeFile;
using test::ScriptedClient;

class TlsSessionTest : public test::ReceiverTest {
 protected:
  void SetUp() override {
    test::ReceiverTest::SetUp();
    FAXMAIL_REQUIRE_PEER(test::kOpenssl);
    FAXMAIL_REQUIRE_PEER(test::kMkpasswd);
    FAXMAIL_REQUIRE_PEER(test::kSystemPython);
    m_certificate = test::MakeCertificate(Root());
    test::WriteWholeFile(Root() + "/users", "alice:" + test::Mkpasswd("yescrypt", "secret") +
                                                "\nbob:" + test::Mkpasswd("sha-512", "hunter2") +
                                                "\n");
  }
  void Start(bool requireAuth = false) {
    InboundSettings inbound;
    inbound.esmtp = true;
    inbound.tlsCertificate = m_certificate.certificate;
    inbound.tlsKey = m_certificate.key;
    inbound.authUsers = Root() + "/users";
    inbound.requireAuth = requireAuth;
    StartReceiver("logfile", "main.log", inbound);
    ASSERT_NE(m_server->Tls(), nullptr);
    ASSERT_NE(m_server->Users(), nullptr);
    m_server->SetAuthFailureDelay(std::chrono::milliseconds(10));
  }
  // Runs the script after the client prelude; what it printed.
  std::string Python(const std::string& body) {
    std::string output;
    const int status =
        test::RunProgram({test::kSystemPython, "-c", std::string(test::kPythonClient) + body,
                          std::to_string(m_port), m_certificate.certificate},
                         &output);
    EXPECT_EQ(status, 0) << output;
    return output;
  }
  std::string Log() { return ReadWholeFile(Root() + "/main.log"); }

  test::Certificate m_certificate;
};

TEST_F(TlsSessionTest, CommandsSentWithStartTlsAreNeverAnswered) {
  if (IsSkipped()) return;
  Start();
  // RSET comes in the same write as STARTTLS. Answered in clear, its reply would break the
  // handshake; answered inside TLS, it would come before the reply to NOOP.
  EXPECT_EQ(Python("s = connect()\n"
                   "print(cmd(s, 'EHLO inj.test'))\n"
                   "s.sendall(b'STARTTLS\\r\\nRSET\\r\\n')\n"
                   "print(reply(s)[-1].strip())\n"
                   "t = tls(s)\n"
                   "print(t.version())\n"
                   "print(cmd(t, 'NOOP'))\n"
                   "print(cmd(t, 'QUIT'))\n"),
            "250 STARTTLS\n"
            "220 2.0.0 Ready to start TLS\n"
            "TLSv1.3\n"
            "250 Requested mail action ok, completed\n"
            "221 Goodbye\n");
  EXPECT_NE(Log().find("SMTPIn- Input sent with STARTTLS discarded: 127.0.0.1"), std::string::npos);
}

TEST_F(TlsSessionTest, TheSessionStartsAfreshInsideTls) {
  if (IsSkipped()) return;
  Start();
  EXPECT_EQ(Python("s = connect()\n"
                   "print(cmd(s, 'EHLO before.test'))\n"
                   "print(cmd(s, 'MAIL FROM:<a@example.org>'))\n"
                   "print(cmd(s, 'RCPT TO:<1@fax>'))\n"
                   "print(cmd(s, 'STARTTLS'))\n"
                   "t = tls(s)\n"
                   // Neither the greeting nor the transaction survive.
                   "print(cmd(t, 'RCPT TO:<2@fax>'))\n"
                   "print(cmd(t, 'MAIL FROM:<a@example.org>'))\n"
                   "print('|'.join(l.strip() for l in (t.sendall(b'EHLO after.test\\r\\n'), "
                   "reply(t))[1]))\n"
                   "print(cmd(t, 'STARTTLS'))\n"
                   "print(cmd(t, 'STARTTLS now'))\n"
                   "print(cmd(t, 'MAIL FROM:<b@example.org>'))\n"
                   "print(cmd(t, 'RCPT TO:<3@fax>'))\n"
                   "print(cmd(t, 'DATA'))\n"
                   "print(cmd(t, 'Subject: in tls\\r\\n\\r\\nsecret fax\\r\\n.'))\n"
                   "print(cmd(t, 'QUIT'))\n"),
            "250 STARTTLS\n"
            "250 2.1.0 OK  FROM:<a@example.org>\n"
            "250 2.1.5 OK  TO:<1@fax>\n"
            "220 2.0.0 Ready to start TLS\n"
            "503 Bad Sequence Of Commands.\n"
            "503 Bad Sequence Of Commands.\n"
            "250-fax.example after.test|250-SIZE 0|250-8BITMIME|250-PIPELINING|"
            "250-ENHANCEDSTATUSCODES|250 AUTH PLAIN LOGIN\n"
            "503 5.5.1 TLS already active\n"
            "501 5.5.4 Syntax error (no parameters allowed)\n"
            "250 2.1.0 OK  FROM:<b@example.org>\n"
            "250 2.1.5 OK  TO:<3@fax>\n"
            "354 Start mail input, end with <CRLF>.<CRLF>\n"
            "250 2.0.0 Mail Received OK\n"
            "221 2.0.0 Goodbye\n");
  // Only the recipient given inside TLS reached the envelope's recipients.
  const std::vector<std::string> kept = [&] {
    std::vector<platform::DirEntry> entries;
    platform::FindFiles(m_out, "*.debug", entries);
    std::vector<std::string> texts;
    for (const auto& e : entries) texts.push_back(ReadWholeFile(m_out + e.name));
    return texts;
  }();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(kept[0].starts_with("Received: from after.test by fax.example ; \r\n")) << kept[0];
  EXPECT_NE(Log().find("SMTPIn- Acknowledged RCPT (Recipient): TO:<3@fax>"), std::string::npos);
  EXPECT_NE(Log().find("SMTPIn- TLS started: 127.0.0.1 TLSv1.3"), std::string::npos);
}

TEST_F(TlsSessionTest, StartTlsNeedsAGreetingFirst) {
  if (IsSkipped()) return;
  Start();
  ScriptedClient client;
  ASSERT_TRUE(client.Connect(m_port));
  client.ReadLine();
  ASSERT_TRUE(client.Send("STARTTLS\r\n"));
  EXPECT_EQ(client.ReadLine(), "503 Bad Sequence Of Commands.\r\n");
}

TEST_F(TlsSessionTest, AuthIsNeitherOfferedNorTakenInClear) {
  if (IsSkipped()) return;
  Start(true);
  ScriptedClient client;
  ASSERT_TRUE(client.Connect(m_port));
  client.ReadLine();
  ASSERT_TRUE(client.Send("EHLO clear.test\r\n"));
  std::string ehlo;
  for (std::string line = client.ReadLine(); !line.empty(); line = client.ReadLine()) {
    ehlo += line;
    if (line[3] == ' ') break;
  }
  EXPECT_EQ(ehlo.find("AUTH"), std::string::npos) << ehlo;
  EXPECT_NE(ehlo.find("250 STARTTLS\r\n"), std::string::npos) << ehlo;
  ASSERT_TRUE(client.Send("AUTH PLAIN AGFsaWNlAHNlY3JldA==\r\n"));
  EXPECT_EQ(client.ReadLine(),
            "538 5.7.11 Encryption required for requested authentication mechanism\r\n");
  ASSERT_TRUE(client.Send("MAIL FROM:<a@example.org>\r\n"));
  EXPECT_EQ(client.ReadLine(), "530 5.7.0 Authentication required\r\n");
  const std::string log = Log();
  EXPECT_NE(log.find("SMTPIn- AUTH refused outside TLS: 127.0.0.1"), std::string::npos);
  EXPECT_EQ(log.find("AGFsaWNlAHNlY3JldA=="), std::string::npos);
}

TEST_F(TlsSessionTest, PlainAndLoginExchanges) {
  if (IsSkipped()) return;
  Start(true);
  EXPECT_EQ(Python("t = connect()\n"
                   "cmd(t, 'EHLO py.test')\n"
                   "cmd(t, 'STARTTLS')\n"
                   "t = tls(t)\n"
                   "cmd(t, 'EHLO py.test')\n"
                   "print(cmd(t, 'MAIL FROM:<a@example.org>'))\n"
                   "print(cmd(t, 'AUTH CRAM-MD5'))\n"
                   "print(cmd(t, 'AUTH PLAIN'))\n"
                   "print(cmd(t, '*'))\n"
                   "print(cmd(t, 'AUTH PLAIN'))\n"
                   "print(cmd(t, 'not base64!'))\n"
                   "print(cmd(t, 'AUTH LOGIN'))\n"
                   "print(cmd(t, b64('bob')))\n"
                   "print(cmd(t, b64('hunter2')))\n"
                   "print(cmd(t, 'AUTH PLAIN ' + b64('\\0alice\\0secret')))\n"
                   "print(cmd(t, 'MAIL FROM:<bob@example.org>'))\n"
                   "print(cmd(t, 'RCPT TO:<1@fax>'))\n"
                   "print(cmd(t, 'AUTH LOGIN'))\n"),
            "530 5.7.0 Authentication required\n"
            "504 5.5.4 Unrecognized authentication type\n"
            "334\n"
            "501 5.7.0 Authentication cancelled\n"
            "334\n"
            "501 5.5.2 Cannot decode response\n"
            "334 VXNlcm5hbWU6\n"
            "334 UGFzc3dvcmQ6\n"
            "235 2.7.0 Authentication successful\n"
            "503 5.5.1 Already authenticated\n"
            "250 2.1.0 OK  FROM:<bob@example.org>\n"
            "250 2.1.5 OK  TO:<1@fax>\n"
            "503 5.5.1 Already authenticated\n");
  EXPECT_NE(Log().find("SMTPIn- AUTH succeeded: 127.0.0.1 user bob"), std::string::npos);
  // The LOGIN user with the PLAIN password of another: no mixing across attempts.
  EXPECT_EQ(Python("t = connect()\n"
                   "cmd(t, 'EHLO py.test')\n"
                   "cmd(t, 'STARTTLS')\n"
                   "t = tls(t)\n"
                   "cmd(t, 'EHLO py.test')\n"
                   "print(cmd(t, 'AUTH PLAIN ' + b64('\\0bob\\0secret')))\n"
                   "print(cmd(t, 'AUTH PLAIN ' + b64('alice\\0alice\\0secret')))\n"),
            "535 5.7.8 Authentication credentials invalid\n"
            "235 2.7.0 Authentication successful\n");
}

TEST_F(TlsSessionTest, ThirdFailureClosesTheSession) {
  if (IsSkipped()) return;
  Start();
  EXPECT_EQ(Python("t = connect()\n"
                   "cmd(t, 'EHLO py.test')\n"
                   "cmd(t, 'STARTTLS')\n"
                   "t = tls(t)\n"
                   "cmd(t, 'EHLO py.test')\n"
                   "print(cmd(t, 'AUTH PLAIN ' + b64('\\0alice\\0wrong-one')))\n"
                   "print(cmd(t, 'AUTH LOGIN ' + b64('nobody')))\n"
                   "print(cmd(t, b64('wrong-two')))\n"
                   "print(cmd(t, 'AUTH PLAIN ' + b64('\\0alice\\0wrong-three')))\n"
                   "print(reply(t)[-1])\n"),
            "535 5.7.8 Authentication credentials invalid\n"
            "334 UGFzc3dvcmQ6\n"
            "535 5.7.8 Authentication credentials invalid\n"
            "421 4.7.0 Too many failed authentication attempts, closing connection\n"
            "<closed>\n");
  const std::string log = Log();
  EXPECT_NE(log.find("SMTPIn- AUTH failed: 127.0.0.1 user alice"), std::string::npos);
  EXPECT_NE(log.find("SMTPIn- AUTH failed: 127.0.0.1 user nobody"), std::string::npos);
  EXPECT_NE(log.find("SMTPIn- Too many AUTH failures, connection closed: 127.0.0.1"),
            std::string::npos);
  for (const char* password : {"wrong-one", "wrong-two", "wrong-three"})
    EXPECT_EQ(log.find(password), std::string::npos) << password;
}

TEST_F(TlsSessionTest, HandshakeFailureClosesTheSession) {
  if (IsSkipped()) return;
  Start();
  ScriptedClient client;
  ASSERT_TRUE(client.Connect(m_port));
  client.ReadLine();
  ASSERT_TRUE(client.Send("EHLO x\r\n"));
  while (client.ReadLine().substr(0, 4) != "250 ") {
  }
  ASSERT_TRUE(client.Send("STARTTLS\r\n"));
  EXPECT_EQ(client.ReadLine(), "220 2.0.0 Ready to start TLS\r\n");
  ASSERT_TRUE(client.Send("NOOP\r\nThis is no TLS at all\r\n"));
  // Whatever the library answers (an alert), no SMTP reply comes, and the session ends.
  const std::string rest = client.ReadUntilClosed();
  EXPECT_EQ(rest.find("250"), std::string::npos) << rest;
  EXPECT_TRUE(test::WaitUntil(
      [&] {
        return Log().find("SMTPIn- TLS handshake failed, connection closed: 127.0.0.1: ") !=
               std::string::npos;
      },
      std::chrono::seconds(10)));
}

}  // namespace
}  // namespace faxmail
