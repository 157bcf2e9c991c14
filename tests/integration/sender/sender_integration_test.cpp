// The whole gateway in console mode: a ready file that the fax server leaves in IN reaches the
// recipient's mail server, found through the MX records of a real DNS server (Knot on
// 127.26.1.1:53) and recorded by aiosmtpd on 127.26.1.2; its attachment arrives byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "platform/registry.h"
#include "tests/support/gateway_process.h"
#include "tests/support/knot_server.h"
#include "tests/support/mail_peers.h"
#include "tests/support/peers.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::ReadWholeFile;
using test::WriteWholeFile;

constexpr char kDns[] = "127.26.1.1";
constexpr char kMailHost[] = "127.26.1.2";

using test::WaitUntil;

class SenderIntegration : public test::RootTest {};

TEST_F(SenderIntegration, ReadyFileInInReachesTheMailServer) {
  FAXMAIL_REQUIRE_PEER(test::kKnotd);
  FAXMAIL_REQUIRE_PEER(test::kSystemPython);
  test::KnotServer dns(kDns,
                       {{"dest.test.", test::OneExchangerZone("dest.test.", kDns, kMailHost)}});
  ASSERT_TRUE(dns.Ready()) << dns.Log();
  const std::uint16_t smtpPort = test::FreeLoopbackPort();
  test::SmtpRecorder peer(kMailHost, smtpPort);
  ASSERT_TRUE(peer.Ready()) << peer.Output();

  test::GatewayProcess gateway(Root());
  {
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine,
                                     "SOFTWARE\\Almoran\\Corvane SMTP Server", key),
              0);
    ASSERT_EQ(platform::RegSetString(key, "DNSName", kDns), 0);
    ASSERT_EQ(platform::RegSetDword(key, "SmtpTxPort", smtpPort), 0);
    platform::RegCloseKey(key);
  }
  std::mt19937 random(11);
  std::string image(40000, '\0');
  for (char& b : image) b = static_cast<char>(random());
  image.replace(0, 4, "II*\0", 4);
  const std::string in = gateway.Data() + "IN/";
  WriteWholeFile(in + "IMG42.TIF", image);
  WriteWholeFile(in + "fax42.tmp",
                 "FROM: Fax Server <fax@fax.example>\r\n"
                 "TO: Alice <alice@dest.test>\r\n"
                 "SUBJECT: Fax received from 5551234\r\n"
                 "\r\nBEGIN BODY\r\n\r\n"
                 "You have received a fax.\r\n"
                 "\r\nEND BODY\r\n\r\n"
                 "BEGIN ATTACH\r\n<<fax.tif:IMG42.TIF>>\r\nEND ATTACH\r\n");
  ASSERT_TRUE(gateway.Start());

  ASSERT_TRUE(peer.WaitForMails(1)) << gateway.MainLog();
  // The ready file and its attachment are deleted once the mail is delivered.
  ASSERT_TRUE(WaitUntil(
      [&] { return gateway.Files("IN", "*.tmp").empty() && gateway.Files("IN", "*.TIF").empty(); },
      std::chrono::seconds(10)))
      << gateway.MainLog();
  const auto mails = peer.Mails();
  EXPECT_EQ(mails[0].rcptTo, std::vector<std::string>{"ALICE@DEST.TEST"});
  const test::ParsedMail parsed = test::ParseMail(mails[0].data);
  ASSERT_EQ(parsed.parts.size(), 2u);
  EXPECT_EQ(parsed.parts[0].payload, "You have received a fax.\n");
  EXPECT_EQ(parsed.parts[1].fileName, "fax.tif");
  EXPECT_EQ(parsed.parts[1].payload, image);
  EXPECT_EQ(gateway.Stop(), 0);

  const std::string log = gateway.MainLog();
  EXPECT_NE(log.find("SMTPOut- DNS Server IP Address: 127.26.1.1"), std::string::npos);
  EXPECT_NE(log.find("SMTPOut using remote port " + std::to_string(smtpPort)), std::string::npos);
  EXPECT_NE(log.find("SMTPOut- MX Rec Found : 127.26.1.2"), std::string::npos);
  EXPECT_NE(log.find("QUIT Ack - 221"), std::string::npos);
  // The work file is kept for inspection while the main log is on: the mail as sent.
  const auto kept = gateway.Files("IN", "*.debug");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(ReadWholeFile(in + kept[0]).ends_with("\r\n.\r\n"));
}

}  // namespace
}  // namespace faxmail
