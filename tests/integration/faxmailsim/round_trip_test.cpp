// The gateway and the fax server stand-in together, as an administrator would run them: a
// mail comes in over SMTP (swaks, Python's smtplib) to the real faxmailgw -m; faxmailsim takes
// the envelope from OUT, "sends" the fax and leaves its notification in IN; the gateway mails
// it back to the sender through the MX records of Knot (on 127.27.T.1) to aiosmtpd (on
// 127.27.T.2), with the fax image attached byte for byte as the stand-in recorded it. A
// received fax reaches its addressee the same way. Each test T has its own addresses.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/registry.h"
#include "tests/support/gateway_process.h"
#include "tests/support/knot_server.h"
#include "tests/support/mail_peers.h"
#include "tests/support/peers.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using namespace std::chrono_literals;
using test::ReadWholeFile;
using test::WaitUntil;
using test::WriteWholeFile;

constexpr char kGhostscript[] = "/usr/bin/gs";
constexpr char kTiffinfo[] = "/usr/bin/tiffinfo";
constexpr char kSwaks[] = "/usr/bin/swaks";

std::string Address(int t, int n) {
  return "127.27." + std::to_string(t) + "." + std::to_string(n);
}

std::string Sim() { return test::BuiltProgram("tools/faxmailsim/faxmailsim"); }

// The Subject header of a recorded mail.
std::string SubjectOf(const std::string& mail) {
  const auto at = mail.find("\nSUBJECT: ");
  if (at == std::string::npos) return {};
  return mail.substr(at + 10, mail.find('\r', at) - at - 10);
}

class FaxRoundTrip : public test::RootTest {
 protected:
  // The gateway delivering to mail.test through Knot at 127.27.T.1 and aiosmtpd at 127.27.T.2.
  void StartAll(int t) {
    FAXMAIL_REQUIRE_PEER(test::kKnotd);
    FAXMAIL_REQUIRE_PEER(test::kSystemPython);
    FAXMAIL_REQUIRE_PEER(kGhostscript);
    FAXMAIL_REQUIRE_PEER(kTiffinfo);
    m_dns = std::make_unique<test::KnotServer>(
        Address(t, 1),
        std::vector<test::Zone>{
            {"mail.test.", test::OneExchangerZone("mail.test.", Address(t, 1), Address(t, 2))}});
    ASSERT_TRUE(m_dns->Ready()) << m_dns->Log();
    const std::uint16_t port = test::FreeLoopbackPort();
    m_peer = std::make_unique<test::SmtpRecorder>(Address(t, 2), port);
    ASSERT_TRUE(m_peer->Ready()) << m_peer->Output();
    m_gateway = std::make_unique<test::GatewayProcess>(Root());
    test::SetGatewayText("DNSName", Address(t, 1));
    test::SetGatewayNumber("SmtpTxPort", port);
    ASSERT_TRUE(m_gateway->Start()) << m_gateway->ConsoleOutput();
  }
  // Waits for the gateway's envelope in OUT.
  bool EnvelopeReady() {
    return WaitUntil([&] { return !m_gateway->Files("OUT", "ENV*.tmp").empty(); }, 30s);
  }
  // faxmailsim --once over the gateway's data directory; its output.
  std::string RunSim(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {Sim(), "--once"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string output;
    EXPECT_EQ(test::RunProgram(argv, &output), 0) << output;
    return output;
  }
  std::string Sent() const { return Root() + "/sent/"; }

  std::unique_ptr<test::KnotServer> m_dns;
  std::unique_ptr<test::SmtpRecorder> m_peer;
  std::unique_ptr<test::GatewayProcess> m_gateway;
};

TEST_F(FaxRoundTrip, MailInFaxOutNotificationBackWithTheImage) {
  FAXMAIL_REQUIRE_PEER(kSwaks);
  StartAll(1);
  if (HasFatalFailure() || IsSkipped()) return;
  std::string output;
  ASSERT_EQ(test::RunProgram(
                {kSwaks, "--server", "127.0.0.1", "--port", std::to_string(m_gateway->Port()),
                 "--helo", "client.test", "--from", "alice@mail.test", "--to",
                 "5550100@fax.example", "--header", "Subject: Quarterly report", "--body",
                 "Dear fax,\nthe numbers are in.\n", "--timeout", "20"},
                &output),
            0)
      << output;
  ASSERT_TRUE(EnvelopeReady()) << m_gateway->MainLog();

  // The data directory comes from the gateway's own setting.
  output = RunSim();
  EXPECT_NE(output.find("faxmailsim: ENV0 to 5550100 sent OK, 1 page, " + Sent() +
                        "ENV0-1-5550100/fax.tif\n"),
            std::string::npos)
      << output;
  // The envelope and its message text are gone (the raw message stays while the log is on).
  EXPECT_TRUE(m_gateway->Files("OUT", "ENV*").empty());

  ASSERT_TRUE(m_peer->WaitForMails(1, 60s)) << m_gateway->MainLog();
  const auto mails = m_peer->Mails();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].rcptTo, std::vector<std::string>{"ALICE@MAIL.TEST"});
  EXPECT_EQ(SubjectOf(mails[0].data), "Fax to 5550100 sent OK") << mails[0].data;
  const test::ParsedMail parsed = test::ParseMail(mails[0].data);
  EXPECT_EQ(parsed.defects, 0);
  ASSERT_EQ(parsed.parts.size(), 2u) << mails[0].data;
  EXPECT_NE(parsed.parts[0].payload.find("\nSubject : Quarterly report\n"), std::string::npos)
      << parsed.parts[0].payload;
  EXPECT_EQ(parsed.parts[1].fileName, "fax.tif");
  const std::string image = Sent() + "ENV0-1-5550100/fax.tif";
  EXPECT_EQ(parsed.parts[1].payload, ReadWholeFile(image));  // byte for byte

  // A Class F image: Group 4, fine resolution, a fax line wide.
  std::string info;
  ASSERT_EQ(test::RunProgram({kTiffinfo, image}, &info), 0) << info;
  EXPECT_NE(info.find("Compression Scheme: CCITT Group 4"), std::string::npos) << info;
  EXPECT_NE(info.find("Resolution: 204, 196 pixels/inch"), std::string::npos) << info;
  EXPECT_NE(info.find("Image Width: 1728"), std::string::npos) << info;
  EXPECT_NE(ReadWholeFile(Sent() + "ENV0-1-5550100/message.txt").find("the numbers are in."),
            std::string::npos);
  EXPECT_EQ(m_gateway->Stop(), 0);
}

TEST_F(FaxRoundTrip, NumberOnTheRefusalListIsRejectedWithItsPdfRendered) {
  StartAll(2);
  if (HasFatalFailure() || IsSkipped()) return;
  const std::string pdf = Root() + "/letter.pdf";
  std::string output;
  ASSERT_EQ(test::RunProgram({kGhostscript, "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER",
                              "-sDEVICE=pdfwrite", "-sOutputFile=" + pdf, "-c",
                              "/Helvetica findfont 24 scalefont setfont 72 700 moveto (one) show "
                              "showpage 72 700 moveto (two) show showpage"},
                             &output),
            0)
      << output;
  const std::string script =
      "import smtplib, sys\n"
      "from email.message import EmailMessage\n"
      "m = EmailMessage()\n"
      "m['From'] = 'carol@mail.test'\n"
      "m['To'] = '5550100@fax.example'\n"
      "m['Subject'] = 'Signed letter'\n"
      "m.set_content('Please find the letter attached.\\n')\n"
      "m.add_attachment(open(sys.argv[2], 'rb').read(), maintype='application',\n"
      "                 subtype='pdf', filename='letter.pdf')\n"
      "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), local_hostname='py.test', timeout=20)\n"
      "s.send_message(m)\n"
      "s.quit()\n";
  ASSERT_EQ(
      test::RunProgram({test::kSystemPython, "-c", script, std::to_string(m_gateway->Port()), pdf},
                       &output),
      0)
      << output;
  ASSERT_TRUE(EnvelopeReady()) << m_gateway->MainLog();
  WriteWholeFile(Root() + "/refused", "# numbers we never dial\n555-0100\n");
  output = RunSim({"--data", m_gateway->Data(), "--refuse-file", Root() + "/refused"});
  // The message text and both pages of the PDF.
  EXPECT_NE(output.find("faxmailsim: ENV0 to 5550100 rejected, 3 pages, "), std::string::npos)
      << output;

  ASSERT_TRUE(m_peer->WaitForMails(1, 60s)) << m_gateway->MainLog();
  const auto mails = m_peer->Mails();
  EXPECT_EQ(mails[0].rcptTo, std::vector<std::string>{"CAROL@MAIL.TEST"});
  EXPECT_EQ(SubjectOf(mails[0].data), "Fax to 5550100 rejected") << mails[0].data;
  const test::ParsedMail parsed = test::ParseMail(mails[0].data);
  ASSERT_EQ(parsed.parts.size(), 2u) << mails[0].data;
  EXPECT_NE(parsed.parts[0].payload.find("Subject : Signed letter"), std::string::npos);
  EXPECT_EQ(parsed.parts[1].payload, ReadWholeFile(Sent() + "ENV0-1-5550100/fax.tif"));
  EXPECT_NE(ReadWholeFile(Sent() + "ENV0-1-5550100/result").find("result: rejected\n"),
            std::string::npos);
}

TEST_F(FaxRoundTrip, ReceivedFaxReachesItsAddresseeWithItsImage) {
  StartAll(3);
  if (HasFatalFailure() || IsSkipped()) return;
  const std::string image = Root() + "/incoming.tif";
  std::string output;
  ASSERT_EQ(
      test::RunProgram({kGhostscript, "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=tiffg4",
                        "-r204x196", "-g1728x2292", "-sOutputFile=" + image, "-c",
                        "/Courier findfont 20 scalefont setfont 72 700 moveto (fax) show "
                        "showpage showpage"},
                       &output),
      0)
      << output;
  ASSERT_EQ(test::RunProgram(
                {Sim(), "receive", "--from", "5551234", "--to", "bob@mail.test", "--image", image},
                &output),
            0)
      << output;
  EXPECT_NE(output.find("faxmailsim: fax from 5551234 received for bob@mail.test, 2 pages, "),
            std::string::npos)
      << output;

  ASSERT_TRUE(m_peer->WaitForMails(1, 60s)) << m_gateway->MainLog();
  const auto mails = m_peer->Mails();
  EXPECT_EQ(mails[0].rcptTo, std::vector<std::string>{"BOB@MAIL.TEST"});
  EXPECT_EQ(SubjectOf(mails[0].data), "Fax received from 5551234") << mails[0].data;
  const test::ParsedMail parsed = test::ParseMail(mails[0].data);
  ASSERT_EQ(parsed.parts.size(), 2u) << mails[0].data;
  EXPECT_EQ(parsed.parts[1].fileName, "fax.tif");
  EXPECT_EQ(parsed.parts[1].payload, ReadWholeFile(image));
  // The sender removes the ready file and its image once the mail is delivered.
  EXPECT_TRUE(WaitUntil([&] { return m_gateway->Files("IN", "SIM*").empty(); }, 10s));
}

}  // namespace
}  // namespace faxmail
