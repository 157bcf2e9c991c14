// The service control manager through its API: records, starts, controls, deletion, the
// dispatcher's hand-shake and damaged runtime files, with the test service program as the
// service processes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {
namespace {

class ServiceControl : public test::RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    ASSERT_EQ(OpenSCManager(m_manager), 0);
  }
  void TearDown() override {
    // Stop whatever a test left running, dependents first.
    std::vector<ServiceEntry> all;
    EnumServicesStatus(m_manager, ServiceStateFilter::Active, all);
    for (int round = 0; round < 4 && !all.empty(); ++round) {
      // A service with running dependents refuses (1051); it goes in a later round.
      std::vector<std::string> stopping;
      for (const auto& entry : all) {
        ScService service;
        ServiceStatus status;
        if (OpenService(m_manager, entry.name, service) == 0 &&
            ControlService(service, kServiceControlStop, status) == 0)
          stopping.push_back(entry.name);
      }
      for (const auto& name : stopping) WaitForState(name, kServiceStopped, false);
      all.clear();
      EnumServicesStatus(m_manager, ServiceStateFilter::Active, all);
    }
    RootTest::TearDown();
  }

  std::string Program(const std::string& behaviour) const {
    return test::BuiltProgram("tests/faxmail_test_service") + " " + behaviour;
  }
  ScService Create(const std::string& name, const std::string& behaviour = "normal",
                   std::vector<std::string> dependencies = {}) {
    ServiceConfig config;
    config.name = name;
    config.imagePath = Program(behaviour);
    config.dependencies = std::move(dependencies);
    ScService service;
    EXPECT_EQ(CreateService(m_manager, config, service), 0) << name;
    return service;
  }
  ServiceStatus Query(const ScService& service) {
    ServiceStatus status;
    EXPECT_EQ(QueryServiceStatus(service, status), 0);
    return status;
  }
  // A bound on the number of polls, not a timed assertion.
  ServiceStatus WaitForState(const std::string& name, std::uint32_t state, bool must = true) {
    constexpr int kPolls = 600;  // at 50 ms, beyond any start or stop of the test service
    ScService service;
    ServiceStatus status;
    if (OpenService(m_manager, name, service) != 0) return status;
    for (int i = 0; i < kPolls; ++i) {
      QueryServiceStatus(service, status);
      if (status.currentState == state) return status;
      SleepMs(50);
    }
    if (must) ADD_FAILURE() << name << " never reached " << state;
    return status;
  }

  ScManager m_manager;
};

TEST_F(ServiceControl, CreateOpenAndNames) {
  Create("alpha");
  ScService again;
  ServiceConfig config;
  config.name = "ALPHA";
  config.imagePath = Program("normal");
  EXPECT_EQ(CreateService(m_manager, config, again), kErrorServiceExists);
  EXPECT_EQ(OpenService(m_manager, "Alpha", again), 0);
  EXPECT_EQ(OpenService(m_manager, "missing", again), kErrorServiceDoesNotExist);
  for (const std::string name : {"", "a\\b", "a/b"}) {
    config.name = name;
    EXPECT_EQ(CreateService(m_manager, config, again), kErrorInvalidServiceName) << name;
  }
}

TEST_F(ServiceControl, StartQueryControlStop) {
  const ScService service = Create("svc");
  ServiceStatus status;
  EXPECT_EQ(ControlService(service, kServiceControlStop, status), kErrorServiceNotActive);
  ASSERT_EQ(StartService(service), 0);
  const ServiceStatus running = WaitForState("svc", kServiceRunning);
  EXPECT_GT(running.processId, 0);
  EXPECT_EQ(running.serviceType, kServiceWin32OwnProcess);
  EXPECT_EQ(running.controlsAccepted, kServiceAcceptStop | kServiceAcceptShutdown);
  EXPECT_EQ(StartService(service), kErrorServiceAlreadyRunning);
  EXPECT_EQ(ControlService(service, kServiceControlPause, status), kErrorInvalidServiceControl);
  EXPECT_EQ(ControlService(service, 77, status), kErrorInvalidServiceControl);
  ASSERT_EQ(ControlService(service, kServiceControlInterrogate, status), 0);
  EXPECT_EQ(status.currentState, kServiceRunning);
  EXPECT_EQ(status.processId, running.processId);
  ASSERT_EQ(ControlService(service, kServiceControlStop, status), 0);
  const ServiceStatus stopped = WaitForState("svc", kServiceStopped);
  EXPECT_EQ(stopped.win32ExitCode, 0u);
  EXPECT_EQ(stopped.processId, 0);
  EXPECT_EQ(ControlService(service, kServiceControlStop, status), kErrorServiceNotActive);
  // The journal holds the run's reports in order, ending with stopped.
  std::vector<ServiceStatus> reports;
  ASSERT_EQ(QueryServiceStatusReports(service, reports), 0);
  ASSERT_GE(reports.size(), 4u);
  EXPECT_EQ(reports.front().currentState, kServiceStartPending);
  EXPECT_EQ(reports.back().currentState, kServiceStopped);
}

TEST_F(ServiceControl, DeleteStoppedAndMarked) {
  ScService stopped = Create("gone");
  EXPECT_EQ(DeleteService(stopped), 0);
  ScService open;
  EXPECT_EQ(OpenService(m_manager, "gone", open), kErrorServiceDoesNotExist);

  const ScService service = Create("marked");
  ASSERT_EQ(StartService(service), 0);
  WaitForState("marked", kServiceRunning);
  EXPECT_EQ(DeleteService(service), 0);
  EXPECT_EQ(DeleteService(service), kErrorServiceMarkedForDelete);
  ServiceStatus status;
  ASSERT_EQ(ControlService(service, kServiceControlStop, status), 0);
  for (int i = 0; i < 600 && OpenService(m_manager, "marked", open) == 0; ++i) SleepMs(50);
  EXPECT_EQ(OpenService(m_manager, "marked", open), kErrorServiceDoesNotExist);
}

// The mark may come while the process is ending, after its dispatcher has looked for it: the
// next look at the stopped service removes the record.
TEST_F(ServiceControl, MarkAfterTheProcessLookedIsHonouredOnceItIsGone) {
  const ScService service = Create("late");
  ASSERT_EQ(StartService(service), 0);
  WaitForState("late", kServiceRunning);
  ServiceStatus status;
  ASSERT_EQ(ControlService(service, kServiceControlStop, status), 0);
  ASSERT_EQ(WaitForState("late", kServiceStopped).processId, 0);
  ScService open;
  ASSERT_EQ(OpenService(m_manager, "late", open), 0);  // stopped and unmarked: it stays
  RegKey key;
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, ServiceKeyPath("late"), key), 0);
  ASSERT_EQ(RegSetDword(key, "DeleteFlag", 1), 0);
  RegCloseKey(key);
  // Stopped is reported before the process has quite ended; once it has, a look removes it
  // (or the ending process does, when the mark came before its own look).
  for (int i = 0; i < 600 && OpenService(m_manager, "late", open) == 0; ++i) {
    QueryServiceStatus(service, status);
    SleepMs(50);
  }
  EXPECT_EQ(OpenService(m_manager, "late", open), kErrorServiceDoesNotExist);
}

TEST_F(ServiceControl, DisabledAndUnknownAccount) {
  const ScService disabled = Create("off");
  ASSERT_EQ(ChangeServiceStartType(disabled, kServiceDisabled), 0);
  EXPECT_EQ(StartService(disabled), kErrorServiceDisabled);
  ServiceConfig config;
  config.name = "nobodyhere";
  config.imagePath = Program("normal");
  config.account = "no-such-account-here";
  ScService service;
  ASSERT_EQ(CreateService(m_manager, config, service), 0);
  EXPECT_EQ(StartService(service), kErrorServiceLogonFailed);
}

TEST_F(ServiceControl, KilledProcessReadsAbortedAndStartsAgain) {
  const ScService service = Create("dies");
  ASSERT_EQ(StartService(service), 0);
  WaitForState("dies", kServiceRunning);
  ServiceStatus status;
  ControlService(service, 200, status);
  const ServiceStatus stopped = WaitForState("dies", kServiceStopped);
  EXPECT_EQ(stopped.win32ExitCode, static_cast<std::uint32_t>(kErrorProcessAborted));
  ASSERT_EQ(StartService(service), 0);
  WaitForState("dies", kServiceRunning);
}

TEST_F(ServiceControl, DependenciesAndOrder) {
  Create("base");
  Create("middle", "normal", {"base"});
  const ScService top = Create("top", "normal", {"middle"});
  ASSERT_EQ(StartService(top), 0);
  WaitForState("base", kServiceRunning);
  WaitForState("middle", kServiceRunning);
  ScService base;
  ASSERT_EQ(OpenService(m_manager, "base", base), 0);
  std::vector<ServiceEntry> dependents;
  ASSERT_EQ(EnumDependentServices(base, ServiceStateFilter::All, dependents), 0);
  ASSERT_EQ(dependents.size(), 2u);
  EXPECT_EQ(dependents[0].name, "top");
  EXPECT_EQ(dependents[1].name, "middle");
  ServiceStatus status;
  EXPECT_EQ(ControlService(base, kServiceControlStop, status), kErrorDependentServicesRunning);
}

TEST_F(ServiceControl, CycleAndMissingDependency) {
  Create("one", "normal", {"two"});
  const ScService two = Create("two", "normal", {"one"});
  EXPECT_EQ(StartService(two), kErrorCircularDependency);
  const ScService lonely = Create("lonely", "normal", {"nowhere"});
  EXPECT_EQ(StartService(lonely), kErrorServiceDependencyDeleted);
}

TEST_F(ServiceControl, DispatcherRunByHandFails) {
  std::string output;
  EXPECT_EQ(test::RunProgram({test::BuiltProgram("tests/faxmail_test_service"), "normal"}, &output),
            2);
  EXPECT_EQ(output, "dispatcher: 1063\n");
}

TEST_F(ServiceControl, DamagedStatusReadsStopped) {
  const ScService service = Create("damaged");
  ASSERT_EQ(StartService(service), 0);
  WaitForState("damaged", kServiceRunning);
  ServiceStatus status;
  ASSERT_EQ(ControlService(service, kServiceControlStop, status), 0);
  WaitForState("damaged", kServiceStopped);
  for (const auto& entry : std::filesystem::directory_iterator(ServiceRuntimeFolder())) {
    test::WriteWholeFile(entry.path().string() + "/status", "garbage\n\x01\x02");
    EXPECT_EQ(Query(service).currentState, kServiceStopped);
    test::WriteWholeFile(entry.path().string() + "/status", std::string(1 << 20, '7'));
    EXPECT_EQ(Query(service).currentState, kServiceStopped);
  }
}

// Processes that never become services: a start must fail within its bound, leave no process
// behind and leave the service startable.
class NoConnectionTest : public ServiceControl {
 protected:
  void SetUp() override {
    ServiceControl::SetUp();
    RegKey control;
    ASSERT_EQ(RegCreateKey(Hive::LocalMachine, "SYSTEM\\CurrentControlSet\\Control", control), 0);
    ASSERT_EQ(RegSetDword(control, "ServicesPipeTimeout", kPipeTimeoutMs), 0);
  }
  static constexpr std::uint32_t kPipeTimeoutMs = 1500;
};

TEST_F(NoConnectionTest, ProgramThatNeverCallsTheDispatcherTimesOutAndIsEnded) {
  const std::string log = Root() + "/nodispatch.log";
  const ScService service = Create("quiet", "nodispatch --log " + log);
  EXPECT_EQ(StartService(service), kErrorServiceRequestTimeout);
  // The program wrote its pid before it went quiet; the start has ended it.
  const std::string text = test::ReadWholeFile(log);
  ASSERT_EQ(text.rfind("pid ", 0), 0u) << text;
  const long pid = std::stol(text.substr(4));
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    gone = !std::filesystem::exists("/proc/" + std::to_string(pid)) ||
           test::ReadWholeFile("/proc/" + std::to_string(pid) + "/stat").find(") Z ") !=
               std::string::npos;
    if (!gone) SleepMs(50);
  }
  EXPECT_TRUE(gone) << "process " << pid << " outlived its failed start";
  EXPECT_EQ(Query(service).currentState, kServiceStopped);
}

TEST_F(NoConnectionTest, ProgramThatEndsAtOnceFailsTheStart) {
  const ScService service = Create("brief", "exit");
  const long error = StartService(service);
  EXPECT_NE(error, 0);
  EXPECT_NE(error, kErrorServiceAlreadyRunning);
  EXPECT_EQ(Query(service).currentState, kServiceStopped);
}

TEST_F(NoConnectionTest, MissingProgramFailsTheStart) {
  ServiceConfig config;
  config.name = "nothing";
  config.imagePath = Root() + "/no-such-program";
  ScService service;
  ASSERT_EQ(CreateService(m_manager, config, service), 0);
  EXPECT_EQ(StartService(service), kErrorFileNotFound);
  EXPECT_EQ(Query(service).currentState, kServiceStopped);
}

TEST_F(ServiceControl, ControlsWhileStartPendingAreRefusedButInterrogateIsDelivered) {
  const std::string release = Root() + "/release";
  const ScService service = Create("slow", "pending --release " + release);
  ASSERT_EQ(StartService(service), 0);
  // Until the service main has registered its handler, a control cannot be taken at all.
  std::vector<ServiceStatus> reports;
  for (int i = 0; i < 600 && reports.empty(); ++i) {
    QueryServiceStatusReports(service, reports);
    if (reports.empty()) SleepMs(50);
  }
  ASSERT_FALSE(reports.empty());
  ServiceStatus status;
  EXPECT_EQ(ControlService(service, kServiceControlStop, status), kErrorServiceCannotAcceptCtrl);
  EXPECT_EQ(status.currentState, kServiceStartPending);
  EXPECT_EQ(ControlService(service, kServiceControlInterrogate, status), 0);
  EXPECT_EQ(status.currentState, kServiceStartPending);
  test::WriteWholeFile(release, "");
  WaitForState("slow", kServiceRunning);
  EXPECT_EQ(ControlService(service, kServiceControlStop, status), 0);
  WaitForState("slow", kServiceStopped);
}

TEST_F(ServiceControl, MarkedServiceDoesNotStartAgain) {
  const ScService service = Create("marked");
  ASSERT_EQ(StartService(service), 0);
  WaitForState("marked", kServiceRunning);
  ASSERT_EQ(DeleteService(service), 0);
  ServiceStatus status;
  ASSERT_EQ(ControlService(service, kServiceControlStop, status), 0);
  WaitForState("marked", kServiceStopped, false);
  ScService gone;
  for (int i = 0; i < 100 && OpenService(m_manager, "marked", gone) == 0; ++i) SleepMs(50);
  EXPECT_EQ(StartService(service), kErrorServiceDoesNotExist);
}

TEST_F(ServiceControl, KilledServiceLeavesNoChannelBehind) {
  const ScService service = Create("doomed");
  ASSERT_EQ(StartService(service), 0);
  WaitForState("doomed", kServiceRunning);
  ServiceStatus status;
  ControlService(service, 200, status);  // the test service kills itself
  const ServiceStatus stopped = WaitForState("doomed", kServiceStopped);
  EXPECT_EQ(stopped.win32ExitCode, static_cast<std::uint32_t>(kErrorProcessAborted));
  EXPECT_EQ(stopped.processId, 0);
  std::size_t channels = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(ServiceRuntimeFolder()))
    if (entry.path().filename() == "ctl") ++channels;
  EXPECT_EQ(channels, 0u);
}

TEST_F(ServiceControl, ServiceGetsItsRecordsEnvironmentAndNotTheStarters) {
  const std::string report = Root() + "/env.txt";
  const ScService service = Create("env", "normal --env " + report);
  {
    RegKey key;
    ASSERT_EQ(RegOpenKey(Hive::LocalMachine, ServiceKeyPath("env"), key), 0);
    const std::string list = std::string("FAXMAIL_SERVICE_TEST=42") + '\0' + '\0';
    ASSERT_EQ(RegSetValue(key, "Environment", kRegMultiSz, list.data(),
                          static_cast<std::uint32_t>(list.size())),
              0);
  }
  ASSERT_EQ(setenv("FAXMAIL_STARTER_ONLY", "1", 1), 0);
  test::WriteWholeFile(Root() + "/starter-only.txt", "");
  std::FILE* held = std::fopen((Root() + "/starter-only.txt").c_str(), "r");  // no O_CLOEXEC
  ASSERT_NE(held, nullptr);
  ASSERT_EQ(StartService(service, {"one", "two"}), 0);
  unsetenv("FAXMAIL_STARTER_ONLY");
  std::fclose(held);
  WaitForState("env", kServiceRunning);
  const std::string env = test::ReadWholeFile(report);
  EXPECT_NE(env.find("env FAXMAIL_SERVICE_TEST=42\n"), std::string::npos) << env;
  EXPECT_NE(env.find("env FAXMAIL_ROOT=" + Root() + "\n"), std::string::npos) << env;
  EXPECT_EQ(env.find("FAXMAIL_STARTER_ONLY"), std::string::npos) << env;
  EXPECT_NE(env.find("arg env\n"), std::string::npos) << env;
  EXPECT_LT(env.find("arg one\n"), env.find("arg two\n")) << env;
  // A descriptor the starter holds open without close-on-exec does not reach the service.
  EXPECT_EQ(env.find("starter-only.txt"), std::string::npos) << env;
}

}  // namespace
}  // namespace faxmail::platform
