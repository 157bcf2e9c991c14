// Mail clients that nobody here wrote, against the real faxmailgw: what they send must arrive
// in the raw message files exactly, and the dialogue must satisfy them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/support/gateway_process.h"
#include "tests/support/peers.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::GatewayProcess;
using test::ReadWholeFile;

class SmtpInInterop : public test::RootTest {
 protected:
  // Raw message files are kept as debug copies while the main log is on.
  std::vector<std::string> WaitForMessages(GatewayProcess& gateway, std::size_t count) {
    std::vector<std::string> names;
    for (int i = 0; i < 1000; ++i) {
      names = gateway.Files("OUT", "*.debug");
      if (names.size() >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return names;
  }
};

TEST_F(SmtpInInterop, Swaks) {
  FAXMAIL_REQUIRE_PEER("/usr/bin/swaks");
  GatewayProcess gateway(Root());
  ASSERT_TRUE(gateway.Start());
  std::string output;
  const int status = test::RunProgram(
      {"/usr/bin/swaks", "--server", "127.0.0.1", "--port", std::to_string(gateway.Port()),
       "--helo", "relay.test", "--from", "alice@example.org", "--to", "5551234@fax.example",
       "--header", "Subject: swaks test", "--body", "first line\n.dotted line\n", "--timeout",
       "20"},
      &output);
  EXPECT_EQ(status, 0) << output;
  const auto names = WaitForMessages(gateway, 1);
  ASSERT_EQ(names.size(), 1u) << output;
  const std::string message = ReadWholeFile(gateway.Data() + "OUT/" + names[0]);
  EXPECT_TRUE(message.starts_with("Received: from relay.test by fax.example ; \r\n")) << message;
  EXPECT_NE(message.find("Subject: swaks test\r\n"), std::string::npos) << message;
  EXPECT_NE(message.find("\r\nfirst line\r\n.dotted line\r\n"), std::string::npos) << message;
  EXPECT_EQ(gateway.Stop(), 0);
  const std::string log = gateway.SecondaryLog();
  EXPECT_NE(log.find("SMTPIn- Acknowledged RCPT (Recipient): TO:<5551234@fax.example>"),
            std::string::npos);
}

TEST_F(SmtpInInterop, PythonSmtplibFallsBackToHelo) {
  FAXMAIL_REQUIRE_PEER(test::kSystemPython);
  GatewayProcess gateway(Root());
  ASSERT_TRUE(gateway.Start());
  const std::string script =
      "import smtplib, sys\n"
      "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), local_hostname='py.test', timeout=20)\n"
      "msg = 'Subject: py\\r\\n\\r\\n.starts with a dot\\r\\n..two dots\\r\\nend\\r\\n'\n"
      "refused = s.sendmail('bob@example.org', ['111@fax.example', '222@fax.example'], msg)\n"
      "s.quit()\n"
      "print('refused', refused)\n";
  std::string output;
  EXPECT_EQ(test::RunProgram({test::kSystemPython, "-c", script, std::to_string(gateway.Port())},
                             &output),
            0)
      << output;
  EXPECT_NE(output.find("refused {}"), std::string::npos) << output;
  const auto names = WaitForMessages(gateway, 1);
  ASSERT_EQ(names.size(), 1u);
  const std::string message = ReadWholeFile(gateway.Data() + "OUT/" + names[0]);
  EXPECT_EQ(message,
            "Received: from py.test by fax.example ; \r\n"
            "Subject: py\r\n\r\n.starts with a dot\r\n..two dots\r\nend\r\n");
  EXPECT_EQ(gateway.Stop(), 0);
  // EHLO is not known: the client got 500 and used HELO.
  EXPECT_NE(gateway.MainLog().find("SMTPIn- Acknowledged HELO (RelayDomainName): py.test"),
            std::string::npos);
}

TEST_F(SmtpInInterop, SmtpSourceManySessionsAtOnce) {
  FAXMAIL_REQUIRE_PEER("/usr/sbin/smtp-source");
  GatewayProcess gateway(Root());
  ASSERT_TRUE(gateway.Start());
  constexpr int kMessages = 60;
  std::string output;
  const int status = test::RunProgram(
      {"/usr/sbin/smtp-source", "-s", "10", "-m", std::to_string(kMessages), "-l", "5000", "-f",
       "load@example.org", "-t", "999@fax.example", "-S", "load test",
       "127.0.0.1:" + std::to_string(gateway.Port())},
      &output);
  EXPECT_EQ(status, 0) << output;
  const auto names = WaitForMessages(gateway, kMessages);
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kMessages)) << output;
  for (const auto& name : names) {
    const std::string message = ReadWholeFile(gateway.Data() + "OUT/" + name);
    EXPECT_GE(message.size(), 5000u) << name;
    EXPECT_NE(message.find("Subject: load test"), std::string::npos) << name;
  }
  EXPECT_EQ(gateway.Stop(), 0);
}

}  // namespace
}  // namespace faxmail
