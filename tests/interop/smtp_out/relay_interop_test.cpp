// The sender through a real Postfix as its submission relay: STARTTLS required of every
// client (smtpd_tls_security_level = encrypt), SASL authentication through Cyrus SASL with a
// sasldb made by saslpasswd2, relaying only for authenticated clients into Postfix's discard
// transport. The gateway's sender verifies the relay's certificate against a throwaway
// authority that SSL_CERT_FILE names. A notification in IN must be accepted by the relay; with
// a wrong password nothing is accepted and the file is set aside as ".ConnTermin.Err". A relay
// named by a host name is found through Knot, with the gateway's own resolver.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gateway/smtp_out/smtp_out.h"
#include "tests/support/knot_server.h"
#include "tests/support/mail_peers.h"
#include "tests/support/peers.h"
#include "tests/unit/smtp_out/scripted_server.h"
#include "tests/unit/smtp_out/sender_test_util.h"
#include "tests/unit/smtp_out/test_certificates.h"

namespace faxmail {
namespace {

using namespace std::chrono_literals;

constexpr char kSaslpasswd[] = "/usr/sbin/saslpasswd2";
constexpr char kRealm[] = "fax.example";
constexpr char kUser[] = "relayuser";
constexpr char kPassword[] = "relay-secret";

class RelayInteropTest : public test::SenderTest {
 protected:
  void TearDown() override {
    StopSender();
    m_postfix.reset();
    ::unsetenv("SSL_CERT_FILE");
    SenderTest::TearDown();
  }

  // Starts the private Postfix on a free loopback port with TLS and SASL required.
  void StartRelay() {
    FAXMAIL_REQUIRE_PEER(test::kPostfix);
    FAXMAIL_REQUIRE_PEER(kSaslpasswd);
    FAXMAIL_REQUIRE_PEER(test::kOpensslTool);
    m_pki = test::MakeTestPki(Root());
    ASSERT_FALSE(m_pki.ca.empty());
    // Postfix's daemons run as the postfix user: its files must be theirs to read.
    ::chmod(m_sasl.Path().c_str(), 0755);
    const std::string db = m_sasl / "sasldb2";
    std::string output;
    ASSERT_EQ(test::RunProgram({kSaslpasswd, "-f", db, "-c", "-p", "-u", kRealm, kUser}, &output,
                               {}, std::string(kPassword) + "\n"),
              0)
        << output;
    if (const passwd* postfix = ::getpwnam("postfix")) {
      ASSERT_EQ(::chown(db.c_str(), postfix->pw_uid, postfix->pw_gid), 0);
    }
    const std::string saslConfig =
        "pwcheck_method: auxprop\nauxprop_plugin: sasldb\nmech_list: PLAIN LOGIN\nsasldb_path: " +
        db + "\n";
    for (const std::string& file : {m_pki.certificate, m_pki.key}) ::chmod(file.c_str(), 0644);
    ::chmod(Root().c_str(), 0755);
    m_port = test::FreeLoopbackPort();
    m_postfix = std::make_unique<test::PostfixInstance>(
        "127.0.0.1", m_port, "relay.example",
        "smtpd_tls_security_level = encrypt\n"
        "smtpd_tls_cert_file = " +
            m_pki.certificate + "\nsmtpd_tls_key_file = " + m_pki.key +
            "\n"
            "smtpd_tls_auth_only = yes\n"
            "smtpd_tls_loglevel = 1\n"
            "smtpd_sasl_auth_enable = yes\n"
            "smtpd_sasl_type = cyrus\n"
            "smtpd_sasl_path = smtpd\n"
            "smtpd_sasl_local_domain = " +
            kRealm +
            "\n"
            "smtpd_sasl_security_options = noanonymous\n"
            "smtpd_sasl_tls_security_options = noanonymous\n"
            "mynetworks = 127.255.255.255/32\n"
            "smtpd_relay_restrictions = permit_sasl_authenticated, reject\n"
            "smtpd_recipient_restrictions = permit_sasl_authenticated, reject\n",
        "tlsmgr unix - - n 1000? 1 tlsmgr\n",
        std::vector<std::pair<std::string, std::string>>{{"sasl/smtpd.conf", saslConfig}});
    ASSERT_TRUE(m_postfix->Ready()) << m_postfix->MailLog();
    ::setenv("SSL_CERT_FILE", m_pki.ca.c_str(), 1);
  }

  // The sender with the relay and the password given; a notification waits in IN.
  void StartGatewaySender(const std::string& password) {
    SetString("RelayHost", "127.0.0.1:" + std::to_string(m_port));
    SetString("RelayUser", kUser);
    const std::string path = Root() + "/relay.password";
    test::WriteWholeFile(path, password + "\n");
    ::chmod(path.c_str(), 0600);
    SetString("RelayPasswordFile", path);
    SetDword("SmtpTxTls", 2);
    SetDword("SmtpTxTlsVerify", 1);
    m_timings.idlePoll = 1h;
    m_timings.receiveTimeoutMs = 20000;
    test::ReadyFile ready;
    ready.body = {"Your fax was sent through the relay.", "Pages: 1"};
    test::WriteWholeFile(In("fax1.tmp"), ready.Text());
    StartSender(25);
  }

  std::string MailLog() const { return m_postfix ? m_postfix->MailLog() : std::string(); }

  test::TestPki m_pki;
  test::TempDir m_sasl;
  std::uint16_t m_port = 0;
  std::unique_ptr<test::PostfixInstance> m_postfix;
};

TEST_F(RelayInteropTest, NotificationGoesThroughTheAuthenticatedTlsRelay) {
  StartRelay();
  if (HasFatalFailure() || IsSkipped()) return;
  StartGatewaySender(kPassword);
  ASSERT_TRUE(test::WaitUntil([&] { return !platform::FileExists(In("fax1.tmp")); }, 60s))
      << Log() << MailLog();
  ASSERT_TRUE(
      test::WaitUntil([&] { return MailLog().find("status=sent") != std::string::npos; }, 30s))
      << MailLog();
  StopSender();
  const std::string maillog = MailLog();
  EXPECT_NE(maillog.find("sasl_method=PLAIN, sasl_username=relayuser"), std::string::npos)
      << maillog;
  EXPECT_NE(maillog.find("to=<ALICE@DEST.TEST>"), std::string::npos) << maillog;
  EXPECT_NE(maillog.find("Anonymous TLS connection established from"), std::string::npos)
      << maillog;
  EXPECT_TRUE(Logged("SMTPOut- TLS started: 127.0.0.1")) << Log();
  EXPECT_TRUE(Logged("SMTPOut- Authenticated to the relay as relayuser")) << Log();
  // A session that ended well leaves no socket error in the log.
  EXPECT_FALSE(Logged("WSA Socket Error")) << Log();
  EXPECT_FALSE(Logged(kPassword));
  EXPECT_TRUE(InFiles("*.Err").empty());
}

TEST_F(RelayInteropTest, WrongPasswordIsRefusedAndTheFileSetAside) {
  StartRelay();
  if (HasFatalFailure() || IsSkipped()) return;
  StartGatewaySender("not-the-password");
  ASSERT_TRUE(test::WaitUntil([&] { return platform::FileExists(In("FAX1.ConnTermin.Err")); }, 60s))
      << Log() << MailLog();
  StopSender();
  EXPECT_TRUE(
      Logged("SMTPOut- Error: relay 127.0.0.1 refused the authentication of relayuser: "
             "535"))
      << Log();
  const std::string maillog = MailLog();
  EXPECT_NE(maillog.find("authentication failed"), std::string::npos) << maillog;
  EXPECT_EQ(maillog.find("status=sent"), std::string::npos) << maillog;
  EXPECT_EQ(CountEntries("SMTPOut- Sending AUTH PLAIN - Waiting for ack (235)"), 1) << maillog;
  EXPECT_FALSE(Logged("not-the-password"));
}

// The relay's name has only an A record at the gateway's DNS server (Knot on 127.25.30.1),
// which the system's resolver does not know: the mail reaches the address it gives.
TEST_F(RelayInteropTest, RelayNameIsResolvedWithTheGatewaysOwnResolver) {
  FAXMAIL_REQUIRE_PEER(test::kKnotd);
  const std::string dns = "127.25.30.1";
  const std::string relay = "127.25.30.2";
  test::KnotServer knot(dns, std::vector<test::Zone>{{"relay.test.",
                                                      "$ORIGIN relay.test.\n$TTL 3600\n"
                                                      "@ SOA ns hostmaster 1 3600 600 86400 300\n"
                                                      "@ NS ns\nns A " +
                                                          dns + "\nsmtp A " + relay + "\n"}});
  ASSERT_TRUE(knot.Ready()) << knot.Log();
  SetString("DNSName", dns);
  test::ServerScript script;
  script.replies["EHLO"] = "250-relay.test\r\n250 8BITMIME\r\n";
  script.address = relay;
  test::ScriptedSmtpServer server(script);
  ASSERT_TRUE(server.Listening());
  SetString("RelayHost", "smtp.relay.test:" + std::to_string(server.Port()));
  m_timings.idlePoll = 1h;
  test::WriteWholeFile(In("fax1.tmp"), test::ReadyFile().Text());
  StartSender(25);
  ASSERT_TRUE(test::WaitUntil([&] { return !platform::FileExists(In("fax1.tmp")); }, 30s)) << Log();
  StopSender();
  EXPECT_TRUE(Logged("SMTPOut- Relay host: smtp.relay.test (" + relay + ")")) << Log();
  ASSERT_TRUE(server.Connected());
  server.WaitDone();
  EXPECT_NE(server.Transcript().find("EHLO fax.example\r\nMail from:<fax.example>\r\n"
                                     "RCPT to:<ALICE@DEST.TEST>\r\nDATA\r\n"),
            std::string::npos)
      << server.Transcript();
  EXPECT_TRUE(InFiles("*.Err").empty());
}

}  // namespace
}  // namespace faxmail
