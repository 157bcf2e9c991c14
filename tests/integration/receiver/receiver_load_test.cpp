// The real faxmailgw under large and many messages: memory must not grow with the message, and
// every acknowledged message must become an envelope.
#include <gtest/gtest.h>

#include <thread>

#include "platform/file.h"
#include "tests/support/gateway_process.h"
#include "tests/support/smtp_client.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

class ReceiverLoadTest : public test::RootTest {};

TEST_F(ReceiverLoadTest, HundredMegabyteMessageInFixedMemory) {
  test::GatewayProcess gateway(Root());
  ASSERT_TRUE(gateway.Start());
  const long before = gateway.PeakMemoryKiB();
  test::ScriptedClient client;
  ASSERT_TRUE(client.Connect(gateway.Port()));
  ASSERT_FALSE(client.ReadLine().empty());
  ASSERT_TRUE(client.Send("HELO big\r\nMAIL FROM:<a@b>\r\nRCPT TO:<1@fax>\r\nDATA\r\n"));
  for (int i = 0; i < 4; ++i) ASSERT_FALSE(client.ReadLine().empty());
  ASSERT_TRUE(client.Send("Subject: big\r\n\r\n"));
  const std::string line = std::string(998, 'x') + "\r\n";
  std::string block;
  for (int i = 0; i < 1000; ++i) block += line;  // 1 MB
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(client.Send(block));
  ASSERT_TRUE(client.Send(".\r\n"));
  EXPECT_EQ(client.ReadLine(60000), "250 Mail Received OK\r\n");
  ASSERT_TRUE(client.Send("QUIT\r\n"));
  EXPECT_EQ(client.ReadLine(120000), "221 Goodbye\r\n");  // after Decode has run
  const long after = gateway.PeakMemoryKiB();
  std::uint64_t size = 0;
  platform::File body;
  ASSERT_EQ(platform::File::Open(gateway.Data() + "OUT/ENV0.bdy", platform::Access::Read,
                                 platform::Share::Read, platform::Disposition::OpenExisting, body),
            0);
  body.Size(size);
  EXPECT_EQ(size, 100u * 1000u * 1000u);
  EXPECT_TRUE(platform::FileExists(gateway.Data() + "OUT/ENV0.tmp"));
  // The whole message passed through; the process grew by far less than its size.
  EXPECT_LT(after - before, 32 * 1024) << before << " KiB before, " << after << " KiB after";
  EXPECT_EQ(gateway.Stop(), 0);
}

}  // namespace
}  // namespace faxmail
