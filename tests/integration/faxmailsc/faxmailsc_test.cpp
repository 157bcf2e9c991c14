// faxmailsc as administrators and the boot unit use it: a real process against a private
// FAXMAIL_ROOT, its output and exit status, with the test service program as the services.
#include <gtest/gtest.h>

#include <signal.h>

#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {
namespace {

using test::ReadWholeFile;

class FaxmailSc : public test::RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    m_order = Root() + "/order";
  }

  // Runs faxmailsc; output is standard output and error together.
  int Run(std::vector<std::string> args, std::string* output = nullptr) {
    args.insert(args.begin(), test::BuiltProgram("tools/faxmailsc/faxmailsc"));
    std::string captured;
    const int status = test::RunProgram(args, &captured);
    if (output) *output = captured;
    return status;
  }
  std::string Out(std::vector<std::string> args) {
    std::string output;
    EXPECT_EQ(Run(args, &output), 0) << output;
    return output;
  }
  // The output of a run that is to fail with exit status `expected`.
  std::string Fails(std::vector<std::string> args, int expected = 1) {
    std::string output;
    EXPECT_EQ(Run(args, &output), expected) << output;
    return output;
  }

  // The command line of the test service (normal unless the behaviour says otherwise); it
  // notes "start NAME" and "stop NAME" in the order file.
  std::string ServicePath(const std::vector<std::string>& behaviour = {}) const {
    std::string path = test::BuiltProgram(kTestService) + " --log " + m_order;
    for (const auto& word : behaviour) path += " " + word;
    return path;
  }
  void CreateService(const std::string& name, const std::string& start,
                     const std::string& depend = {},
                     const std::vector<std::string>& behaviour = {}) {
    std::vector<std::string> args = {"create", name, "binPath=", ServicePath(behaviour),
                                     "start=", start};
    if (!depend.empty()) args.insert(args.end(), {"depend=", depend});
    EXPECT_EQ(Out(args), "[SC] CreateService SUCCESS\n");
  }
  std::string Order() const { return ReadWholeFile(m_order); }

  // The manager's view, for checks that do not go through the command.
  ServiceStatus Status(const std::string& name) {
    ScManager manager;
    ScService service;
    ServiceStatus status;
    EXPECT_EQ(OpenSCManager(manager), 0);
    EXPECT_EQ(OpenService(manager, name, service), 0);
    EXPECT_EQ(QueryServiceStatus(service, status), 0);
    return status;
  }
  // Polls the manager until the service reports the state; a bound on the number of polls,
  // not a timed assertion, keeps a test that would wait for ever from hanging.
  ServiceStatus WaitForState(const std::string& name, std::uint32_t state) {
    constexpr int kPolls = 600;  // at 50 ms, beyond any start or stop of the test service
    ServiceStatus status;
    for (int i = 0; i < kPolls; ++i) {
      status = Status(name);
      if (status.currentState == state) return status;
      SleepMs(50);
    }
    ADD_FAILURE() << name << " never reached state " << state << ", last " << status.currentState;
    return status;
  }
  void StopAll() {
    std::string ignored;
    Run({"shutdown"}, &ignored);
  }
  void TearDown() override {
    StopAll();
    RootTest::TearDown();
  }

  static constexpr char kTestService[] = "tests/faxmail_test_service";
  std::string m_order;
};

TEST_F(FaxmailSc, CreateQcConfigDeleteRoundTrip) {
  EXPECT_EQ(Out({"create", "Fax Relay", "binPath=", "/opt/relay/bin/relay -q", "START=", "auto",
                 "DisplayName=", "The fax relay", "depend=", "Tcpip/Corvane SMTP Server",
                 "type=", "own", "error=", "normal"}),
            "[SC] CreateService SUCCESS\n");
  const std::string block =
      "        TYPE               : 10  WIN32_OWN_PROCESS\n"
      "        START_TYPE         : %s\n"
      "        ERROR_CONTROL      : 1   NORMAL\n"
      "        BINARY_PATH_NAME   : /opt/relay/bin/relay -q\n"
      "        DISPLAY_NAME       : The fax relay\n"
      "        DEPENDENCIES       : Tcpip\n"
      "                           : Corvane SMTP Server\n"
      "        SERVICE_START_NAME : LocalSystem\n\n";
  auto expected = [&](const std::string& startType) {
    std::string text = block;
    text.replace(text.find("%s"), 2, startType);
    return "[SC] QueryServiceConfig SUCCESS\n\nSERVICE_NAME: Fax Relay\n" + text;
  };
  EXPECT_EQ(Out({"qc", "Fax Relay"}), expected("2   AUTO_START"));
  // Names are found without regard to letter case; the record keeps its own.
  EXPECT_EQ(Out({"config", "fax relay", "start=", "disabled"}),
            "[SC] ChangeServiceConfig SUCCESS\n");
  EXPECT_EQ(Out({"qc", "FAX RELAY"}), expected("4   DISABLED"));
  EXPECT_EQ(Out({"config", "Fax Relay", "start=", "DEMAND"}), "[SC] ChangeServiceConfig SUCCESS\n");
  EXPECT_EQ(Out({"qc", "Fax Relay"}), expected("3   DEMAND_START"));

  EXPECT_EQ(Out({"delete", "Fax Relay"}), "[SC] DeleteService SUCCESS\n");
  EXPECT_EQ(Fails({"qc", "Fax Relay"}),
            "[SC] OpenService FAILED 1060:\n\n"
            "The specified service does not exist as an installed service.\n\n");
}

TEST_F(FaxmailSc, CreateDefaultsToDemandStartAsLocalSystemUnderItsOwnName) {
  Out({"create", "plain", "binPath=", "/bin/true"});
  const std::string qc = Out({"qc", "plain"});
  EXPECT_NE(qc.find("START_TYPE         : 3   DEMAND_START\n"), std::string::npos) << qc;
  EXPECT_NE(qc.find("DISPLAY_NAME       : plain\n"), std::string::npos) << qc;
  EXPECT_NE(qc.find("DEPENDENCIES       : \n"), std::string::npos) << qc;
  EXPECT_NE(qc.find("SERVICE_START_NAME : LocalSystem\n"), std::string::npos) << qc;
}

TEST_F(FaxmailSc, FailedOperationsGiveTheirNumberAndTextWithStatusOne) {
  Out({"create", "once", "binPath=", "/bin/true"});
  EXPECT_EQ(Fails({"create", "ONCE", "binPath=", "/bin/false"}),
            "[SC] CreateService FAILED 1073:\n\nThe specified service already exists.\n\n");
  const std::string missing =
      "[SC] OpenService FAILED 1060:\n\n"
      "The specified service does not exist as an installed service.\n\n";
  for (const char* op : {"delete", "start", "stop", "pause", "continue", "interrogate", "query",
                         "qc", "enumdepend", "reports"})
    EXPECT_EQ(Fails({op, "none"}), missing) << op;
  EXPECT_EQ(Fails({"config", "none", "start=", "auto"}), missing);
  EXPECT_EQ(
      Fails({"create", "a/b", "binPath=", "/bin/true"}).rfind("[SC] CreateService FAILED 123:", 0),
      0u);
  // A service that is not running takes no control.
  EXPECT_EQ(Fails({"stop", "once"}),
            "[SC] ControlService FAILED 1062:\n\nThe service has not been started.\n\n");
}

TEST_F(FaxmailSc, UsageErrorsGiveStatusTwoWithTheUsage) {
  Out({"create", "svc", "binPath=", "/bin/true"});
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate", "svc"},
      {"create", "x"},                       // no binPath=
      {"create", "x", "binPath="},           // no value
      {"create", "x", "binPath=/bin/true"},  // value not a word of its own
      {"create", "x", "binPath=", "/bin/true", "start=", "boot"},
      {"create", "x", "binPath=", "/bin/true", "type=", "share"},
      {"create", "x", "binPath=", "/bin/true", "error=", "loud"},
      {"create", "x", "binPath=", "/bin/true", "colour=", "red"},
      {"create", "x", "binPath=", "/bin/true", "start=", "auto", "start=", "demand"},
      {"create", "binPath=", "/bin/true"},            // no NAME
      {"create", "x", "y", "binPath=", "/bin/true"},  // two
      {"delete"},
      {"stop"},
      {"stop", "svc", "now"},
      {"start"},
      {"query", "svc", "state=", "all"},
      {"query", "state=", "sleeping"},
      {"query", "type=", "kernel"},
      {"config", "svc"},
      {"config", "svc", "start=", "sometimes"},
      {"config", "svc", "binPath=", "/bin/false"},
      {"boot", "now"},
      {"shutdown", "svc"},
  };
  for (const auto& args : cases) {
    std::string output;
    EXPECT_EQ(Run(args, &output), 2) << testing::PrintToString(args) << output;
    EXPECT_NE(output.find("faxmailsc create NAME binPath= PATH"), std::string::npos) << output;
  }
  // Nothing of it reached the record.
  EXPECT_NE(Out({"qc", "svc"}).find("START_TYPE         : 3   DEMAND_START"), std::string::npos);
  EXPECT_EQ(Fails({"qc", "x"}).rfind("[SC] OpenService FAILED 1060:", 0), 0u);
  std::string help;
  EXPECT_EQ(Run({"help"}, &help), 0);
  EXPECT_EQ(help.rfind("faxmailsc: the services of this machine\n", 0), 0u);
}

TEST_F(FaxmailSc, StartQueryStopPrintTheStatusFields) {
  CreateService("svc", "demand");
  const std::string started = Out({"start", "svc"});
  EXPECT_EQ(
      started.rfind("\nSERVICE_NAME: svc\n        TYPE               : 10  WIN32_OWN_PROCESS\n", 0),
      0u)
      << started;
  const ServiceStatus running = WaitForState("svc", kServiceRunning);
  ASSERT_GT(running.processId, 0);
  EXPECT_EQ(::kill(static_cast<pid_t>(running.processId), 0), 0);
  const std::string runningBlock =
      "\nSERVICE_NAME: svc\n"
      "        TYPE               : 10  WIN32_OWN_PROCESS\n"
      "        STATE              : 4  RUNNING\n"
      "                                (STOPPABLE, NOT_PAUSABLE, ACCEPTS_SHUTDOWN)\n"
      "        WIN32_EXIT_CODE    : 0  (0x0)\n"
      "        SERVICE_EXIT_CODE  : 0  (0x0)\n"
      "        CHECKPOINT         : 0x0\n"
      "        WAIT_HINT          : 0x0\n"
      "        PID                : " +
      std::to_string(running.processId) + "\n\n";
  EXPECT_EQ(Out({"query", "svc"}), runningBlock);
  EXPECT_EQ(Out({"interrogate", "SVC"}), runningBlock);
  EXPECT_EQ(Fails({"start", "svc"}),
            "[SC] StartService FAILED 1056:\n\nAn instance of the service is already running.\n\n");

  const std::string stopping = Out({"stop", "svc"});
  EXPECT_TRUE(stopping.find("        STATE              : 3  STOP_PENDING\n") !=
                  std::string::npos ||
              stopping.find("        STATE              : 1  STOPPED\n") != std::string::npos)
      << stopping;
  WaitForState("svc", kServiceStopped);
  EXPECT_EQ(Out({"query", "svc"}),
            "\nSERVICE_NAME: svc\n"
            "        TYPE               : 10  WIN32_OWN_PROCESS\n"
            "        STATE              : 1  STOPPED\n"
            "                                (NOT_STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"
            "        WIN32_EXIT_CODE    : 0  (0x0)\n"
            "        SERVICE_EXIT_CODE  : 0  (0x0)\n"
            "        CHECKPOINT         : 0x0\n"
            "        WAIT_HINT          : 0x0\n"
            "        PID                : 0\n\n");
  EXPECT_EQ(Order(), "start svc\nstop svc\n");
}

TEST_F(FaxmailSc, PauseAndContinueAreRefusedByAServiceThatDoesNotAcceptThem) {
  CreateService("svc", "demand");
  Out({"start", "svc"});
  WaitForState("svc", kServiceRunning);
  const std::string refused =
      "[SC] ControlService FAILED 1052:\n\nThe requested control is not valid for this "
      "service.\n\n";
  EXPECT_EQ(Fails({"pause", "svc"}), refused);
  EXPECT_EQ(Fails({"continue", "svc"}), refused);
  EXPECT_EQ(Status("svc").currentState, kServiceRunning);
}

TEST_F(FaxmailSc, QueryListsEveryServiceAndItsFiltersNarrowTheList) {
  CreateService("beta", "demand");
  Out({"create", "alpha", "binPath=", "/bin/true", "DisplayName=", "First of all"});
  Out({"start", "beta"});
  WaitForState("beta", kServiceRunning);
  auto names = [](const std::string& output) {
    std::string found;
    for (std::size_t at = output.find("SERVICE_NAME: "); at != std::string::npos;
         at = output.find("SERVICE_NAME: ", at + 1))
      found += output.substr(at, output.find('\n', at) - at + 1);
    return found;
  };
  const std::string all = Out({"query"});
  EXPECT_EQ(names(all), "SERVICE_NAME: alpha\nSERVICE_NAME: beta\n");
  EXPECT_NE(all.find("SERVICE_NAME: alpha\nDISPLAY_NAME: First of all\n"
                     "        TYPE               : 10  WIN32_OWN_PROCESS\n"
                     "        STATE              : 1  STOPPED\n"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("SERVICE_NAME: beta\nDISPLAY_NAME: beta\n"), std::string::npos) << all;
  EXPECT_EQ(names(Out({"query", "state=", "active"})), "SERVICE_NAME: beta\n");
  EXPECT_EQ(names(Out({"query", "STATE=", "inactive", "type=", "own"})), "SERVICE_NAME: alpha\n");
  EXPECT_EQ(names(Out({"query", "type=", "driver", "state=", "all"})), "");
}

TEST_F(FaxmailSc, EnumDependListsDependentsInTheOrderTheyMustStop) {
  CreateService("base", "demand");
  CreateService("middle", "demand", "base");
  CreateService("top", "demand", "Middle");
  CreateService("side", "demand", "BASE");
  CreateService("other", "demand");
  const std::string output = Out({"enumdepend", "base"});
  EXPECT_EQ(output.rfind("Enum: entriesRead  = 3\n", 0), 0u) << output;
  const auto top = output.find("SERVICE_NAME: top\n");
  const auto middle = output.find("SERVICE_NAME: middle\n");
  ASSERT_NE(top, std::string::npos) << output;
  ASSERT_NE(middle, std::string::npos) << output;
  EXPECT_LT(top, middle);
  EXPECT_NE(output.find("SERVICE_NAME: side\nDISPLAY_NAME: side\n"), std::string::npos);
  EXPECT_EQ(output.find("SERVICE_NAME: other"), std::string::npos);
  EXPECT_EQ(Out({"enumdepend", "top"}), "Enum: entriesRead  = 0\n\n");
}

TEST_F(FaxmailSc, ReportsShowHowTheStartWentOldestFirst) {
  CreateService("svc", "demand");
  Out({"start", "svc"});
  const ServiceStatus running = WaitForState("svc", kServiceRunning);
  const std::string output = Out({"reports", "svc"});
  EXPECT_EQ(output.rfind("\nSERVICE_NAME: svc\n", 0), 0u) << output;
  // One report per line after the heading: number, state number, state name, check point,
  // wait hint, exit codes, pid.
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> row;
    for (std::string word; words >> word;) row.push_back(word);
    if (row.size() >= 8 && std::isdigit(static_cast<unsigned char>(row[0][0]))) rows.push_back(row);
  }
  ASSERT_GE(rows.size(), 2u) << output;
  const auto pending = 0u;
  EXPECT_EQ(rows.front()[2], "START_PENDING") << output;
  const auto runs = rows.size() - 1;
  EXPECT_EQ(rows.back()[2], "RUNNING") << output;
  EXPECT_EQ(rows.back()[3], "0x0");
  EXPECT_EQ(rows.back()[7], std::to_string(running.processId)) << output;
  EXPECT_LT(pending, runs);
  EXPECT_NE(output.find("(STOPPABLE, NOT_PAUSABLE, ACCEPTS_SHUTDOWN)\n"), std::string::npos);
}

TEST_F(FaxmailSc, BootStartsAutomaticServicesDependenciesFirstAndShutdownStopsThemDependentsFirst) {
  CreateService("zeta", "auto");  // started before the one that needs it
  CreateService("alpha", "auto", "zeta");
  CreateService("gamma", "auto", "helper");  // a demand service started as dependency
  CreateService("helper", "demand");
  CreateService("idle", "demand");
  CreateService("off", "disabled");
  std::string output;
  ASSERT_EQ(Run({"boot"}, &output), 0) << output;
  for (const char* name : {"zeta", "alpha", "gamma"}) {
    const ServiceStatus status = Status(name);
    EXPECT_EQ(status.currentState, kServiceRunning) << name;
    EXPECT_NE(output.find(std::string(name) + ": RUNNING, PID " + std::to_string(status.processId) +
                          "\n"),
              std::string::npos)
        << output;
  }
  EXPECT_EQ(Status("helper").currentState, kServiceRunning);
  EXPECT_EQ(Status("idle").currentState, kServiceStopped);
  EXPECT_EQ(Status("off").currentState, kServiceStopped);
  EXPECT_NE(output.find("[SC] boot SUCCESS\n"), std::string::npos) << output;
  const std::string started = Order();
  EXPECT_LT(started.find("start zeta\n"), started.find("start alpha\n")) << started;
  EXPECT_LT(started.find("start helper\n"), started.find("start gamma\n")) << started;
  EXPECT_EQ(started.find("start idle"), std::string::npos) << started;
  EXPECT_EQ(started.find("start off"), std::string::npos) << started;

  ASSERT_EQ(Run({"shutdown"}, &output), 0) << output;
  EXPECT_NE(output.find("[SC] shutdown SUCCESS\n"), std::string::npos) << output;
  for (const char* name : {"zeta", "alpha", "gamma", "helper"}) {
    EXPECT_EQ(Status(name).currentState, kServiceStopped) << name;
    EXPECT_NE(output.find(std::string(name) + ": STOPPED\n"), std::string::npos) << output;
  }
  const std::string stopped = Order();
  EXPECT_LT(stopped.find("stop alpha\n"), stopped.find("stop zeta\n")) << stopped;
  EXPECT_LT(stopped.find("stop gamma\n"), stopped.find("stop helper\n")) << stopped;
  EXPECT_EQ(output.find("idle"), std::string::npos) << output;
}

TEST_F(FaxmailSc, BootLeavesRunningServicesAloneAndRestartsOneWhoseProcessDied) {
  CreateService("kept", "auto");
  CreateService("died", "auto");
  Out({"start", "kept"});
  Out({"start", "died"});
  const ServiceStatus kept = WaitForState("kept", kServiceRunning);
  const ServiceStatus died = WaitForState("died", kServiceRunning);
  ASSERT_EQ(::kill(static_cast<pid_t>(died.processId), SIGKILL), 0);
  const ServiceStatus gone = WaitForState("died", kServiceStopped);
  EXPECT_EQ(gone.win32ExitCode, static_cast<std::uint32_t>(kErrorProcessAborted));
  EXPECT_NE(Out({"query", "died"}).find("        WIN32_EXIT_CODE    : 1067  (0x42b)\n"),
            std::string::npos);

  std::string output;
  ASSERT_EQ(Run({"boot"}, &output), 0) << output;
  EXPECT_NE(output.find("kept: already RUNNING, PID " + std::to_string(kept.processId) + "\n"),
            std::string::npos)
      << output;
  const ServiceStatus again = Status("died");
  EXPECT_EQ(again.currentState, kServiceRunning);
  EXPECT_NE(again.processId, died.processId);
  EXPECT_EQ(Status("kept").processId, kept.processId);
  const std::string order = Order();
  EXPECT_EQ(order.find("start kept\n"), order.rfind("start kept\n")) << order;
}

TEST_F(FaxmailSc, BootReportsEveryServiceThatFailsAndStillStartsTheOthers) {
  CreateService("good", "auto");
  Out({"create", "broken", "binPath=", Root() + "/no-such-program", "start=", "auto"});
  CreateService("needy", "auto", "broken");
  std::string output;
  EXPECT_EQ(Run({"boot"}, &output), 1) << output;
  EXPECT_NE(output.find("broken: FAILED "), std::string::npos) << output;
  EXPECT_NE(output.find("needy: FAILED 1068: The dependency service or group failed to start.\n"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("[SC] boot FAILED: 2 services failed\n"), std::string::npos) << output;
  EXPECT_EQ(Status("good").currentState, kServiceRunning);
  EXPECT_EQ(Status("needy").currentState, kServiceStopped);
}

}  // namespace
}  // namespace faxmail::platform
