// Mail clients that nobody here wrote, against the real faxmailgw: what they send must arrive
// in the raw message files exactly, and the dialogue must satisfy them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/file.h"
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
  EXPECT_EQ(ReadWholeFile(gateway.Data() + "OUT/ENV0.tmp"),
            "FROM: <alice@example.org>\r\n"
            "TO: \"5551234\" <5551234@fax.example>\r\n"
            "SUBJECT: swaks test\r\n"
            "\r\nBEGIN BODY\r\n<<ENV0.bdy>>\r\nEND BODY\r\n\r\n");
  // The message text is the body as sent, blank lines that swaks adds included.
  const std::string body = message.substr(message.find("\r\n\r\n") + 4);
  EXPECT_EQ(ReadWholeFile(gateway.Data() + "OUT/ENV0.bdy"), body);
  EXPECT_TRUE(body.starts_with("first line\r\n.dotted line\r\n"));
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
  EXPECT_EQ(ReadWholeFile(gateway.Data() + "OUT/ENV0.bdy"),
            ".starts with a dot\r\n..two dots\r\nend\r\n");
  EXPECT_EQ(ReadWholeFile(gateway.Data() + "OUT/ENV0.tmp"),
            "\r\nBEGIN BODY\r\n<<ENV0.bdy>>\r\nEND BODY\r\n\r\n");
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
  const int status =
      test::RunProgram({"/usr/sbin/smtp-source", "-s", "10", "-m", std::to_string(kMessages), "-l",
                        "5000", "-f", "load@example.org", "-t", "999@fax.example", "-S",
                        "load test", "127.0.0.1:" + std::to_string(gateway.Port())},
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

// A client that opens as many sessions at once as the gateway serves, each new one as soon as
// the last ended: it is never refused, however fast it comes back after QUIT.
TEST_F(SmtpInInterop, SmtpSourceAsManySessionsAsTheLimit) {
  FAXMAIL_REQUIRE_PEER("/usr/sbin/smtp-source");
  GatewayProcess gateway(Root());
  ASSERT_TRUE(gateway.Start());
  constexpr int kMessages = 200;
  std::string output;
  const int status =
      test::RunProgram({"/usr/sbin/smtp-source", "-s", "20", "-m", std::to_string(kMessages), "-f",
                        "load@example.org", "-t", "999@fax.example", "-S", "limit test",
                        "127.0.0.1:" + std::to_string(gateway.Port())},
                       &output);
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output.find("lost connection"), std::string::npos) << output;
  const auto names = WaitForMessages(gateway, kMessages);
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kMessages)) << output;
  EXPECT_EQ(gateway.Stop(), 0);
  EXPECT_EQ(gateway.MainLog().find("ClientThreadEntry : exceeded the max. no. of connections."),
            std::string::npos);
}

TEST_F(SmtpInInterop, PythonEmailMessageWithAttachments) {
  FAXMAIL_REQUIRE_PEER(test::kSystemPython);
  GatewayProcess gateway(Root());
  ASSERT_TRUE(gateway.Start());
  // A message as Python's email package builds it: an encoded subject, a text part and two
  // attachments, one binary and one text; the attachments' bytes are written beside it.
  const std::string script =
      "import smtplib, sys, os\n"
      "from email.message import EmailMessage\n"
      "m = EmailMessage()\n"
      "m['From'] = 'Carol <carol@example.org>'\n"
      "m['To'] = 'Fax Desk <4711@fax.example>, someone@example.org'\n"
      "m['Subject'] = 'Caf\\u00e9 order'\n"
      "m.set_content('Hello fax\\n.line with a dot\\n')\n"
      "blob = bytes(range(256)) * 40\n"
      "open(sys.argv[2] + '/blob.bin', 'wb').write(blob)\n"
      "m.add_attachment(blob, maintype='application', subtype='octet-stream', "
      "filename='scan.tiff')\n"
      "m.add_attachment('a,b\\r\\n1,2\\r\\n', subtype='csv', filename='table.csv')\n"
      "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=20)\n"
      "s.send_message(m, to_addrs=['<4711@fax.example>'])\n"
      "s.quit()\n";
  // Watch OUT while the mail is sent: the moment the ready name appears, the files it names
  // must already be there and complete.
  std::atomic<bool> stop{false};
  std::string seenAtReady;
  std::thread watcher([&] {
    const std::string out = gateway.Data() + "OUT/";
    while (!stop.load()) {
      if (platform::FileExists(out + "ENV0.tmp")) {
        seenAtReady = std::to_string(ReadWholeFile(out + "ATT0.tif").size()) + " " +
                      std::to_string(ReadWholeFile(out + "ATT1.csv").size()) + " " +
                      std::to_string(ReadWholeFile(out + "ENV0.bdy").size());
        return;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::string output;
  const int status = test::RunProgram(
      {test::kSystemPython, "-c", script, std::to_string(gateway.Port()), Root()}, &output);
  for (int i = 0; i < 500 && !platform::FileExists(gateway.Data() + "OUT/ENV0.tmp"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop = true;
  watcher.join();
  ASSERT_EQ(status, 0) << output;
  EXPECT_EQ(seenAtReady, "10240 10 29");
  EXPECT_EQ(ReadWholeFile(gateway.Data() + "OUT/ENV0.tmp"),
            "FROM: <carol@example.org>\r\n"
            "TO: \"Fax Desk\" <4711@fax.example>\r\n"
            "SUBJECT: Caf\xC3\xA9 order\r\n"
            "\r\nBEGIN BODY\r\n<<ENV0.bdy>>\r\nEND BODY\r\n\r\n"
            "BEGIN ATTACH\r\n"
            "<<scan.tiff:ATT0.tif>>\r\n"
            "<<table.csv:ATT1.csv>>\r\n"
            "END ATTACH\r\n");
  EXPECT_EQ(ReadWholeFile(gateway.Data() + "OUT/ENV0.bdy"), "Hello fax\r\n.line with a dot\r\n");
  EXPECT_EQ(ReadWholeFile(gateway.Data() + "OUT/ATT0.tif"), ReadWholeFile(Root() + "/blob.bin"));
  EXPECT_EQ(ReadWholeFile(gateway.Data() + "OUT/ATT1.csv"), "a,b\r\n1,2\r\n");
  EXPECT_EQ(gateway.Stop(), 0);
}

}  // namespace
}  // namespace faxmail
