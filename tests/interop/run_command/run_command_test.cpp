// The README's run command, scripts/run-gateway, as a newcomer runs it: it starts Knot,
// Postfix, faxmailgw -m and faxmailsim, prints a swaks line; the mail sent with that line
// comes back as the notification, fax image attached, in the Maildir; q stops everything it
// started. Each test has its own run folder, SMTP port and loopback addresses, and uses the
// binaries of this build tree.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/socket.h"
#include "tests/support/knot_server.h"
#include "tests/support/mail_peers.h"
#include "tests/support/peers.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using namespace std::chrono_literals;

// Until the script prints its swaks line: a first Postfix start creates its queue folders.
constexpr auto kStartBound = 120s;
// The round trip the run command promises: sender's poll, stand-in, sender's poll again.
constexpr auto kRoundTripBound = 30s;
// q to the script, until every child has ended and the script with them.
constexpr auto kStopBound = 60s;

std::string Script() { return faxmail::test::SourceDir() + "/scripts/run-gateway"; }

// scripts/run-gateway with its standard input a pipe of the test's and its output in a file;
// sent SIGTERM (its own way to stop everything) if the test ends first, or dies.
class RunCommand {
 public:
  RunCommand(const std::vector<std::string>& env, const std::string& outputPath) {
    // Close-on-exec: no later child of the test (another run, swaks) holds this run's input.
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::dup2(input[0], 0);
      ::close(input[0]);
      ::close(input[1]);
      const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      ::dup2(out, 1);
      ::dup2(out, 2);
      ::signal(SIGPIPE, SIG_DFL);  // the test ignores it; an ignored signal stays so over exec
      for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
      ::execl("/bin/bash", "bash", Script().c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(input[0]);
    m_input = input[1];
  }
  ~RunCommand() {
    if (m_input >= 0) ::close(m_input);
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    if (!WaitExit(kStopBound)) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }
  RunCommand(const RunCommand&) = delete;
  RunCommand& operator=(const RunCommand&) = delete;

  bool Started() const { return m_pid > 0 && m_input >= 0; }
  bool Running() {
    if (m_pid <= 0) return false;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) != m_pid) return true;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m_pid = -1;
    return false;
  }
  bool WaitExit(std::chrono::milliseconds timeout) {
    return test::WaitUntil([&] { return !Running(); }, timeout);
  }
  void Signal(int signal) {
    if (m_pid > 0) ::kill(m_pid, signal);
  }
  // What the script ended with; -1 while it runs.
  int Status() const { return m_status; }
  // Writes to the script's input; a script that ended fails the test, not the test process
  // (SIGPIPE is ignored by the fixture).
  void Type(const std::string& text) {
    if (::write(m_input, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      ADD_FAILURE() << "the script's input is closed";
  }

 private:
  pid_t m_pid = -1;
  int m_input = -1;
  int m_status = -1;
};

// The processes whose command line or environment names path (the test's run folder: every
// child of the script has it in one of them, Postfix's daemons in MAIL_CONFIG), other than
// this one.
std::vector<std::string> ProcessesNaming(const std::string& path) {
  std::vector<std::string> found;
  const std::string self = std::to_string(::getpid());
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    // A process that ended meanwhile reads as empty.
    std::string cmdline = test::ReadWholeFile(entry.path() / "cmdline");
    const std::string environ = test::ReadWholeFile(entry.path() / "environ");
    if (cmdline.find(path) == std::string::npos && environ.find(path) == std::string::npos)
      continue;
    for (char& c : cmdline)
      if (c == '\0') c = ' ';
    found.push_back(pid + ": " + cmdline);
  }
  return found;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// The output line that begins with prefix, empty while there is none.
std::string LineStarting(const std::string& output, const std::string& prefix) {
  for (std::size_t at = 0; at < output.size();) {
    const std::size_t end = output.find('\n', at);
    if (end == std::string::npos) break;  // not finished yet
    if (output.compare(at, prefix.size(), prefix) == 0) return output.substr(at, end - at);
    at = end + 1;
  }
  return {};
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    if (entry.is_regular_file()) files.push_back(entry.path());
  return files;
}

class RunCommandTest : public test::RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    ::signal(SIGPIPE, SIG_IGN);
    if (::geteuid() != 0) {
      if (std::getenv("CI")) FAIL() << "the run command needs root";
      GTEST_SKIP() << "the run command needs root";
    }
    FAXMAIL_REQUIRE_PEER(test::kKnotd);
    FAXMAIL_REQUIRE_PEER(test::kPostfix);
    FAXMAIL_REQUIRE_PEER("/usr/bin/swaks");
    FAXMAIL_REQUIRE_PEER(test::kSystemPython);
    m_port = test::FreeLoopbackPort();
    ASSERT_NE(m_port, 0);
    // Addresses as much the test's own as its claimed port, which they spell: no other test
    // serves DNS or SMTP on 127.27.x.y or 127.28.x.y.
    const std::string host = std::to_string(m_port >> 8) + "." + std::to_string(m_port & 0xff);
    m_dns = "127.27." + host;
    m_mx = "127.28." + host;
  }
  std::vector<std::string> Env() const {
    return {"FAXMAIL_RUN_DIR=" + m_run.Path(), "FAXMAIL_PORT=" + std::to_string(m_port),
            "FAXMAIL_RUN_DNS=" + m_dns,        "FAXMAIL_RUN_MX=" + m_mx,
            "FAXMAIL_RUN_NO_BUILD=1",          "FAXMAIL_RUN_BUILD=" + faxmail::test::BinaryDir()};
  }
  // A failed test must not leave servers behind either: whatever still names the run folder
  // is killed (Postfix's daemons end with their master).
  void TearDown() override {
    for (const auto& process : ProcessesNaming(m_run.Path()))
      ::kill(static_cast<pid_t>(std::stol(process)), SIGKILL);
    RootTest::TearDown();
  }
  std::string Output(const std::string& name = "run.out") const {
    return test::ReadWholeFile(m_out / name);
  }
  std::string Logs() const {
    std::string text;
    for (const auto& file : FilesIn(m_run / "logs"))
      text += "--- " + file + "\n" + test::ReadWholeFile(file);
    return text;
  }

  test::TempDir m_run;
  test::TempDir m_out;
  std::uint16_t m_port = 0;
  std::string m_dns;
  std::string m_mx;
};

TEST_F(RunCommandTest, PrintedSwaksLineComesBackAsNotificationInTheMaildirAndQStopsAll) {
  if (!platform::FileExists(test::BuiltProgram("tools/faxmailsim/faxmailsim")))
    GTEST_SKIP() << "faxmailsim is not built in this tree";
  RunCommand script(Env(), m_out / "run.out");
  ASSERT_TRUE(script.Started());

  std::string swaks;
  ASSERT_TRUE(test::WaitUntil(
      [&] { return !(swaks = LineStarting(Output(), "swaks ")).empty() || !script.Running(); },
      kStartBound))
      << Output();
  ASSERT_FALSE(swaks.empty()) << Output() << Logs();
  EXPECT_NE(swaks.find("--server 127.0.0.1:" + std::to_string(m_port) + " "), std::string::npos)
      << swaks;
  // What a newcomer does with it: paste it into a shell.
  std::string sent;
  ASSERT_EQ(test::RunProgram({"/bin/sh", "-c", swaks}, &sent), 0) << sent;

  const std::string inbox = m_run / "mail/inbox/new";
  ASSERT_TRUE(test::WaitUntil([&] { return !FilesIn(inbox).empty(); }, kRoundTripBound))
      << Output() << Logs();
  const auto mails = FilesIn(inbox);
  ASSERT_EQ(mails.size(), 1u);
  const std::string mail = test::ReadWholeFile(mails[0]);
  // Postfix names the recipient it delivered to (the gateway writes addresses in capitals).
  std::string lower = mail;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(lower.find("delivered-to: you@example.test"), std::string::npos) << mail;
  EXPECT_NE(mail.find("sent OK"), std::string::npos) << mail;
  const test::ParsedMail parsed = test::ParseMail(mail);
  EXPECT_EQ(parsed.defects, 0);
  // The stand-in keeps what it sent in a folder per recipient; that image is the attachment.
  std::vector<std::string> images;
  std::error_code ec;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(m_run / "sent", ec))
    if (entry.path().filename() == "fax.tif") images.push_back(entry.path());
  ASSERT_EQ(images.size(), 1u) << Output();
  const std::string image = test::ReadWholeFile(images[0]);
  ASSERT_TRUE(image.starts_with(std::string("II*\0", 4)) ||
              image.starts_with(std::string("MM\0*", 4)));
  bool attached = false;
  for (const auto& part : parsed.parts) attached = attached || part.payload == image;
  EXPECT_TRUE(attached) << "the fax image is not attached:\n" << mail;

  script.Type("q\n");
  ASSERT_TRUE(script.WaitExit(kStopBound)) << Output();
  EXPECT_EQ(script.Status(), 0) << Output();
  EXPECT_EQ(Joined(ProcessesNaming(m_run.Path())), "");
  // Built with sanitizers, the gateway and the stand-in report into the logs of the run.
  const std::string logs = Logs();
  EXPECT_EQ(logs.find("Sanitizer"), std::string::npos) << logs;
  EXPECT_EQ(logs.find("runtime error:"), std::string::npos) << logs;
}

struct StopSignal {
  int signal;
  int status;  // what the script ends with
};
void PrintTo(const StopSignal& stop, std::ostream* out) {
  *out << "signal " << stop.signal << ", status " << stop.status;
}

class RunCommandSignalTest : public RunCommandTest,
                             public ::testing::WithParamInterface<StopSignal> {};

// Ctrl-C (SIGINT to the script: its servers have sessions of their own) and SIGTERM stop every
// child as q does.
TEST_P(RunCommandSignalTest, StopsEverythingItStarted) {
  RunCommand script(Env(), m_out / "run.out");
  ASSERT_TRUE(script.Started());
  ASSERT_TRUE(test::WaitUntil(
      [&] { return !LineStarting(Output(), "swaks ").empty() || !script.Running(); }, kStartBound))
      << Output();
  ASSERT_TRUE(script.Running()) << Output() << Logs();
  script.Signal(GetParam().signal);
  ASSERT_TRUE(script.WaitExit(kStopBound)) << Output();
  EXPECT_EQ(script.Status(), GetParam().status) << Output();
  EXPECT_NE(Output().find("run-gateway: stopped knotd postfix faxmailgw faxmailsim"),
            std::string::npos)
      << Output();
  EXPECT_EQ(Joined(ProcessesNaming(m_run.Path())), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, RunCommandSignalTest,
                         ::testing::Values(StopSignal{SIGINT, 130}, StopSignal{SIGTERM, 143}),
                         [](const auto& param) {
                           return param.param.signal == SIGINT ? std::string("Interrupt")
                                                               : std::string("Terminate");
                         });

// A run killed outright (SIGKILL) leaves its children running; the next run in the same folder
// stops them, comes up in their place and stops as usual.
TEST_F(RunCommandTest, NextRunStopsWhatAKilledRunLeftBehind) {
  {
    RunCommand killed(Env(), m_out / "run.out");
    ASSERT_TRUE(killed.Started());
    ASSERT_TRUE(test::WaitUntil(
        [&] { return !LineStarting(Output(), "swaks ").empty() || !killed.Running(); },
        kStartBound))
        << Output();
    killed.Signal(SIGKILL);
    ASSERT_TRUE(killed.WaitExit(kStopBound));
  }
  ASSERT_NE(Joined(ProcessesNaming(m_run.Path())), "");

  // Output of its own: the first run's would be there to read before this one's appears.
  RunCommand next(Env(), m_out / "next.out");
  ASSERT_TRUE(next.Started());
  ASSERT_TRUE(test::WaitUntil(
      [&] { return !LineStarting(Output("next.out"), "swaks ").empty() || !next.Running(); },
      kStartBound))
      << Output("next.out");
  const std::string output = Output("next.out");
  for (const char* name : {"knotd", "postfix", "faxmailgw", "faxmailsim"})
    EXPECT_NE(output.find(std::string("run-gateway: ") + name), std::string::npos) << name << "\n"
                                                                                   << output;
  ASSERT_TRUE(next.Running()) << output << Logs();
  next.Type("q\n");
  ASSERT_TRUE(next.WaitExit(kStopBound)) << Output("next.out");
  EXPECT_EQ(next.Status(), 0) << Output("next.out");
  EXPECT_EQ(Joined(ProcessesNaming(m_run.Path())), "");
}

// A second run in the folder of a live one stops nothing of it and ends, saying why.
TEST_F(RunCommandTest, SecondRunInTheFolderOfALiveOneGivesWay) {
  RunCommand first(Env(), m_out / "run.out");
  ASSERT_TRUE(first.Started());
  ASSERT_TRUE(test::WaitUntil(
      [&] { return !LineStarting(Output(), "swaks ").empty() || !first.Running(); }, kStartBound))
      << Output();
  const std::string before = Joined(ProcessesNaming(m_run.Path()));

  RunCommand second(Env(), m_out / "second.out");
  ASSERT_TRUE(second.Started());
  ASSERT_TRUE(second.WaitExit(kStopBound)) << Output("second.out");
  EXPECT_EQ(second.Status(), 1);
  EXPECT_NE(Output("second.out").find("run-gateway: another run-gateway ("), std::string::npos)
      << Output("second.out");
  EXPECT_EQ(Joined(ProcessesNaming(m_run.Path())), before);
  EXPECT_TRUE(platform::FileExists(m_run / "pids"));

  ASSERT_TRUE(first.Running());
  first.Type("q\n");
  ASSERT_TRUE(first.WaitExit(kStopBound)) << Output();
  EXPECT_EQ(first.Status(), 0) << Output();
  EXPECT_EQ(Joined(ProcessesNaming(m_run.Path())), "");
}

// The gateway cannot take its port (another program listens on it at another address): the
// script fails after Knot and Postfix are up, says why, and stops both.
TEST_F(RunCommandTest, GatewayThatCannotStartStopsTheServersStartedBeforeIt) {
  platform::Socket other;
  ASSERT_EQ(platform::Socket::Create(0, other), 0);
  platform::SocketAddress address{};
  address.family = platform::kAfInet;
  address.port = platform::HostToNet16(m_port);
  address.address = *platform::InetAddr("127.0.0.2");
  ASSERT_EQ(other.Bind(address), 0);
  ASSERT_EQ(other.Listen(5), 0);

  RunCommand script(Env(), m_out / "run.out");
  ASSERT_TRUE(script.Started());
  ASSERT_TRUE(script.WaitExit(kStartBound)) << Output();
  EXPECT_EQ(script.Status(), 1) << Output();
  const std::string output = Output();
  EXPECT_NE(output.find("run-gateway: faxmailgw ended at its start"), std::string::npos) << output;
  EXPECT_NE(output.find("stopped knotd postfix"), std::string::npos) << output;
  EXPECT_EQ(LineStarting(output, "swaks "), "") << output;
  EXPECT_EQ(Joined(ProcessesNaming(m_run.Path())), "");
}

// Settings the run cannot use are refused with their reason before anything starts.
TEST_F(RunCommandTest, UnusableSettingsAreRefusedBeforeAnythingStarts) {
  const struct {
    std::string setting;
    std::string reason;
  } cases[] = {
      {"FAXMAIL_RUN_DNS=10.0.0.1", "must be a loopback address 127.x.y.z: 10.0.0.1"},
      {"FAXMAIL_RUN_MX=localhost", "FAXMAIL_RUN_MX must be a loopback address 127.x.y.z"},
      {"FAXMAIL_RUN_MX=" + m_dns, "the DNS server and the mail server need addresses of their own"},
      {"FAXMAIL_PORT=70000", "FAXMAIL_PORT must be a TCP port number: 70000"},
      {"FAXMAIL_PORT=25x", "FAXMAIL_PORT must be a TCP port number: 25x"},
  };
  for (const auto& c : cases) {
    auto env = Env();
    env.push_back(c.setting);
    RunCommand script(env, m_out / "run.out");
    ASSERT_TRUE(script.Started());
    ASSERT_TRUE(script.WaitExit(kStopBound)) << c.setting << "\n" << Output();
    EXPECT_EQ(script.Status(), 1) << c.setting;
    EXPECT_NE(Output().find("run-gateway: "), std::string::npos) << Output();
    EXPECT_NE(Output().find(c.reason), std::string::npos) << c.setting << "\n" << Output();
    EXPECT_FALSE(platform::FileExists(m_run / "dns/knot.conf")) << c.setting;
  }
}

}  // namespace
}  // namespace faxmail
