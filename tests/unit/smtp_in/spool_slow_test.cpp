// The in-use flag of the envelope name: another user of the key holds the name, and decoding
// waits in 25-second steps until it is released.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "gateway/queue/counters.h"
#include "gateway/queue/file_man.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "gateway/smtp_in/smtp_in.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

class SpoolSlowTest : public test::RootTest {};

TEST_F(SpoolSlowTest, HeldEnvelopeNameDelaysDecodingUntilReleased) {
  const std::string data = Root() + "/data/";
  ASSERT_EQ(platform::CreateDirectory(Root() + "/data"), 0);
  ASSERT_EQ(platform::CreateDirectory(data + "OUT"), 0);
  platform::RegKey key;
  ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
  ASSERT_EQ(platform::RegSetString(key, "ProgramPath", data), 0);
  ASSERT_EQ(platform::RegSetString(key, "logfileb", Root() + "/secondary.log"), 0);
  GetDebugSettings2();
  CFileMan fileMan;
  SMTPIn server(fileMan);
  test::WriteWholeFile(data + "OUT/raw.cqx", "Subject: held\r\n\r\nbody\r\n");
  ASSERT_EQ(platform::RegSetDword(key, "FileNameUse", 1), 0);

  const auto start = std::chrono::steady_clock::now();
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::seconds(5));
    ASSERT_TRUE(platform::FileExists(data + "OUT/raw.cqx"));
    EXPECT_FALSE(platform::FileExists(data + "OUT/ENV0.tmp"));  // still waiting
    platform::RegSetDword(key, "FileNameUse", 0);
  });
  SMTPInThread session(server);
  session.Decode(data + "OUT/raw.cqx");
  release.join();
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::seconds(5));
  EXPECT_LT(waited, std::chrono::seconds(40));
  EXPECT_TRUE(platform::FileExists(data + "OUT/ENV0.tmp"));
  EXPECT_NE(test::ReadWholeFile(Root() + "/secondary.log")
                .find("SMTPIn - File name taken, waiting for 25 sec"),
            std::string::npos);
}

}  // namespace
}  // namespace faxmail
