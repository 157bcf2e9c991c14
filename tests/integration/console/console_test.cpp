// faxmailgw as an operator runs it: console mode starts the gateway, logs, and ends on "q".
#include <gtest/gtest.h>

#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "gateway/host/start_gateway.h"
#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "platform/socket.h"
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

// Both start-up failures end the console run with a non-zero exit, the reason on its output
// and an event in the log; a gateway that runs without its receiver would never end here, and
// is killed by the bound instead (exit 124).
class StartFailureTest : public ConsoleTest {
 protected:
  int RunBounded(std::string& output) {
    return test::RunProgram(
        {"/usr/bin/timeout", "20", test::BuiltProgram("gateway/faxmailgw"), "-m"}, &output);
  }
  // The reason of the start-failure event, empty when there is none.
  std::string StartFailureEvent() {
    std::vector<platform::EventRecord> events;
    if (platform::ReadEventLog(events) != 0) return {};
    for (const auto& e : events)
      if (e.eventId == kStartFailedEvent && e.type == platform::EventType::Error &&
          e.strings.size() == 2 && e.strings[0] == kServiceName)
        return e.strings[1];
    return {};
  }
};

TEST_F(StartFailureTest, DamagedHiveEndsTheStart) {
  Configure();
  // A value whose text never ends: the hive no longer parses.
  const std::string hive = platform::HivePath(platform::Hive::LocalMachine);
  test::WriteWholeFile(hive, test::ReadWholeFile(hive) + "\"Broken\"=\"no end\n");
  ASSERT_FALSE(platform::RegHiveProblem(platform::Hive::LocalMachine).empty());
  std::string output;
  EXPECT_EQ(RunBounded(output), 1) << output;
  EXPECT_NE(output.find("HKLM.reg"), std::string::npos) << output;
  EXPECT_NE(StartFailureEvent().find("HKLM.reg"), std::string::npos);
}

TEST_F(StartFailureTest, TakenPortEndsTheStart) {
  Configure();
  platform::RegKey key;
  ASSERT_EQ(platform::RegOpenKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
  std::uint32_t port = 0;
  ASSERT_EQ(platform::RegQueryDword(key, "SmtpRxPort", port), 0);
  // Another program listens on the gateway's port, on every address as the gateway would.
  platform::Socket other;
  ASSERT_EQ(platform::Socket::Create(0, other), 0);
  platform::SocketAddress address{};
  address.family = platform::kAfInet;
  address.port = platform::HostToNet16(static_cast<std::uint16_t>(port));
  address.address = platform::HostToNet32(platform::kInAddrAny);
  ASSERT_EQ(other.Bind(address), 0);
  ASSERT_EQ(other.Listen(5), 0);
  std::string output;
  EXPECT_EQ(RunBounded(output), 1) << output;
  EXPECT_NE(output.find(std::to_string(port)), std::string::npos) << output;
  EXPECT_NE(StartFailureEvent().find(std::to_string(port)), std::string::npos);
  const std::string log = test::ReadWholeFile(Root() + "/main.log");
  EXPECT_NE(log.find("ConnectToPort : unable to bind to the required address."), std::string::npos);
  EXPECT_NE(log.find("StartGateway: Unable to listen to port " + std::to_string(port)),
            std::string::npos)
      << log;
}

// A longer last word is judged by its last two characters ("ll"): service mode, which outside
// the service control manager tells the operator so and fails.
TEST_F(ConsoleTest, LongerLastWordIsServiceModeOutsideTheManager) {
  std::string output;
  EXPECT_EQ(test::RunProgram({test::BuiltProgram("gateway/faxmailgw"), "-install"}, &output), 1);
  EXPECT_EQ(output,
            "Startup Message: Command prompt:Service will about to start\nError: " +
                std::string(platform::ErrorText(platform::kErrorFailedServiceControllerConnect)) +
                "\n");
}

}  // namespace
}  // namespace faxmail
