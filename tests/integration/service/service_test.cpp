// faxmailgw as a service, all processes real: installed with -i, started and stopped through
// the service control manager, receiving mail while it runs, removed with -u; a crash, a start
// that cannot listen, and a start by hand outside the manager.
//
// The service process is detached from the test, so whatever a sanitizer has to say about it
// goes to files under the test's root (the record's Environment value), which must not appear.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "gateway/host/install.h"
#include "gateway/host/start_gateway.h"
#include "gateway/service/log.h"
#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "platform/socket.h"
#include "platform/win_error.h"
#include "tests/support/gateway_process.h"
#include "tests/support/smtp_client.h"
#include "tests/support/spool_check.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using platform::ServiceStatus;

// A bound on every wait for the service, so that a fault fails the test instead of hanging it.
constexpr auto kHangGuard = std::chrono::seconds(60);
constexpr std::uint32_t kStopAndShutdown =
    platform::kServiceAcceptStop | platform::kServiceAcceptShutdown;

bool WaitUntil(const std::function<bool()>& condition) {
  return test::WaitUntil(condition, kHangGuard);
}

bool PortAccepts(std::uint16_t port) {
  test::ScriptedClient client;
  return client.Connect(port);
}

class ServiceProcessTest : public test::RootTest {
 protected:
  void SetUp() override {
    test::RootTest::SetUp();
    m_config = test::ConfigureGateway(Root());
    m_program = std::filesystem::canonical(test::BuiltProgram("gateway/faxmailgw")).string();
  }
  void TearDown() override {
    // A service a failed test left running must not outlive it.
    platform::ScManager manager;
    platform::ScService service;
    ServiceStatus status;
    if (platform::OpenSCManager(manager) == 0 &&
        platform::OpenService(manager, kServiceName, service) == 0 &&
        platform::QueryServiceStatus(service, status) == 0 && status.processId > 0)
      ::kill(static_cast<pid_t>(status.processId), SIGKILL);
    test::RootTest::TearDown();
  }

  int Gateway(const std::string& switchText, std::string& output) {
    std::vector<std::string> argv = {m_program};
    if (!switchText.empty()) argv.push_back(switchText);
    return test::RunProgram(argv, &output);
  }
  // Installs the service and points its sanitizer reports into the test's root.
  void Install() {
    std::string output;
    ASSERT_EQ(Gateway("-i", output), 0) << output;
    SetEnvironment();
  }
  // The environment the manager gives the service process.
  void SetEnvironment() {
    platform::RegKey key;
    ASSERT_EQ(platform::RegOpenKey(platform::Hive::LocalMachine,
                                   platform::ServiceKeyPath(kServiceName), key),
              0);
    const std::string environment = "ASAN_OPTIONS=log_path=" + Root() + "/asan" +
                                    std::string(1, '\0') + "FAXMAIL_ROOT=" + Root() +
                                    std::string(2, '\0');
    ASSERT_EQ(platform::RegSetValue(key, "Environment", platform::kRegMultiSz, environment.data(),
                                    static_cast<std::uint32_t>(environment.size())),
              0);
  }
  platform::ScService Open() {
    platform::ScManager manager;
    platform::ScService service;
    EXPECT_EQ(platform::OpenSCManager(manager), 0);
    EXPECT_EQ(platform::OpenService(manager, kServiceName, service), 0);
    return service;
  }
  ServiceStatus Query(const platform::ScService& service) {
    ServiceStatus status;
    EXPECT_EQ(platform::QueryServiceStatus(service, status), 0);
    return status;
  }
  bool WaitForState(const platform::ScService& service, std::uint32_t state) {
    return WaitUntil([&] { return Query(service).currentState == state; });
  }
  // Starts the service and waits until its receiver listens.
  void StartRunning(const platform::ScService& service) {
    ASSERT_EQ(platform::StartService(service), 0);
    ASSERT_TRUE(WaitForState(service, platform::kServiceRunning)) << Describe(Query(service));
    ASSERT_TRUE(WaitUntil([&] { return PortAccepts(m_config.port); }));
  }
  // The status and the gateway's events, for a state that was not reached.
  static std::string Describe(const ServiceStatus& s) {
    std::string text = "state " + std::to_string(s.currentState) + ", exit " +
                       std::to_string(s.win32ExitCode) + ", specific " +
                       std::to_string(s.serviceSpecificExitCode) + ", pid " +
                       std::to_string(s.processId);
    std::vector<platform::EventRecord> records;
    platform::ReadEventLog(records);
    for (const auto& r : records)
      if (r.source == kServiceName) {
        text += "\nevent " + std::to_string(r.eventId) + ":";
        for (const std::string& string : r.strings) text += " " + string;
      }
    return text;
  }
  std::vector<ServiceStatus> Reports(const platform::ScService& service) {
    std::vector<ServiceStatus> reports;
    EXPECT_EQ(platform::QueryServiceStatusReports(service, reports), 0);
    return reports;
  }
  // The events of the gateway's source, by number.
  std::vector<std::uint32_t> Events() {
    std::vector<platform::EventRecord> records;
    platform::ReadEventLog(records);
    std::vector<std::uint32_t> ids;
    for (const auto& r : records)
      if (r.source == kServiceName) ids.push_back(r.eventId);
    return ids;
  }
  static bool Has(const std::vector<std::uint32_t>& events, std::uint32_t id) {
    return std::find(events.begin(), events.end(), id) != events.end();
  }
  void ExpectNoSanitizerReports() {
    for (const auto& entry : std::filesystem::directory_iterator(Root()))
      EXPECT_NE(entry.path().filename().string().rfind("asan", 0), 0u)
          << entry.path() << ":\n"
          << test::ReadWholeFile(entry.path().string());
  }
  std::string MainLog() { return test::ReadWholeFile(Root() + "/main.log"); }

  test::GatewayConfig m_config;
  std::string m_program;
};

void ExpectReport(const ServiceStatus& report, std::uint32_t state, std::uint32_t checkPoint,
                  std::uint32_t waitHint, std::uint32_t accepted) {
  EXPECT_EQ(report.serviceType, platform::kServiceWin32OwnProcess);
  EXPECT_EQ(report.currentState, state);
  EXPECT_EQ(report.checkPoint, checkPoint);
  EXPECT_EQ(report.waitHint, waitHint);
  EXPECT_EQ(report.controlsAccepted, accepted);
  EXPECT_EQ(report.win32ExitCode, 0u);
  EXPECT_EQ(report.serviceSpecificExitCode, 0u);
}

TEST_F(ServiceProcessTest, WholeLifeFromInstallToRemove) {
  std::string output;
  // Install: the record, the event source and event 420.
  ASSERT_EQ(Gateway("-i", output), 0) << output;
  EXPECT_EQ(output, "Finished: Service Successfully Installed\n");
  EXPECT_TRUE(Has(Events(), kInstalledEvent));
  {
    platform::RegKey key;
    ASSERT_EQ(platform::RegOpenKey(platform::Hive::LocalMachine,
                                   platform::ServiceKeyPath(kServiceName), key),
              0);
    std::string imagePath;
    EXPECT_EQ(platform::RegQueryString(key, "ImagePath", 4096, imagePath), 0);
    EXPECT_EQ(imagePath, m_program);
    std::uint32_t start = 0;
    EXPECT_EQ(platform::RegQueryDword(key, "Start", start), 0);
    EXPECT_EQ(start, platform::kServiceAutoStart);
    std::string account;
    EXPECT_EQ(platform::RegQueryString(key, "ObjectName", 4096, account), 0);
    EXPECT_EQ(account, "LocalSystem");

    platform::RegKey source;
    ASSERT_EQ(platform::RegOpenKey(platform::Hive::LocalMachine, kEventSourceKey, source), 0);
    std::uint32_t type = 0;
    char file[4096];
    std::uint32_t size = sizeof file;
    ASSERT_EQ(platform::RegQueryValue(source, "EventMessageFile", &type, file, &size), 0);
    EXPECT_EQ(type, platform::kRegExpandSz);
    EXPECT_EQ(std::string(file, size), m_program + std::string(1, '\0'));
    std::uint32_t types = 0;
    EXPECT_EQ(platform::RegQueryDword(source, "TypesSupported", types), 0);
    EXPECT_EQ(types, 7u);
  }
  EXPECT_EQ(Gateway("-i", output), 1);
  EXPECT_EQ(output, "Error: Installation: Service Is already installed!! \n");

  SetEnvironment();
  const platform::ScService service = Open();
  platform::ServiceConfig config;
  ASSERT_EQ(platform::QueryServiceConfig(service, config), 0);
  EXPECT_EQ(config.imagePath, m_program);
  EXPECT_EQ(config.startType, platform::kServiceAutoStart);
  EXPECT_EQ(config.account, platform::kLocalSystemAccount);
  EXPECT_EQ(config.displayName, kServiceName);

  StartRunning(service);
  {
    const auto reports = Reports(service);
    ASSERT_GE(reports.size(), 3u);
    ExpectReport(reports[0], platform::kServiceStartPending, 1, 8000, 0);
    ExpectReport(reports[1], platform::kServiceStartPending, 3, 10000, 0);
    ExpectReport(reports[2], platform::kServiceRunning, 0, 0, kStopAndShutdown);
    const ServiceStatus now = Query(service);
    EXPECT_EQ(now.currentState, platform::kServiceRunning);
    EXPECT_GT(now.processId, 0);
  }

  // Mail to the service's port becomes an envelope in OUT.
  EXPECT_EQ(test::SendMail(m_config.port, test::MailWithAttachment(1, 500)),
            "250 Mail Received OK\r\n");
  const std::string out = m_config.data + "OUT/";
  EXPECT_TRUE(WaitUntil([&] { return test::CheckSpool(out, 500).ready.count(1) == 1; }));

  // A running service is not removed.
  EXPECT_EQ(Gateway("-u", output), 1);
  EXPECT_EQ(output, "Error: Service is RUNNING.First STOP it to uninstall the SERVICE!!\n");
  EXPECT_TRUE(Open().IsOpen());

  ServiceStatus status;
  ASSERT_EQ(platform::ControlService(service, platform::kServiceControlStop, status), 0);
  ASSERT_TRUE(WaitForState(service, platform::kServiceStopped));
  {
    const auto reports = Reports(service);
    ASSERT_GE(reports.size(), 5u);
    const auto& stopping = reports[reports.size() - 2];
    ExpectReport(stopping, platform::kServiceStopPending, 1, 15000, kStopAndShutdown);
    ExpectReport(reports.back(), platform::kServiceStopped, 0, 0, kStopAndShutdown);
    const ServiceStatus now = Query(service);
    EXPECT_EQ(now.win32ExitCode, 0u);
    EXPECT_EQ(now.serviceSpecificExitCode, 0u);
  }
  EXPECT_TRUE(Has(Events(), 428));
  EXPECT_TRUE(WaitUntil([&] { return !PortAccepts(m_config.port); }));
  const std::string log = MainLog();
  EXPECT_NE(log.find("OnStopService: set the stop event."), std::string::npos) << log;
  EXPECT_NE(log.find("Smtpservice: Leaving the Service main."), std::string::npos);

  // Remove: the record goes, the event source stays.
  EXPECT_EQ(Gateway("-u", output), 0) << output;
  EXPECT_EQ(output, "Finished: Service Removed !!, Please Reboot To Finish\n");
  EXPECT_TRUE(Has(Events(), kRemovedEvent));
  platform::RegKey gone;
  EXPECT_EQ(platform::RegOpenKey(platform::Hive::LocalMachine,
                                 platform::ServiceKeyPath(kServiceName), gone),
            platform::kErrorFileNotFound);
  platform::RegKey kept;
  EXPECT_EQ(platform::RegOpenKey(platform::Hive::LocalMachine, kEventSourceKey, kept), 0);

  EXPECT_EQ(Gateway("-u", output), 1);
  EXPECT_EQ(output, "Error: Failed to Locate Installed Service\n");
  EXPECT_FALSE(Has(Events(), kRemoveFailedEvent));
  ExpectNoSanitizerReports();
}

TEST_F(ServiceProcessTest, ByHandWithoutSwitchTellsTheOperatorAndFails) {
  std::string output;
  EXPECT_EQ(Gateway("", output), 1);
  EXPECT_EQ(output,
            "Startup Message: Command prompt:Service will about to start\nError: " +
                std::string(platform::ErrorText(platform::kErrorFailedServiceControllerConnect)) +
                "\n");
}

TEST_F(ServiceProcessTest, KilledServiceReadsStoppedAndStartsAgain) {
  Install();
  const platform::ScService service = Open();
  StartRunning(service);
  const long pid = Query(service).processId;
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
  ASSERT_TRUE(WaitForState(service, platform::kServiceStopped));
  // The kernel may hold the killed gateway's port a moment longer than the process: the start
  // is tried once the port can be bound again.
  EXPECT_TRUE(WaitUntil([&] { return test::PortBindable(m_config.port); }));
  EXPECT_EQ(Query(service).win32ExitCode,
            static_cast<std::uint32_t>(platform::kErrorProcessAborted));

  StartRunning(service);
  EXPECT_NE(Query(service).processId, pid);
  EXPECT_EQ(test::SendMail(m_config.port, test::MailWithAttachment(2, 100)),
            "250 Mail Received OK\r\n");
  ServiceStatus status;
  ASSERT_EQ(platform::ControlService(service, platform::kServiceControlStop, status), 0);
  ASSERT_TRUE(WaitForState(service, platform::kServiceStopped));
  EXPECT_EQ(Query(service).win32ExitCode, 0u);
  ExpectNoSanitizerReports();
}

TEST_F(ServiceProcessTest, StartThatCannotListenStopsWithItsReason) {
  Install();
  // Another program listens on the gateway's port, on every address as the gateway would.
  platform::Socket other;
  ASSERT_EQ(platform::Socket::Create(0, other), 0);
  platform::SocketAddress address{};
  address.family = platform::kAfInet;
  address.port = platform::HostToNet16(m_config.port);
  address.address = platform::HostToNet32(platform::kInAddrAny);
  ASSERT_EQ(other.Bind(address), 0);
  ASSERT_EQ(other.Listen(5), 0);

  const platform::ScService service = Open();
  ASSERT_EQ(platform::StartService(service), 0);
  ASSERT_TRUE(WaitForState(service, platform::kServiceStopped));
  const ServiceStatus status = Query(service);
  EXPECT_EQ(status.win32ExitCode, static_cast<std::uint32_t>(platform::kErrorServiceSpecificError));
  EXPECT_EQ(status.serviceSpecificExitCode, static_cast<std::uint32_t>(kGatewayNotStarted));
  const std::string log = MainLog();
  EXPECT_NE(log.find("StartGateway: Unable to listen to port " + std::to_string(m_config.port)),
            std::string::npos)
      << log;
  EXPECT_TRUE(Has(Events(), kStartFailedEvent));
  ExpectNoSanitizerReports();
}

}  // namespace
}  // namespace faxmail
