// The sender's real 35-second receive time-out: against aiosmtpd refusing the recipient, and
// against a private Postfix whose greeting names it, which gets no MAIL command until the
// time-out has passed. One delivery attempt each; Knot serves the MX records.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "gateway/queue/file_man.h"
#include "gateway/smtp_out/smtp_out.h"
#include "tests/support/knot_server.h"
#include "tests/support/mail_peers.h"
#include "tests/support/peers.h"
#include "tests/unit/net/net_test_util.h"
#include "tests/unit/smtp_out/sender_test_util.h"

namespace faxmail {
namespace {

using namespace std::chrono_literals;

std::string Address(int t, int n) {
  return "127.25." + std::to_string(t) + "." + std::to_string(n);
}

constexpr char kMessage[] =
    "FROM: fax@fax.example\r\nTO: <ALICE@DEST.TEST>\r\nSUBJECT: Fax sent OK\r\n\r\nslow\r\n.\r\n";

class SenderSlow : public test::SenderTest {
 protected:
  void SetUp() override {
    SenderTest::SetUp();
    FAXMAIL_REQUIRE_PEER(test::kKnotd);
  }
  void StartDns(int t) {
    m_dns = std::make_unique<test::KnotServer>(
        Address(t, 1),
        std::vector<test::Zone>{
            {"dest.test.", test::OneExchangerZone("dest.test.", Address(t, 1), Address(t, 2))}});
    ASSERT_TRUE(m_dns->Ready()) << m_dns->Log();
    SetString("DNSName", Address(t, 1));
  }
  // One attempt with the sender's own time-outs; its result and how long it took.
  int Deliver(std::uint16_t port, std::chrono::steady_clock::duration& took) {
    SetDword("SmtpTxPort", port);
    CFileMan fileMan;
    SMTPOut sender;
    sender.SetFileManager(fileMan);
    test::WriteWholeFile(In("w.cqx"), kMessage);
    platform::File work;
    EXPECT_EQ(platform::File::Open(In("w.cqx"), platform::Access::Read, platform::Share::None,
                                   platform::Disposition::OpenExisting, work),
              0);
    const auto start = std::chrono::steady_clock::now();
    const int result = sender.SendViaMX(work, "ALICE@DEST.TEST", "TO: <ALICE@DEST.TEST>");
    took = std::chrono::steady_clock::now() - start;
    return result;
  }

  std::unique_ptr<test::KnotServer> m_dns;
};

TEST_F(SenderSlow, RefusedRecipientFailsAfterTheReceiveTimeOut) {
  constexpr int t = 20;
  FAXMAIL_REQUIRE_PEER(test::kSystemPython);
  StartDns(t);
  const std::uint16_t port = test::FreeLoopbackPort();
  test::SmtpRecorder peer(Address(t, 2), port, /*rejectRcpt=*/true);
  ASSERT_TRUE(peer.Ready()) << peer.Output();
  std::chrono::steady_clock::duration took{};
  EXPECT_EQ(Deliver(port, took), SMTPOut::kDialogueFailed);
  EXPECT_GE(took, 35s);
  EXPECT_TRUE(Logged("SMTPOut- Ack: 550 5.1.1 No such user")) << Log();
  EXPECT_TRUE(Logged("WSA Socket Error: ("));
  EXPECT_TRUE(peer.Mails().empty());
}

TEST_F(SenderSlow, PostfixGetsMailFromTheRecipientAfterThirtyFiveSeconds) {
  constexpr int t = 21;
  FAXMAIL_REQUIRE_PEER(test::kPostfix);
  StartDns(t);
  const std::uint16_t port = test::FreeLoopbackPort();
  test::PostfixInstance postfix(Address(t, 2), port, "dest.test");
  ASSERT_TRUE(postfix.Ready()) << postfix.MailLog();
  std::chrono::steady_clock::duration took{};
  EXPECT_EQ(Deliver(port, took), SMTPOut::kDelivered) << Log();
  EXPECT_GE(took, 35s);
  EXPECT_TRUE(Logged("SMTPOut- This is a postfix server"));
  EXPECT_TRUE(test::WaitFor(
      [&] { return postfix.MailLog().find("status=sent") != std::string::npos; }, 20s))
      << postfix.MailLog();
  const std::string log = postfix.MailLog();
  EXPECT_NE(log.find("from=<ALICE@DEST.TEST>"), std::string::npos) << log;
  EXPECT_NE(log.find("to=<ALICE@DEST.TEST>"), std::string::npos) << log;
}

}  // namespace
}  // namespace faxmail
