// faxmailgw as an operator runs it: console mode starts the gateway, logs, and ends on "q".
#include <gtest/gtest.h>

#include "gateway/service/settings.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

class ConsoleTest : public test::RootTest {
 protected:
  void Configure() {
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    ASSERT_EQ(platform::RegSetString(key, "logfile", Root() + "/main.log"), 0);
    ASSERT_EQ(platform::RegSetString(key, "DomainName", "fax.example"), 0);
    ASSERT_EQ(platform::RegSetDword(key, "SmtpRxPort", test::FreeLoopbackPort()), 0);
  }
};

TEST_F(ConsoleTest, StartsLogsAndStopsOnQ) {
  Configure();
  std::string output;
  const int status =
      test::RunProgram({test::BuiltProgram("gateway/faxmailgw"), "-m"}, &output, {}, "xq\n");
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("Press q to stop the gateway\n"), std::string::npos) << output;
  const std::string log = test::ReadWholeFile(Root() + "/main.log");
  EXPECT_NE(log.find("Domain Name: fax.example"), std::string::npos) << log;
  EXPECT_NE(log.find("SMTPIn listening to port"), std::string::npos) << log;
}

TEST_F(ConsoleTest, UpperCaseSlashSwitchIsConsoleToo) {
  Configure();
  std::string output;
  EXPECT_EQ(test::RunProgram({test::BuiltProgram("gateway/faxmailgw"), "/M"}, &output, {}, "q"), 0)
      << output;
  EXPECT_NE(output.find("Press q to stop the gateway"), std::string::npos);
}

TEST_F(ConsoleTest, ModesNotBuiltYetFailVisibly) {
  std::string output;
  EXPECT_NE(test::RunProgram({test::BuiltProgram("gateway/faxmailgw"), "-install"}, &output), 0);
}

}  // namespace
}  // namespace faxmail
