// The applet's service operations against real service processes (the test service program)
// under a private manager: what each start and stop returns, which boxes it shows, and in
// which order dependents go down and come up.
#include <signal.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "applet/messages.h"
#include "applet/service_ops.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::applet {
namespace {

namespace pf = faxmail::platform;

// A wait for a state that ends the wait for one test (the real waits are 100 s long).
constexpr ServiceWait kShortWait{2, 1};
// A bound on the tests' own waits for another process, so that a fault fails instead of hanging.
constexpr std::chrono::seconds kHangGuard{30};

// Answers every box in the administrator's place (OK, or Yes) and keeps what it was shown.
class RecordingPrompter : public Prompter {
 public:
  MessageAnswer Show(const MessageRequest& request) override {
    requests.push_back(request);
    return request.buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
  }
  std::vector<MessageRequest> requests;
};

// What a test expects a box to be.
struct Box {
  std::string caption;
  std::string text;
  MessageIcon icon = MessageIcon::None;
  bool owned = false;
};

Box TableBox(int id, MessageIcon icon) {
  return {"Corvane SMTP Server", std::string(MessageText(id)), icon, true};
}

Box ErrorBox(const std::string& action, const std::string& service, const std::string& system) {
  return {"Service control", "ERROR " + action + " service " + service + ":\n\n" + system,
          MessageIcon::Error, false};
}

void ExpectBoxes(const std::vector<MessageRequest>& shown, const std::vector<Box>& expected) {
  ASSERT_EQ(shown.size(), expected.size());
  for (std::size_t i = 0; i < shown.size(); ++i) {
    SCOPED_TRACE("box " + std::to_string(i));
    EXPECT_EQ(shown[i].caption, expected[i].caption);
    EXPECT_EQ(shown[i].text, expected[i].text);
    EXPECT_EQ(shown[i].icon, expected[i].icon);
    EXPECT_EQ(shown[i].owned, expected[i].owned);
    EXPECT_EQ(shown[i].buttons, MessageButtons::Ok);
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class AppletService : public test::RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    ASSERT_EQ(pf::OpenSCManager(m_manager), 0);
    m_log = Root() + "/order.log";
  }
  void TearDown() override {
    // Services that hang in a pending state take no controls: their processes are killed.
    std::vector<pf::ServiceEntry> active;
    pf::EnumServicesStatus(m_manager, pf::ServiceStateFilter::Active, active);
    for (const pf::ServiceEntry& entry : active)
      if (entry.status.processId > 0) ::kill(static_cast<pid_t>(entry.status.processId), SIGKILL);
    EXPECT_TRUE(test::WaitUntil(
        [&] {
          std::vector<pf::ServiceEntry> left;
          return pf::EnumServicesStatus(m_manager, pf::ServiceStateFilter::Active, left) == 0 &&
                 left.empty();
        },
        kHangGuard));
    RootTest::TearDown();
  }

  // A service run by the test service program in a behaviour ("normal", "pending",
  // "normal --nostop" ...), logging its starts and stops to the test's order log.
  void Create(const std::string& name, const std::string& behaviour = "normal",
              std::vector<std::string> dependencies = {},
              const std::string& account = pf::kLocalSystemAccount) {
    pf::ServiceConfig config;
    config.name = name;
    config.imagePath =
        test::BuiltProgram("tests/faxmail_test_service") + " " + behaviour + " --log " + m_log;
    config.dependencies = std::move(dependencies);
    config.account = account;
    pf::ScService service;
    ASSERT_EQ(pf::CreateService(m_manager, config, service), 0) << name;
  }
  pf::ScService Open(const std::string& name) {
    pf::ScService service;
    EXPECT_EQ(pf::OpenService(m_manager, name, service), 0) << name;
    return service;
  }
  std::uint32_t State(const std::string& name) {
    pf::ServiceStatus status;
    EXPECT_EQ(pf::QueryServiceStatus(Open(name), status), 0) << name;
    return status.currentState;
  }
  bool Reaches(const std::string& name, std::uint32_t state) {
    return test::WaitUntil([&] { return State(name) == state; }, kHangGuard);
  }
  // Starts a service (its dependencies with it) and waits until it runs.
  void Run(const std::string& name) {
    ASSERT_EQ(pf::StartService(Open(name)), 0) << name;
    ASSERT_TRUE(Reaches(name, pf::kServiceRunning)) << name;
  }
  std::vector<std::string> Order() const { return Lines(test::ReadWholeFile(m_log)); }
  void ForgetOrder() const { std::filesystem::remove(m_log); }

  pf::ScManager m_manager;
  std::string m_log;
  RecordingPrompter m_prompter;
};

const std::string kGateway = kGatewayServiceName;

std::string SystemText(long error) { return std::string(pf::SystemMessageText(error)); }

// One start or stop of the gateway service, set up in one way.
struct ControlCase {
  const char* name;
  std::string behaviour;
  bool disabled = false;
  std::string account = pf::kLocalSystemAccount;
  bool runningBefore = false;
  bool start = true;
  int result = 0;
  std::vector<Box> boxes = {};
  std::uint32_t stateAfter = pf::kServiceStopped;
};

void PrintTo(const ControlCase& c, std::ostream* out) { *out << c.name; }

class AppletServiceControl : public AppletService,
                             public ::testing::WithParamInterface<ControlCase> {};

TEST_P(AppletServiceControl, ResultAndBoxes) {
  const ControlCase& c = GetParam();
  Create(kGateway, c.behaviour, {}, c.account);
  if (c.disabled) {
    ASSERT_EQ(pf::ChangeServiceStartType(Open(kGateway), pf::kServiceDisabled), 0);
  }
  if (c.runningBefore) Run(kGateway);
  EXPECT_EQ(ServiceControl(m_prompter, kGateway, c.start, kShortWait), c.result);
  ExpectBoxes(m_prompter.requests, c.boxes);
  EXPECT_EQ(State(kGateway), c.stateAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppletServiceControl,
    ::testing::Values(ControlCase{.name = "StopOfStoppedShowsNothing",
                                  .behaviour = "normal",
                                  .start = false,
                                  .result = kServiceControlSuccess},
                      ControlCase{.name = "StartOfStoppedRuns",
                                  .behaviour = "normal",
                                  .result = kServiceControlSuccess,
                                  .stateAfter = pf::kServiceRunning},
                      ControlCase{.name = "StopOfRunningStops",
                                  .behaviour = "normal",
                                  .runningBefore = true,
                                  .start = false,
                                  .result = kServiceControlSuccess},
                      ControlCase{.name = "DisabledShowsCouldNotStartThenTheSystemText",
                                  .behaviour = "normal",
                                  .disabled = true,
                                  .result = kServiceControlFailed,
                                  .boxes = {TableBox(kMsgCouldNotStart, MessageIcon::Error),
                                            ErrorBox("starting", kGateway,
                                                     SystemText(pf::kErrorServiceDisabled))}},
                      ControlCase{.name = "LogonFailureWithoutErrorBox",
                                  .behaviour = "normal",
                                  .account = "no-such-account-faxmail-test",
                                  .result = kServiceControlLogonFailed,
                                  .boxes = {TableBox(kMsgCouldNotStart, MessageIcon::Error)}},
                      ControlCase{.name = "StartThatStaysPendingTimesOut",
                                  .behaviour = "pending",
                                  .result = kServiceControlTimedOut,
                                  .boxes = {TableBox(kMsgCouldNotStart, MessageIcon::Error)},
                                  .stateAfter = pf::kServiceStartPending},
                      ControlCase{.name = "StopRefusedShowsTheSystemText",
                                  .behaviour = "normal --nostop",
                                  .runningBefore = true,
                                  .start = false,
                                  .result = kServiceControlFailed,
                                  .boxes = {ErrorBox("stopping", kGateway,
                                                     SystemText(pf::kErrorInvalidServiceControl))},
                                  .stateAfter = pf::kServiceRunning},
                      ControlCase{.name = "StopThatHangsTimesOutSilently",
                                  .behaviour = "normal --hangstop",
                                  .runningBefore = true,
                                  .start = false,
                                  .result = kServiceControlTimedOut,
                                  .stateAfter = pf::kServiceStopPending}),
    [](const ::testing::TestParamInfo<ControlCase>& param) { return param.param.name; });

TEST_F(AppletService, StartOfRunningStartsNoDependents) {
  Create(kGateway);
  Create("Spooler", "normal", {kGateway});
  Run(kGateway);
  ForgetOrder();
  EXPECT_EQ(ServiceControl(m_prompter, kGateway, true, kShortWait), kServiceControlSuccess);
  EXPECT_TRUE(m_prompter.requests.empty());
  EXPECT_EQ(State("Spooler"), pf::kServiceStopped);
  EXPECT_TRUE(Order().empty());
}

TEST_F(AppletService, StopTakesDownDependentsFirst) {
  Create(kGateway);
  Create("Spooler", "normal", {kGateway});
  Create("Printer", "normal", {"Spooler"});
  Create("Archive", "normal", {kGateway});
  Run("Printer");
  Run("Archive");
  ForgetOrder();
  EXPECT_EQ(ServiceControl(m_prompter, kGateway, false, kShortWait), kServiceControlSuccess);
  EXPECT_TRUE(m_prompter.requests.empty());
  for (const std::string name : {"Printer", "Spooler", "Archive"})
    EXPECT_EQ(State(name), pf::kServiceStopped) << name;
  EXPECT_EQ(State(kGateway), pf::kServiceStopped);
  const std::vector<std::string> order = Order();
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order.back(), "stop " + kGateway);
  const auto at = [&](const std::string& line) {
    return std::find(order.begin(), order.end(), line) - order.begin();
  };
  EXPECT_LT(at("stop Printer"), at("stop Spooler"));
  EXPECT_LT(at("stop Archive"), 3);
}

TEST_F(AppletService, StartBringsUpInactiveDependentsAfter) {
  Create(kGateway);
  Create("Spooler", "normal", {kGateway});
  Create("Printer", "normal", {"Spooler"});
  Create("Archive", "normal", {kGateway});
  Create("Unrelated");
  EXPECT_EQ(ServiceControl(m_prompter, kGateway, true, kShortWait), kServiceControlSuccess);
  EXPECT_TRUE(m_prompter.requests.empty());
  for (const std::string name : {"Printer", "Spooler", "Archive"})
    EXPECT_EQ(State(name), pf::kServiceRunning) << name;
  EXPECT_EQ(State("Unrelated"), pf::kServiceStopped);
  const std::vector<std::string> order = Order();
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order.front(), "start " + kGateway);
  const auto at = [&](const std::string& line) {
    return std::find(order.begin(), order.end(), line) - order.begin();
  };
  EXPECT_LT(at("start Spooler"), at("start Printer"));
  EXPECT_LT(at("start Archive"), 4);
}

TEST_F(AppletService, DependentThatCannotStartLeavesTheStartGood) {
  Create(kGateway);
  Create("Spooler", "normal", {kGateway});
  ASSERT_EQ(pf::ChangeServiceStartType(Open("Spooler"), pf::kServiceDisabled), 0);
  EXPECT_EQ(ServiceControl(m_prompter, kGateway, true, kShortWait), kServiceControlSuccess);
  ExpectBoxes(m_prompter.requests,
              {TableBox(kMsgCouldNotStart, MessageIcon::Error),
               ErrorBox("starting", "Spooler", SystemText(pf::kErrorServiceDisabled))});
  EXPECT_EQ(State(kGateway), pf::kServiceRunning);
}

TEST_F(AppletService, DependentThatCannotStopStillLetsTheServiceBeTried) {
  Create(kGateway);
  Create("Spooler", "normal --nostop", {kGateway});
  Run("Spooler");
  EXPECT_EQ(ServiceControl(m_prompter, kGateway, false, kShortWait), kServiceControlFailed);
  // The manager refuses the gateway's stop while its dependent runs, and says so.
  ExpectBoxes(m_prompter.requests,
              {ErrorBox("stopping", "Spooler", SystemText(pf::kErrorInvalidServiceControl)),
               ErrorBox("stopping", kGateway, SystemText(pf::kErrorDependentServicesRunning))});
  EXPECT_EQ(State(kGateway), pf::kServiceRunning);
}

TEST_F(AppletService, RunningServicesThatDependOnEachOtherEndTheRecursion) {
  Create(kGateway);
  Create("Spooler", "normal", {kGateway});
  Run("Spooler");
  // The gateway's record edited by hand while both run: now each depends on the other.
  pf::RegKey key;
  ASSERT_EQ(pf::RegOpenKey(pf::Hive::LocalMachine, pf::ServiceKeyPath(kGateway), key), 0);
  const std::string loop = std::string("Spooler") + '\0' + '\0';
  ASSERT_EQ(pf::RegSetValue(key, "DependOnService", pf::kRegMultiSz, loop.data(),
                            static_cast<std::uint32_t>(loop.size())),
            0);
  EXPECT_EQ(ServiceControl(m_prompter, kGateway, false, kShortWait), kServiceControlFailed);
  const std::string refused = SystemText(pf::kErrorDependentServicesRunning);
  ExpectBoxes(m_prompter.requests,
              {ErrorBox("stopping", "Spooler", refused), ErrorBox("stopping", kGateway, refused)});
  EXPECT_EQ(State(kGateway), pf::kServiceRunning);
  EXPECT_EQ(State("Spooler"), pf::kServiceRunning);
}

TEST_F(AppletService, NoSuchServiceFailsWithoutBoxes) {
  EXPECT_EQ(ServiceControl(m_prompter, "Nowhere", true, kShortWait), kServiceControlFailed);
  EXPECT_EQ(ServiceControl(m_prompter, "Nowhere", false, kShortWait), kServiceControlFailed);
  EXPECT_TRUE(m_prompter.requests.empty());
  EXPECT_EQ(pf::LastError(), pf::kErrorServiceDoesNotExist);
}

TEST_F(AppletService, QueryServiceStateOfTheGateway) {
  EXPECT_EQ(QueryServiceState(m_prompter), 0u);
  ExpectBoxes(m_prompter.requests, {TableBox(kMsgServiceNotInstalled, MessageIcon::None)});
  m_prompter.requests.clear();
  Create(kGateway);
  EXPECT_EQ(QueryServiceState(m_prompter), pf::kServiceStopped);
  Run(kGateway);
  EXPECT_EQ(QueryServiceState(m_prompter), pf::kServiceRunning);
  EXPECT_TRUE(m_prompter.requests.empty());
}

TEST_F(AppletService, ManagerThatCannotBeOpened) {
  // A file where the manager keeps its runtime folder stops it opening, for root too.
  const std::string folder = pf::ServiceRuntimeFolder();
  std::filesystem::remove_all(folder);
  test::WriteWholeFile(folder.substr(0, folder.size() - 1), "not a folder");
  pf::ScManager manager;
  ASSERT_NE(pf::OpenSCManager(manager), 0) << "the manager opens all the same";
  EXPECT_EQ(QueryServiceState(m_prompter), 0u);
  ExpectBoxes(m_prompter.requests, {TableBox(kMsgNoServiceManager, MessageIcon::None)});
  m_prompter.requests.clear();
  EXPECT_EQ(ServiceControl(m_prompter, kGateway, true, kShortWait), kServiceControlFailed);
  EXPECT_TRUE(m_prompter.requests.empty());
}

TEST_F(AppletService, EnumerateDependentsByActivity) {
  Create(kGateway);
  Create("Spooler", "normal", {kGateway});
  Create("Printer", "normal", {"Spooler"});
  Create("Archive", "normal", {kGateway});
  Run("Spooler");
  std::vector<std::string> names = {"stale"};
  ASSERT_TRUE(
      EnumerateDependents(m_prompter, Open(kGateway), pf::ServiceStateFilter::Active, names));
  EXPECT_EQ(names, std::vector<std::string>{"Spooler"});
  ASSERT_TRUE(
      EnumerateDependents(m_prompter, Open(kGateway), pf::ServiceStateFilter::Inactive, names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Archive", "Printer"}));
  names = {"stale"};
  EXPECT_FALSE(
      EnumerateDependents(m_prompter, pf::ScService(), pf::ServiceStateFilter::Active, names));
  EXPECT_TRUE(names.empty());
  EXPECT_TRUE(m_prompter.requests.empty());
}

TEST_F(AppletService, WaitForAStateAlreadyReached) {
  Create(kGateway);
  EXPECT_EQ(WaitForServiceState(Open(kGateway), pf::kServiceStopped, kShortWait), 0);
  EXPECT_EQ(WaitForServiceState(pf::ScService(), pf::kServiceStopped, kShortWait),
            kServiceControlTimedOut);
  EXPECT_EQ(pf::LastError(), pf::kErrorInvalidHandle);
}

}  // namespace
}  // namespace faxmail::applet
