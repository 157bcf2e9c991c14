// TLS on send against scripted servers with certificates: STARTTLS and the second EHLO,
// certificate checks, AUTH PLAIN and LOGIN, the refused authentication that sets a file aside
// at once, and TLS from the first byte on port 465. Only where the build has TLS.
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <chrono>
#include <string>
#include <vector>

#include "gateway/smtp_out/smtp_out.h"
#include "platform/process.h"
#include "tests/support/peers.h"
#include "tests/unit/smtp_out/relay_test_fixture.h"
#include "tests/unit/smtp_out/scripted_server.h"
#include "tests/unit/smtp_out/scripted_server_tls.h"
#include "tests/unit/smtp_out/test_certificates.h"

namespace faxmail {
namespace {

using namespace std::chrono_literals;
using test::kEhloClear;
using test::kTransfer;
using test::RelayTest;
using test::ScriptedSmtpServer;
using test::ServerScript;

constexpr const char* kMessage = test::kRelayMessage;
constexpr const char* kPassword = test::kRelayPassword;
constexpr const char* kPassword64 = test::kRelayPassword64;
constexpr const char* kUser64 = test::kRelayUser64;
constexpr const char* kPlain64 = test::kRelayPlain64;

// The certificates in folder, and their authority trusted as the system's store.
void MakeTrustedPki(const std::string& folder, test::TestPki& pki) {
  FAXMAIL_REQUIRE_PEER(test::kOpensslTool);
  pki = test::MakeTestPki(folder);
  ASSERT_FALSE(pki.ca.empty());
  test::SetEnv("SSL_CERT_FILE", pki.ca);
}

// The certificates of the test, or out of it (skipped or failed).
#define FAXMAIL_MAKE_PKI(pki)  \
  test::TestPki pki;           \
  MakeTrustedPki(Root(), pki); \
  if (HasFatalFailure() || IsSkipped()) return

ServerScript TlsScript(const std::string& certificate, const std::string& key) {
  ServerScript script = test::StartTlsScript();
  script.tls = test::ServerTlsWith(certificate, key);
  return script;
}

TEST_F(RelayTest, RequiredAndVerifiedTlsDeliversInsideTheSession) {
  FAXMAIL_MAKE_PKI(pki);
  SetDword("SmtpTxTls", 2);
  SetDword("SmtpTxTlsVerify", 1);
  ScriptedSmtpServer server(TlsScript(pki.certificate, pki.key));
  EXPECT_EQ(Deliver(server.Port()), SMTPOut::kDelivered) << Log();
  server.WaitDone();
  EXPECT_TRUE(server.TlsStarted());
  EXPECT_EQ(server.ClearTranscript(), "EHLO fax.example\r\nSTARTTLS\r\n");
  EXPECT_EQ(server.Transcript(), "EHLO fax.example\r\nSTARTTLS\r\nEHLO fax.example\r\n" +
                                     std::string(kTransfer) + kMessage + "QUIT\r\n");
  EXPECT_TRUE(Logged("SMTPOut- TLS started: 127.0.0.1 TLSv1.3")) << Log();
}

TEST_F(RelayTest, UntrustedCertificateIsRefusedWithTheVerifyResult) {
  FAXMAIL_MAKE_PKI(pki);
  // Verification is the default at the required level.
  SetDword("SmtpTxTls", 2);
  ScriptedSmtpServer server(TlsScript(pki.selfSigned, pki.selfSignedKey));
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
  FAXMAIL_MAKE_PKI(pki);
  // localhost is 127.0.0.1, but the certificate names only 127.0.0.1 and fax.example.
  ScriptedSmtpServer server(TlsScript(pki.certificate, pki.key));
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
  FAXMAIL_MAKE_PKI(pki);
  ServerScript script = TlsScript(pki.certificate, pki.key);
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

// The whole sender: a refused password sets the ready file aside after one attempt.
TEST_F(RelayTest, RefusedAuthenticationSetsTheFileAsideWithoutRetries) {
  FAXMAIL_MAKE_PKI(pki);
  ServerScript script = TlsScript(pki.certificate, pki.key);
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

TEST_F(RelayTest, ImplicitTlsOnPort465) {
  FAXMAIL_MAKE_PKI(pki);
  ServerScript script;
  script.replies["EHLO"] = kEhloClear;
  script.tls = test::ServerTlsWith(pki.certificate, pki.key);
  script.implicitTls = true;
  // Port 465 on a loopback address of this test process's own.
  const unsigned pid = static_cast<unsigned>(platform::ProcessId());
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

}  // namespace
}  // namespace faxmail
