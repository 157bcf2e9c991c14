// A real Postfix relaying to the gateway as its next hop, the way a site puts the gateway
// behind its own mail server: TLS required (smtp_tls_security_level = encrypt) and SASL client
// authentication from a password map. Its mail must become a ready envelope.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <string>

#include "platform/file.h"
#include "tests/interop/smtp_in_tls/tls_support.h"
#include "tests/support/gateway_process.h"
#include "tests/support/mail_peers.h"
#include "tests/support/peers.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::GatewayProcess;
using test::ReadWholeFile;

class PostfixRelayTest : public test::RootTest {};

TEST_F(PostfixRelayTest, EncryptedAuthenticatedRelayBecomesAnEnvelope) {
  FAXMAIL_REQUIRE_PEER(test::kPostfix);
  FAXMAIL_REQUIRE_PEER(test::kOpenssl);
  FAXMAIL_REQUIRE_PEER(test::kMkpasswd);
  FAXMAIL_REQUIRE_PEER(test::kSystemPython);
  const test::Certificate certificate = test::MakeCertificate(Root());
  test::WriteWholeFile(Root() + "/users",
                       "relay:" + test::Mkpasswd("sha-512", "relay-secret") + "\n");
  GatewayProcess gateway(Root());
  test::SetGatewayNumber("ESMTP", 1);
  test::SetGatewayText("TlsCertificate", certificate.certificate);
  test::SetGatewayText("TlsKey", certificate.key);
  test::SetGatewayText("AuthUsers", Root() + "/users");
  test::SetGatewayNumber("RequireAuth", 1);
  ASSERT_TRUE(gateway.Start());

  const std::string nextHop = "[127.0.0.1]:" + std::to_string(gateway.Port());
  test::TempDir maps;
  ::chmod(maps.Path().c_str(), 0755);
  test::WriteWholeFile(maps / "transport", "fax.example smtp:" + nextHop + "\n");
  test::WriteWholeFile(maps / "sasl_passwd", nextHop + " relay:relay-secret\n");
  const std::uint16_t port = test::FreeLoopbackPort();
  test::PostfixInstance postfix("127.0.0.1", port, "fax.example",
                                "transport_maps = texthash:" + (maps / "transport") +
                                    "\n"
                                    "relay_transport = smtp\n"
                                    "default_transport = smtp\n"
                                    "smtp_tls_security_level = encrypt\n"
                                    "smtp_tls_loglevel = 1\n"
                                    "smtp_sasl_auth_enable = yes\n"
                                    "smtp_sasl_password_maps = texthash:" +
                                    (maps / "sasl_passwd") +
                                    "\n"
                                    "smtp_sasl_security_options = noanonymous\n"
                                    "smtp_sasl_tls_security_options = noanonymous\n",
                                "smtp unix - - n - - smtp\n"
                                "tlsmgr unix - - n 1000? 1 tlsmgr\n"
                                "flush unix n - n 1000? 0 flush\n");
  ASSERT_TRUE(postfix.Ready()) << postfix.MailLog();

  const std::string script =
      "import smtplib, sys\n"
      "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=20)\n"
      "s.sendmail('office@example.org', ['4711@fax.example'],\n"
      "           'From: office@example.org\\r\\nTo: 4711@fax.example\\r\\n'\n"
      "           'Subject: via postfix\\r\\n\\r\\nrelayed\\r\\n')\n"
      "s.quit()\n";
  std::string output;
  ASSERT_EQ(test::RunProgram({test::kSystemPython, "-c", script, std::to_string(port)}, &output), 0)
      << output;
  const std::string envelope = gateway.Data() + "OUT/ENV0.tmp";
  ASSERT_TRUE(
      test::WaitUntil([&] { return platform::FileExists(envelope); }, std::chrono::seconds(60)))
      << postfix.MailLog() << gateway.MainLog();
  EXPECT_EQ(ReadWholeFile(envelope),
            "FROM: <office@example.org>\r\n"
            "TO: \"4711\" <4711@fax.example>\r\n"
            "SUBJECT: via postfix\r\n"
            "\r\nBEGIN BODY\r\n<<ENV0.bdy>>\r\nEND BODY\r\n\r\n");
  EXPECT_TRUE(
      test::WaitUntil([&] { return postfix.MailLog().find("status=sent") != std::string::npos; },
                      std::chrono::seconds(20)))
      << postfix.MailLog();
  const std::string maillog = postfix.MailLog();
  EXPECT_NE(maillog.find("TLS connection established to 127.0.0.1"), std::string::npos) << maillog;
  EXPECT_EQ(gateway.Stop(), 0);
  const std::string log = gateway.MainLog();
  EXPECT_NE(log.find("SMTPIn- TLS started: 127.0.0.1"), std::string::npos);
  EXPECT_NE(log.find("SMTPIn- AUTH succeeded: 127.0.0.1 user relay"), std::string::npos);
}

}  // namespace
}  // namespace faxmail
