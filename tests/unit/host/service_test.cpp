// CService against a scripted service control manager: the reports it sends, in order, with
// their check points, wait hints, accepted controls and exit codes, and what the stop path
// logs and reports when the receiver and sender do not exist.
#include "gateway/host/service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "gateway/host/start_gateway.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using platform::ServiceStatus;

// A bound on every wait, so that a fault shows as a failure rather than a hung test.
constexpr auto kHangGuard = std::chrono::seconds(60);

constexpr std::uint32_t kStopAndShutdown =
    platform::kServiceAcceptStop | platform::kServiceAcceptShutdown;

// The manager's side as the wrapper sees it: the dispatcher runs the service main on a thread
// of its own, the test delivers controls through the registered handler, every report is
// recorded (also a refused one). The stopped report can be held back, so that controls after a
// stop meet a service main that has not ended yet.
class ScriptedManager {
 public:
  CService::ManagerCalls Calls() {
    CService::ManagerCalls calls;
    calls.dispatcher = [this](const std::vector<platform::ServiceTableEntry>& table) -> long {
      if (dispatcherError != 0) return dispatcherError;
      {
        std::lock_guard lock(m_mutex);
        m_name = table.at(0).name;
      }
      std::thread main(table.at(0).main, std::vector<std::string>{table.at(0).name});
      main.join();
      return platform::kErrorSuccess;
    };
    calls.registerHandler = [this](std::string_view name, platform::HandlerFunction handler,
                                   platform::ServiceStatusHandle&) -> long {
      std::lock_guard lock(m_mutex);
      m_registeredName = std::string(name);
      if (registerError != 0) return registerError;
      m_handler = std::move(handler);
      m_changed.notify_all();
      return platform::kErrorSuccess;
    };
    calls.setStatus = [this](const platform::ServiceStatusHandle&,
                             const ServiceStatus& status) -> long {
      std::unique_lock lock(m_mutex);
      if (status.currentState == platform::kServiceStopped)
        m_changed.wait_for(lock, kHangGuard, [this] { return !m_holdStopped; });
      m_reports.push_back(status);
      m_changed.notify_all();
      return m_reports.size() == refuseReport ? platform::kErrorInvalidHandle
                                              : platform::kErrorSuccess;
    };
    return calls;
  }

  // Waits until n reports were made; all of them.
  std::vector<ServiceStatus> WaitForReports(std::size_t n) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, kHangGuard, [&] { return m_reports.size() >= n; });
    return m_reports;
  }
  std::vector<ServiceStatus> Reports() {
    std::lock_guard lock(m_mutex);
    return m_reports;
  }
  void Control(std::uint32_t control) {
    platform::HandlerFunction handler;
    {
      std::unique_lock lock(m_mutex);
      m_changed.wait_for(lock, kHangGuard, [this] { return static_cast<bool>(m_handler); });
      handler = m_handler;
    }
    ASSERT_TRUE(handler);
    handler(control);
  }
  void HoldStopped(bool hold) {
    std::lock_guard lock(m_mutex);
    m_holdStopped = hold;
    m_changed.notify_all();
  }
  std::string RegisteredName() {
    std::lock_guard lock(m_mutex);
    return m_registeredName;
  }

  long dispatcherError = 0;
  long registerError = 0;
  std::size_t refuseReport = 0;  // the report refused, counted from 1; 0 none

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::string m_name;
  std::string m_registeredName;
  platform::HandlerFunction m_handler;
  std::vector<ServiceStatus> m_reports;
  bool m_holdStopped = false;
};

// A start routine that reads the log settings as StartGateway does, then waits until the test
// lets it finish, and returns result.
class ScriptedStart {
 public:
  explicit ScriptedStart(int result = 0, bool waits = false)
      : m_result(result), m_mayFinish(!waits) {}
  CService::StartRoutine Routine() {
    return [this](CService* service) {
      GetDebugSettings2();
      {
        std::lock_guard lock(m_mutex);
        m_service = service;
        m_started = true;
      }
      m_changed.notify_all();
      std::unique_lock lock(m_mutex);
      m_changed.wait_for(lock, kHangGuard, [this] { return m_mayFinish; });
      return m_result;
    };
  }
  void Finish() {
    {
      std::lock_guard lock(m_mutex);
      m_mayFinish = true;
    }
    m_changed.notify_all();
  }
  bool WaitStarted() {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, kHangGuard, [this] { return m_started; });
  }
  bool Started() {
    std::lock_guard lock(m_mutex);
    return m_started;
  }
  CService* Service() {
    std::lock_guard lock(m_mutex);
    return m_service;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  const int m_result;
  bool m_mayFinish;
  bool m_started = false;
  CService* m_service = nullptr;
};

struct Expected {
  std::uint32_t state;
  std::uint32_t checkPoint;
  std::uint32_t waitHint;
  std::uint32_t accepted;
  std::uint32_t win32 = 0;
  std::uint32_t specific = 0;
};

void ExpectReports(const std::vector<ServiceStatus>& reports, const std::vector<Expected>& want) {
  ASSERT_EQ(reports.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE("report " + std::to_string(i + 1));
    EXPECT_EQ(reports[i].serviceType, platform::kServiceWin32OwnProcess);
    EXPECT_EQ(reports[i].currentState, want[i].state);
    EXPECT_EQ(reports[i].checkPoint, want[i].checkPoint);
    EXPECT_EQ(reports[i].waitHint, want[i].waitHint);
    EXPECT_EQ(reports[i].controlsAccepted, want[i].accepted);
    EXPECT_EQ(reports[i].win32ExitCode, want[i].win32);
    EXPECT_EQ(reports[i].serviceSpecificExitCode, want[i].specific);
  }
}

const Expected kStartPending1{platform::kServiceStartPending, 1, 8000, 0};
const Expected kStartPending3{platform::kServiceStartPending, 3, 10000, 0};
const Expected kRunning{platform::kServiceRunning, 0, 0, kStopAndShutdown};
const Expected kStopPending{platform::kServiceStopPending, 1, 15000, kStopAndShutdown};
const Expected kStopped{platform::kServiceStopped, 0, 0, kStopAndShutdown};

class ServiceTest : public test::RootTest {
 protected:
  void SetUp() override {
    test::RootTest::SetUp();
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    ASSERT_EQ(platform::RegSetString(key, "logfile", Root() + "/main.log"), 0);
  }
  void TearDown() override {
    if (m_dispatcher.joinable()) m_dispatcher.join();
    test::RootTest::TearDown();
  }
  // Runs Initservice on a thread of its own, as the process entry's thread would.
  void Run(CService& service, ScriptedStart& start) {
    m_dispatcher =
        std::thread([&] { m_result = service.Initservice(kServiceName, start.Routine()); });
  }
  int Result() {
    if (m_dispatcher.joinable()) m_dispatcher.join();
    return m_result;
  }
  std::string Log() { return test::ReadWholeFile(Root() + "/main.log"); }
  // The gateway's events read back; under Wine, whose event log keeps no records, the case is
  // skipped there (its other checks have run).
  void ExpectEvents(const std::vector<std::uint32_t>& expected) {
    const std::vector<std::uint32_t> ids = Events();
    if (test::UnderWine() && ids.empty() && !expected.empty())
      GTEST_SKIP() << "Wine's event log takes the reports and keeps no records to read back";
    EXPECT_EQ(ids, expected);
  }
  std::vector<std::uint32_t> Events() {
    std::vector<platform::EventRecord> records;
    platform::ReadEventLog(records);
    std::vector<std::uint32_t> ids;
    for (const auto& r : records) {
      EXPECT_EQ(r.source, kServiceName);
      EXPECT_EQ(r.strings, std::vector<std::string>{kServiceName});
      ids.push_back(r.eventId);
    }
    return ids;
  }

  ScriptedManager m_manager;

 private:
  std::thread m_dispatcher;
  int m_result = -1;
};

class StopControlTest : public ServiceTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(StopControlTest, ReportsTheLifeInOrderAndEndsTheServiceMain) {
  ScriptedStart start;
  CService service(m_manager.Calls());
  Run(service, start);
  ExpectReports(m_manager.WaitForReports(3), {kStartPending1, kStartPending3, kRunning});
  ASSERT_TRUE(start.WaitStarted());
  EXPECT_EQ(start.Service(), &service);
  EXPECT_EQ(CServ, &service);
  EXPECT_EQ(m_manager.RegisteredName(), kServiceName);

  m_manager.Control(GetParam());
  EXPECT_EQ(Result(), 1);
  ExpectReports(m_manager.Reports(),
                {kStartPending1, kStartPending3, kRunning, kStopPending, kStopped});
  ExpectEvents(std::vector<std::uint32_t>{428});
  const std::string log = Log();
  for (const char* line :
       {"SmtpService: Entering ServiceCtrlHandler.",
        "SmtpService: ServiceCtrlHandler received SERVICE_CONTROL_STOP control "
        "code.",
        "SmtpService: ServiceCtrlHandler will stop the service.",
        "OnStopService: Will set the stop event and stop the service.",
        "OnStopService: set the stop event.",
        "SmtpService: ServiceCtrlHandler stopped the service.",
        "SmtpService: Leaving ServiceCtrlHandler.", "Smtpservice: Leaving the Service main.",
        "CService::Exit : Entering .", "Error value in exit function :0",
        "CService::Exit : m_ServiceStatusHandle is not NULL.",
        "CService::Exit : Closing the Thread.", "CService::Exit : Leaving."})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  for (const auto& line : {std::string("(C_servic - "), std::string("SCMStatus : Leaving.")})
    EXPECT_NE(log.find(line), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(StopAndShutdown, StopControlTest,
                         ::testing::Values(platform::kServiceControlStop,
                                           platform::kServiceControlShutdown));

TEST_F(ServiceTest, InterrogateWhileStoppingIsAnsweredWithRunning) {
  ScriptedStart start;
  CService service(m_manager.Calls());
  Run(service, start);
  m_manager.WaitForReports(3);
  ASSERT_TRUE(start.WaitStarted());  // the log is on from here
  // The service main may not report stopped before the test has interrogated.
  m_manager.HoldStopped(true);
  m_manager.Control(platform::kServiceControlStop);
  m_manager.Control(platform::kServiceControlInterrogate);
  m_manager.Control(platform::kServiceControlPause);
  m_manager.HoldStopped(false);
  EXPECT_EQ(Result(), 1);
  ExpectReports(m_manager.Reports(), {kStartPending1, kStartPending3, kRunning, kStopPending,
                                      kRunning, kRunning, kStopped});
  const std::string log = Log();
  EXPECT_NE(log.find("SmtpService: ServiceCtrlHandler ignoring control code (4)."),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("SmtpService: ServiceCtrlHandler ignoring control code (2)."),
            std::string::npos);
}

TEST_F(ServiceTest, StopBeforeTheReceiverExistsStillStops) {
  // The start routine is still building the gateway when the stop comes.
  ScriptedStart start(0, /*waits=*/true);
  CService service(m_manager.Calls());
  Run(service, start);
  m_manager.WaitForReports(3);
  ASSERT_TRUE(start.WaitStarted());
  m_manager.Control(platform::kServiceControlStop);
  EXPECT_EQ(Result(), 1);
  start.Finish();
  ExpectReports(m_manager.Reports(),
                {kStartPending1, kStartPending3, kRunning, kStopPending, kStopped});
  const std::string log = Log();
  EXPECT_NE(log.find("CServ->m_SMTPIN->m_AcceptThread is invalid"), std::string::npos) << log;
  EXPECT_NE(log.find("CServ->m_SMTPOUT->m_MainThreadID is invalid"), std::string::npos) << log;
  EXPECT_NE(log.find("OnStopService: set the stop event."), std::string::npos) << log;
}

TEST_F(ServiceTest, GatewayNotStartedStopsWithItsReason) {
  ScriptedStart start(kGatewayNotStarted);
  CService service(m_manager.Calls());
  Run(service, start);
  EXPECT_EQ(Result(), 1);
  const auto gatewayNotStarted = static_cast<std::uint32_t>(kGatewayNotStarted);
  ExpectReports(m_manager.Reports(),
                {kStartPending1,
                 kStartPending3,
                 kRunning,
                 {platform::kServiceStopped, 0, 0, kStopAndShutdown, 1066, gatewayNotStarted}});
  EXPECT_EQ(service.StartFailure(), gatewayNotStarted);
  ExpectEvents(std::vector<std::uint32_t>{428});
  EXPECT_NE(Log().find("Smtpservice: Leaving the Service main."), std::string::npos);
}

TEST_F(ServiceTest, HandlerNotRegisteredReportsEvent423AndNothingElse) {
  m_manager.registerError = platform::kErrorServiceDoesNotExist;
  ScriptedStart start;
  CService service(m_manager.Calls());
  Run(service, start);
  EXPECT_EQ(Result(), 1);
  EXPECT_TRUE(m_manager.Reports().empty());
  EXPECT_FALSE(start.Started());
  ExpectEvents(std::vector<std::uint32_t>{423});
}

TEST_F(ServiceTest, RefusedFirstReportTakesTheStopPath) {
  m_manager.refuseReport = 1;
  ScriptedStart start;
  CService service(m_manager.Calls());
  Run(service, start);
  EXPECT_EQ(Result(), 1);
  EXPECT_FALSE(start.Started());
  // The refused report, then the stopped one from Exit.
  ExpectReports(m_manager.Reports(), {kStartPending1, kStopped});
  ExpectEvents(std::vector<std::uint32_t>{428});
}

TEST_F(ServiceTest, RefusedRunningReportEndsTheStart) {
  m_manager.refuseReport = 3;
  ScriptedStart start;
  CService service(m_manager.Calls());
  Run(service, start);
  EXPECT_EQ(Result(), 1);
  ExpectReports(m_manager.Reports(), {kStartPending1, kStartPending3, kRunning, kStopped});
  ExpectEvents(std::vector<std::uint32_t>{428});
}

TEST_F(ServiceTest, OutsideTheManagerInitserviceReturnsZero) {
  m_manager.dispatcherError = platform::kErrorFailedServiceControllerConnect;
  ScriptedStart start;
  CService service(m_manager.Calls());
  Run(service, start);
  EXPECT_EQ(Result(), 0);
  EXPECT_EQ(service.DispatcherError(), platform::kErrorFailedServiceControllerConnect);
  EXPECT_FALSE(start.Started());
  EXPECT_TRUE(m_manager.Reports().empty());
}

// The platform's own dispatcher, in a process the manager did not start.
TEST_F(ServiceTest, PlatformDispatcherRefusesAProcessNotStartedByTheManager) {
  ScriptedStart start;
  CService service;
  Run(service, start);
  EXPECT_EQ(Result(), 0);
  EXPECT_EQ(service.DispatcherError(), platform::kErrorFailedServiceControllerConnect);
}

TEST_F(ServiceTest, StatusRecordFollowsStateAndCodes) {
  CService service(m_manager.Calls());
  struct Case {
    std::uint32_t state, win32, specific;
    Expected want;
  } cases[] = {
      {platform::kServiceStartPending, 0, 0, {platform::kServiceStartPending, 7, 9, 0}},
      {platform::kServiceRunning, 0, 0, {platform::kServiceRunning, 7, 9, kStopAndShutdown}},
      {platform::kServiceStopPending,
       0,
       0,
       {platform::kServiceStopPending, 7, 9, kStopAndShutdown}},
      {platform::kServiceStopped, 5, 0, {platform::kServiceStopped, 7, 9, kStopAndShutdown, 5}},
      {platform::kServiceStopped,
       0,
       42,
       {platform::kServiceStopped, 7, 9, kStopAndShutdown, 1066, 42}},
      {platform::kServiceStopped,
       5,
       42,
       {platform::kServiceStopped, 7, 9, kStopAndShutdown, 1066, 42}},
  };
  std::vector<Expected> want;
  for (const auto& c : cases) {
    EXPECT_EQ(service.SCMStatus(c.state, c.win32, c.specific, 7, 9), 1);
    want.push_back(c.want);
  }
  ExpectReports(m_manager.Reports(), want);
}

TEST_F(ServiceTest, RefusedReportReturnsZeroWithTheError) {
  m_manager.refuseReport = 1;
  CService service(m_manager.Calls());
  EXPECT_EQ(service.SCMStatus(platform::kServiceRunning, 0, 0, 0, 0), 0);
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidHandle);
  ExpectEvents(std::vector<std::uint32_t>{428});
}

TEST_F(ServiceTest, NewObjectHoldsNothing) {
  const CService service;
  EXPECT_TRUE(service.m_serviceName.empty());
  EXPECT_EQ(service.m_stopEvent, nullptr);
  EXPECT_FALSE(service.m_ServiceStatusHandle.IsValid());
  EXPECT_FALSE(service.m_startThread.IsHeld());
  EXPECT_FALSE(service.m_startRoutine);
  EXPECT_EQ(service.m_startWaitHint, 10000u);
  EXPECT_EQ(service.m_stopWaitHint, 15000u);
  EXPECT_EQ(service.m_SMTPIN.load(), nullptr);
  EXPECT_EQ(service.m_SMTPOUT.load(), nullptr);
}

}  // namespace
}  // namespace faxmail
