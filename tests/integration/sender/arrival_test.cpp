// The whole gateway in console mode, idle, with its notice of arrivals in IN: ready files that
// the fax server gives their ready names while the sender waits are each delivered once, to
// Postfix's smtp-sink through the MX records of a real DNS server (Knot on 127.26.2.1:53):
// one at a time, a batch at once, and a name used again for a new file after the first was
// delivered. How fast a file is taken is the benchmark's business; here the count matters.
#include <gtest/gtest.h>

#include <map>
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

using test::WaitUntil;
using test::WriteWholeFile;

constexpr char kDns[] = "127.26.2.1";
constexpr char kMailHost[] = "127.26.2.2";
constexpr char kReference[] = "Reference: arrival-";

std::string Notification(int n) {
  return "FROM: Fax Server <fax@fax.example>\r\n"
         "TO: Alice <alice@dest.test>\r\n"
         "SUBJECT: Fax sent OK to 5551234\r\n"
         "\r\nBEGIN BODY\r\n\r\n"
         "Your fax was sent.\r\n" +
         std::string(kReference) + std::to_string(n) +
         "\r\n"
         "\r\nEND BODY\r\n\r\n";
}

// How often each reference arrived at the sink.
std::map<int, int> Arrivals(const test::SmtpSink& sink) {
  std::map<int, int> counts;
  for (const std::string& dump : sink.Dumps()) {
    const auto at = dump.find(kReference);
    if (at == std::string::npos) continue;  // still being written
    const auto digits = at + std::string(kReference).size();
    const auto end = dump.find_first_not_of("0123456789", digits);
    if (end == digits || end == std::string::npos) continue;
    ++counts[std::stoi(dump.substr(digits, end - digits))];
  }
  return counts;
}

int CountEntries(const std::string& log, const std::string& message) {
  int count = 0;
  for (std::size_t at = 0; (at = log.find(message, at)) != std::string::npos; at += message.size())
    if (at == 0 || log[at - 1] == '\n') ++count;
  return count;
}

class SenderArrival : public test::RootTest {};

TEST_F(SenderArrival, ReadyFileNamedWhileTheSenderWaitsIsDeliveredOnce) {
  FAXMAIL_REQUIRE_PEER(test::kKnotd);
  FAXMAIL_REQUIRE_PEER(test::kSmtpSink);
  test::KnotServer dns(kDns,
                       {{"dest.test.", test::OneExchangerZone("dest.test.", kDns, kMailHost)}});
  ASSERT_TRUE(dns.Ready()) << dns.Log();
  const std::uint16_t smtpPort = test::FreeLoopbackPort();
  test::SmtpSink sink(kMailHost, smtpPort);
  ASSERT_TRUE(sink.Ready());

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
  ASSERT_TRUE(gateway.Start());
  ASSERT_TRUE(WaitUntil(
      [&] { return gateway.MainLog().find("SMTPOut- No messages to send.") != std::string::npos; },
      std::chrono::seconds(20)));
  // The sender waits on its notice of arrivals, not on its poll alone.
  ASSERT_EQ(gateway.MainLog().find("SMTPOut- No notice of arrivals in IN"), std::string::npos);

  const std::string in = gateway.Data() + "IN/";
  // Written under another name, then given the ready name by rename, as the fax server does.
  const auto give = [&](const std::string& name, int n) {
    WriteWholeFile(in + name + ".part", Notification(n));
    ASSERT_EQ(platform::RenameFile(in + name + ".part", in + name + ".tmp"), 0);
  };
  const auto arrived = [&](int n) { return Arrivals(sink).count(n) == 1; };
  const auto allArrived = [&](int from, int to) {
    return WaitUntil(
        [&] {
          for (int n = from; n < to; ++n)
            if (!arrived(n)) return false;
          return true;
        },
        std::chrono::seconds(60));
  };

  int files = 0;
  // One at a time, each to an idle sender.
  for (; files < 5; ++files) {
    give("one" + std::to_string(files), files);
    ASSERT_TRUE(allArrived(files, files + 1)) << gateway.MainLog();
  }
  // A batch at once.
  for (int k = 0; k < 5; ++k) give("batch" + std::to_string(k), files + k);
  ASSERT_TRUE(allArrived(files, files + 5)) << gateway.MainLog();
  files += 5;
  // A name used again for a new file once the first of that name has gone.
  for (int k = 0; k < 2; ++k, ++files) {
    give("again", files);
    ASSERT_TRUE(allArrived(files, files + 1)) << gateway.MainLog();
  }

  // Every ready file has gone from IN; what arrived by the stop is all that was sent.
  ASSERT_TRUE(
      WaitUntil([&] { return gateway.Files("IN", "*.tmp").empty(); }, std::chrono::seconds(20)));
  EXPECT_EQ(gateway.Stop(), 0);
  const std::map<int, int> counts = Arrivals(sink);
  ASSERT_EQ(counts.size(), static_cast<std::size_t>(files));
  for (const auto& [n, count] : counts) EXPECT_EQ(count, 1) << "reference " << n;
  EXPECT_EQ(sink.Dumps().size(), static_cast<std::size_t>(files));
  // One delivery each: no file was taken twice, and none failed and was tried again.
  const std::string log = gateway.MainLog();
  EXPECT_EQ(CountEntries(log, "QUIT Ack - 221"), files);
  EXPECT_EQ(CountEntries(log, "SMTPOut- Sending HELO - Waiting for ack (250)"), files);
}

}  // namespace
}  // namespace faxmail
