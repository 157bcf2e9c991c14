// TLS on send and the relay host against scripted servers: what goes out at each TLS level
// (and what never goes out in clear), EHLO and its HELO fallback, STARTTLS and the second EHLO,
// certificate checks, AUTH PLAIN and LOGIN, the refused authentication that sets a file aside
// at once, TLS from the first byte on port 465, and the password file's checks.
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "gateway/queue/file_man.h"
#include "gateway/smtp_out/encoder.h"
#include "gateway/smtp_out/relay.h"
#include "gateway/smtp_out/smtp_out.h"
#include "tests/unit/smtp_out/scripted_server.h"
#include "tests/unit/smtp_out/sender_test_util.h"
#include "tests/unit/smtp_out/test_certificates.h"

namespace faxmail {
namespace {

using namespace std::chrono_literals;
using test::ScriptedSmtpServer;
using test::ServerScript;

constexpr char kMessage[] = "TO: <USER@127.0.0.1>\r\nSubject: test\r\n\r\nhello\r\n.\r\n";
constexpr char kUser[] = "relayuser";
constexpr char kPassword[] = "s3cret pass";
// Base64 of the user, of the password, and of NUL user NUL password.
constexpr char kUser64[] = "cmVsYXl1c2Vy";
constexpr char kPassword64[] = "czNjcmV0IHBhc3M=";
constexpr char kPlain64[] = "AHJlbGF5dXNlcgBzM2NyZXQgcGFzcw==";

constexpr char kEhloClear[] = "250-scripted.test\r\n250 8BITMIME\r\n";
constexpr char kEhloStartTls[] =
    "250-scripted.test\r\n250-STARTTLS\r\n250-AUTH PLAIN LOGIN\r\n250 8BITMIME\r\n";
constexpr char kTransfer[] = "Mail from:<fax.example>\r\nRCPT to:<USER@127.0.0.1>\r\nDATA\r\n";

class RelayTest : public test::SenderTest {
 protected:
  void SetUp() override {
    SenderTest::SetUp();
    ::unsetenv("SSL_CERT_FILE");
  }
  void TearDown() override {
    ::unsetenv("SSL_CERT_FILE");
    SenderTest::TearDown();
  }
  // The certificates, and the authority trusted as the system's store.
  void MakePki() {
    FAXMAIL_REQUIRE_PEER(test::kOpensslTool);
    m_pki = test::MakeTestPki(Root());
    ASSERT_FALSE(m_pki.ca.empty());
    ::setenv("SSL_CERT_FILE", m_pki.ca.c_str(), 1);
  }
  std::string PasswordFile(const std::string& content, mode_t mode) {
    const std::string path = Root() + "/relay.password";
    test::WriteWholeFile(path, content);
    ::chmod(path.c_str(), mode);
    return path;
  }
  void SetRelay(const std::string& host, bool withUser = true) {
    SetString("RelayHost", host);
    if (!withUser) return;
    SetString("RelayUser", kUser);
    SetString("RelayPasswordFile", PasswordFile(std::string(kPassword) + "\n", 0600));
  }
  // One delivery attempt of kMessage with the values set so far.
  int Deliver(std::uint16_t port) {
    SetDword("SmtpTxPort", port);
    CFileMan fileMan;
    SMTPOut sender;
    sender.SetFileManager(fileMan);
    SMTPOut::Timings timings;
    timings.receiveTimeoutMs = 3000;
    sender.SetTimings(timings);
    test::WriteWholeFile(In("w.cqx"), kMessage);
    platform::File work;
    EXPECT_EQ(platform::File::Open(In("w.cqx"), platform::Access::Read, platform::Share::None,
                                   platform::Disposition::OpenExisting, work),
              0);
    return sender.SendViaMX(work, "USER@127.0.0.1", "TO: <USER@127.0.0.1>");
  }
  ServerScript TlsScript(const std::string& certificate, const std::string& key) {
    ServerScript script;
    script.replies["EHLO"] = kEhloStartTls;
    script.replies["STARTTLS"] = "220 2.0.0 go ahead\r\n";
    script.certificate = certificate;
    script.key = key;
    return script;
  }

  test::TestPki m_pki;
};

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
                                     std::string(kTransfer) + kMessage + "QUIT\r\n");
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
            "EHLO fax.example\r\n" + std::string(kTransfer) + kMessage + "QUIT\r\n");
  EXPECT_EQ(server.Data(), kMessage);
}

TEST_F(RelayTest, FailedHandshakeWhenOpportunisticTakesTheNextHostNotClearText) {
  SetDword("SmtpTxTls", 1);
  // STARTTLS is offered and answered, but the server has no certificate to shake hands with.
  ScriptedSmtpServer server(TlsScript("", ""));
  EXPECT_EQ(Deliver(server.Port()), SMTPOut::kNoMailHost);
  server.WaitDone();
  EXPECT_EQ(server.Transcript(), "EHLO fax.example\r\nSTARTTLS\r\n");
  EXPECT_TRUE(Logged("SMTPOut- Error: TLS failed, next host: 127.0.0.1: ")) << Log();
}

TEST_F(RelayTest, RequiredAndVerifiedTlsDeliversInsideTheSession) {
  MakePki();
  SetDword("SmtpTxTls", 2);
  SetDword("SmtpTxTlsVerify", 1);
  ScriptedSmtpServer server(TlsScript(m_pki.certificate, m_pki.key));
  EXPECT_EQ(Deliver(server.Port()), SMTPOut::kDelivered) << Log();
  server.WaitDone();
  EXPECT_TRUE(server.TlsStarted());
  EXPECT_EQ(server.ClearTranscript(), "EHLO fax.example\r\nSTARTTLS\r\n");
  EXPECT_EQ(server.Transcript(), "EHLO fax.example\r\nSTARTTLS\r\nEHLO fax.example\r\n" +
                                     std::string(kTransfer) + kMessage + "QUIT\r\n");
  EXPECT_TRUE(Logged("SMTPOut- TLS started: 127.0.0.1 TLSv1.3")) << Log();
}

TEST_F(RelayTest, UntrustedCertificateIsRefusedWithTheVerifyResult) {
  MakePki();
  // Verification is the default at the required level.
  SetDword("SmtpTxTls", 2);
  ScriptedSmtpServer server(TlsScript(m_pki.selfSigned, m_pki.selfSignedKey));
  EXPECT_EQ(Deliver(server.Port()), SMTPOut::kNoMailHost);
  server.WaitDone();
  EXPECT_FALSE(server.TlsStarted());
  EXPECT_EQ(server.Transcript(), "EHLO fax.example\r\nSTARTTLS\r\n");
  EXPECT_TRUE(
      Logged("SMTPOut- Error: TLS failed, next host: 127.0.0.1: certificate "
             "verification failed: " +
             std::string(X509_verify_cert_error_string(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT))))
      << Log();
}

TEST_F(RelayTest, CertificateForAnotherNameIsRefused) {
  MakePki();
  // localhost is 127.0.0.1, but the certificate names only 127.0.0.1 and fax.example.
  ScriptedSmtpServer server(TlsScript(m_pki.certificate, m_pki.key));
  SetRelay("localhost:" + std::to_string(server.Port()), false);
  SetDword("SmtpTxTls", 2);
  EXPECT_EQ(Deliver(server.Port()), SMTPOut::kNoMailHost);
  server.WaitDone();
  EXPECT_EQ(server.Transcript(), "EHLO fax.example\r\nSTARTTLS\r\n");
  EXPECT_TRUE(
      Logged("SMTPOut- Error: TLS failed, next host: localhost: certificate "
             "verification failed: " +
             std::string(X509_verify_cert_error_string(X509_V_ERR_HOSTNAME_MISMATCH))))
      << Log();
}

TEST_F(RelayTest, SecondEhloDecidesAndAuthLoginIsUsedWhenOnlyLoginIsOffered) {
  MakePki();
  ServerScript script = TlsScript(m_pki.certificate, m_pki.key);
  // In clear PLAIN is offered too; what counts is the offer inside TLS.
  script.ehloInTls = "250-scripted.test\r\n250 AUTH LOGIN\r\n";
  script.replies["AUTH"] = "334 VXNlcm5hbWU6\r\n";
  script.authContinuation = {"334 UGFzc3dvcmQ6\r\n", "235 2.7.0 Authentication successful\r\n"};
  ScriptedSmtpServer server(script);
  SetRelay("127.0.0.1:" + std::to_string(server.Port()));
  EXPECT_EQ(Deliver(server.Port()), SMTPOut::kDelivered) << Log();
  server.WaitDone();
  EXPECT_EQ(server.ClearTranscript(), "EHLO fax.example\r\nSTARTTLS\r\n");
  EXPECT_EQ(server.Transcript(),
            "EHLO fax.example\r\nSTARTTLS\r\nEHLO fax.example\r\n"
            "AUTH LOGIN\r\n" +
                std::string(kUser64) + "\r\n" + kPassword64 + "\r\n" + kTransfer + kMessage +
                "QUIT\r\n");
  EXPECT_FALSE(Logged(kPassword));
  EXPECT_FALSE(Logged(kPassword64));
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

// The whole sender: a refused password sets the ready file aside after one attempt.
TEST_F(RelayTest, RefusedAuthenticationSetsTheFileAsideWithoutRetries) {
  MakePki();
  ServerScript script = TlsScript(m_pki.certificate, m_pki.key);
  script.replies["AUTH"] = "535 5.7.8 Authentication credentials invalid\r\n";
  ScriptedSmtpServer server(script);
  SetRelay("127.0.0.1:" + std::to_string(server.Port()));
  m_timings.idlePoll = 1h;
  m_timings.receiveTimeoutMs = 2000;
  test::WriteWholeFile(In("fax1.tmp"), test::ReadyFile().Text());
  StartSender(server.Port());
  ASSERT_TRUE(test::WaitUntil([&] { return platform::FileExists(In("FAX1.ConnTermin.Err")); }, 20s))
      << Log();
  StopSender();
  server.WaitDone();
  EXPECT_EQ(server.Transcript(),
            "EHLO fax.example\r\nSTARTTLS\r\nEHLO fax.example\r\n"
            "AUTH PLAIN " +
                std::string(kPlain64) + "\r\nQUIT\r\n");
  EXPECT_EQ(CountEntries("SMTPOut- Sending AUTH PLAIN - Waiting for ack (235)"), 1);
  EXPECT_TRUE(
      Logged("SMTPOut- Error: relay 127.0.0.1 refused the authentication of relayuser: "
             "535 5.7.8 Authentication credentials invalid"))
      << Log();
  const auto events = Events(435);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].strings,
            (std::vector<std::string>{kServiceName, In("fax1.tmp"), In("FAX1.ConnTermin.Err")}));
  EXPECT_FALSE(Logged(kPassword));
}

TEST_F(RelayTest, PasswordFileOpenToOthersIsNotUsed) {
  ServerScript script;
  ScriptedSmtpServer server(script);
  SetRelay("127.0.0.1:" + std::to_string(server.Port()));
  const std::string path = PasswordFile(std::string(kPassword) + "\n", 0644);
  EXPECT_EQ(Deliver(server.Port()), SMTPOut::kAuthRefused);
  EXPECT_FALSE(server.Connected());
  EXPECT_TRUE(Logged("SMTPOut- Error: RelayPasswordFile not used, nothing will be sent: " + path +
                     ": mode 0644 gives its group or others access"))
      << Log();
  const auto events = Events(SMTPOut::kEventRelayPasswordRefused);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(
      events[0].strings,
      (std::vector<std::string>{kServiceName, path, "mode 0644 gives its group or others access"}));
  EXPECT_FALSE(Logged(kPassword));
}

TEST_F(RelayTest, ImplicitTlsOnPort465) {
  MakePki();
  ServerScript script;
  script.replies["EHLO"] = kEhloClear;
  script.certificate = m_pki.certificate;
  script.key = m_pki.key;
  script.implicitTls = true;
  // Port 465 on a loopback address of this test process's own.
  const unsigned pid = static_cast<unsigned>(::getpid());
  script.address =
      "127.26." + std::to_string((pid >> 8) & 0xff) + "." + std::to_string((pid & 0xff) | 1);
  script.port = kImplicitTlsPort;
  ScriptedSmtpServer server(script);
  if (!server.Listening()) GTEST_SKIP() << "port 465 on " << script.address << " not available";
  SetRelay(script.address + ":465", false);
  // The certificate names 127.0.0.1, not this address.
  SetDword("SmtpTxTlsVerify", 0);
  EXPECT_EQ(Deliver(1), SMTPOut::kDelivered) << Log();
  server.WaitDone();
  EXPECT_TRUE(server.TlsStarted());
  EXPECT_EQ(server.ClearTranscript(), "");
  EXPECT_EQ(server.Transcript(),
            "EHLO fax.example\r\n" + std::string(kTransfer) + kMessage + "QUIT\r\n");
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

class PasswordFileTest : public test::RootTest {};

TEST_F(PasswordFileTest, OnlyAPrivateRegularFileOfBoundedSizeIsUsed) {
  struct Case {
    const char* name;
    std::string content;
    mode_t mode;
    bool usable;
    const char* password;
    const char* why;
  };
  const Case cases[] = {
      {"private", "pw one\n", 0600, true, "pw one", ""},
      {"read only", "pw\r\nsecond line\n", 0400, true, "pw", ""},
      {"no line end", "pw", 0600, true, "pw", ""},
      {"group", "pw\n", 0640, false, "", "mode 0640 gives its group or others access"},
      {"others", "pw\n", 0604, false, "", "mode 0604 gives its group or others access"},
      {"empty", "", 0600, false, "", "its first line is empty"},
      {"empty line", "\npw\n", 0600, false, "", "its first line is empty"},
      {"too large", std::string(kMaxPasswordFileBytes + 1, 'x'), 0600, false, "",
       "larger than 1024 bytes"},
  };
  for (const Case& c : cases) {
    const std::string path = Root() + "/" + c.name;
    test::WriteWholeFile(path, c.content);
    ::chmod(path.c_str(), c.mode);
    std::string password;
    std::string why;
    EXPECT_EQ(ReadRelayPassword(path, password, why), c.usable) << c.name;
    EXPECT_EQ(password, c.password) << c.name;
    if (!c.usable) {
      EXPECT_EQ(why, c.why) << c.name;
    }
  }
  std::string password;
  std::string why;
  EXPECT_FALSE(ReadRelayPassword(Root() + "/missing", password, why));
  EXPECT_EQ(why, "cannot be opened (error 2)");
  // A FIFO is refused without waiting for a writer.
  ASSERT_EQ(::mkfifo((Root() + "/fifo").c_str(), 0600), 0);
  EXPECT_FALSE(ReadRelayPassword(Root() + "/fifo", password, why));
  EXPECT_EQ(why, "not a regular file");
}

}  // namespace
}  // namespace faxmail
