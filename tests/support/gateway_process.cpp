#include "tests/support/gateway_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/file.h"
#include "platform/registry.h"
#include "tests/support/test_support.h"

namespace faxmail::test {

namespace {

bool PortAccepts(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

constexpr char kGatewayKeyPath[] = "SOFTWARE\\Almoran\\Corvane SMTP Server";
// A bound on a start, only against a hang: the recovery of a spool that a kill left under
// load decodes every acknowledged message before the port opens, on a machine that may be
// busy with other tests (or under a sanitizer).
constexpr auto kStartBound = std::chrono::seconds(120);
constexpr auto kStartPoll = std::chrono::milliseconds(10);

}  // namespace

std::optional<std::uint32_t> GatewayNumber(const std::string& name) {
  platform::RegKey key;
  std::uint32_t value = 0;
  if (platform::RegOpenKey(platform::Hive::LocalMachine, kGatewayKeyPath, key) != 0 ||
      platform::RegQueryDword(key, name, value) != 0)
    return std::nullopt;
  return value;
}

std::optional<std::string> GatewayText(const std::string& name) {
  // Room for any path the gateway writes there.
  constexpr std::uint32_t kTextLimit = 4096;
  platform::RegKey key;
  std::string value;
  if (platform::RegOpenKey(platform::Hive::LocalMachine, kGatewayKeyPath, key) != 0 ||
      platform::RegQueryString(key, name, kTextLimit, value) != 0)
    return std::nullopt;
  return value;
}

void SetGatewayNumber(const std::string& name, std::uint32_t value) {
  platform::RegKey key;
  platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKeyPath, key);
  platform::RegSetDword(key, name, value);
}

void SetGatewayText(const std::string& name, const std::string& value) {
  platform::RegKey key;
  platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKeyPath, key);
  platform::RegSetString(key, name, value);
}

void SendKill(pid_t pid) {
  if (pid > 0) ::kill(pid, SIGKILL);
}

SpoolNumbers NumbersTaken(const std::string& out) {
  SpoolNumbers numbers = NumbersInSpool(out);
  std::uint32_t number = 0;
  if (const auto name = GatewayText("FileName"); name && EnvelopeNumber(*name, number))
    numbers.envelope.insert(number);
  if (const auto name = GatewayText("FileNameAtt"); name && AttachmentNumber(*name, number))
    numbers.attachment.insert(number);
  return numbers;
}

std::vector<std::string> CountersNotAbove(const SpoolNumbers& used) {
  const struct {
    const char* counter;
    const std::set<std::uint32_t>& numbers;
  } counters[] = {
      {"TmpIndex", used.raw}, {"OUTIndex", used.envelope}, {"OUTIndexAtt", used.attachment}};
  std::vector<std::string> problems;
  for (const auto& [counter, numbers] : counters) {
    if (numbers.empty()) continue;
    const auto value = GatewayNumber(counter);
    if (!value || *value <= *numbers.rbegin())
      problems.push_back(std::string(counter) + " " + (value ? std::to_string(*value) : "missing") +
                         ", used " + std::to_string(*numbers.rbegin()));
  }
  return problems;
}

GatewayConfig ConfigureGateway(const std::string& root, bool logs) {
  GatewayConfig config;
  config.data = root + "/data/";
  std::filesystem::create_directories(config.data + "OUT");
  std::filesystem::create_directories(config.data + "IN");
  config.port = FreeLoopbackPort();
  platform::RegKey key;
  platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKeyPath, key);
  platform::RegSetString(key, "ProgramPath", config.data);
  platform::RegSetString(key, "DomainName", "fax.example");
  platform::RegSetString(key, "MailFrom", "gateway@fax.example");
  if (logs) {
    platform::RegSetString(key, "logfile", root + "/main.log");
    platform::RegSetString(key, "logfileb", root + "/secondary.log");
  }
  platform::RegSetDword(key, "SmtpRxPort", config.port);
  platform::RegSetDword(key, "OUTIndex", 0);
  return config;
}

GatewayProcess::GatewayProcess(const std::string& root, bool logs) : m_root(root) {
  const GatewayConfig config = ConfigureGateway(root, logs);
  m_data = config.data;
  m_port = config.port;
}

GatewayProcess::~GatewayProcess() {
  if (m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
  if (m_stdin >= 0) ::close(m_stdin);
}

bool GatewayProcess::Start() {
  // A gateway that has ended by itself must fail the test that types "q" to it, not kill it
  // silently.
  std::signal(SIGPIPE, SIG_IGN);
  int in[2];
  if (::pipe(in) != 0) return false;
  const std::string program = BuiltProgram("gateway/faxmailgw");
  const std::string out = m_root + "/console.out";
  m_pid = ::fork();
  if (m_pid < 0) return false;
  if (m_pid == 0) {
    // A test process that aborts (a sanitizer's report, a crash) runs no destructor: its
    // gateway must not live on without it. (Tied to the thread that starts it, the test's.)
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(in[0], 0);
    ::close(in[0]);
    ::close(in[1]);
    ::setenv("FAXMAIL_ROOT", m_root.c_str(), 1);
    if (FILE* f = std::freopen(out.c_str(), "w", stdout)) (void)f;
    ::dup2(1, 2);
    // Sockets of the test's own clients must not live on in the gateway (a client's close
    // would then never reach the gateway's session).
    ::close_range(3, ~0U, 0);
    ::execl(program.c_str(), program.c_str(), "-m", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in[0]);
  m_stdin = in[1];
  const auto bound = std::chrono::steady_clock::now() + kStartBound;
  while (std::chrono::steady_clock::now() < bound) {
    if (PortAccepts(m_port)) return true;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      return false;
    }
    std::this_thread::sleep_for(kStartPoll);
  }
  return false;
}

int GatewayProcess::Stop() {
  if (m_pid <= 0) return -1;
  [[maybe_unused]] auto n = ::write(m_stdin, "q\n", 2);
  int status = 0;
  ::waitpid(m_pid, &status, 0);
  m_pid = -1;
  ::close(m_stdin);
  m_stdin = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool GatewayProcess::Kill() {
  if (m_pid <= 0) return false;
  ::kill(m_pid, SIGKILL);
  int status = 0;
  ::waitpid(m_pid, &status, 0);
  m_pid = -1;
  if (m_stdin >= 0) ::close(m_stdin);
  m_stdin = -1;
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

std::string GatewayProcess::ConsoleOutput() const { return ReadWholeFile(m_root + "/console.out"); }

long GatewayProcess::PeakMemoryKiB() const {
  const std::string status = ReadWholeFile("/proc/" + std::to_string(m_pid) + "/status");
  const auto at = status.find("VmHWM:");
  if (at == std::string::npos) return 0;
  return std::strtol(status.c_str() + at + 6, nullptr, 10);
}

std::string GatewayProcess::MainLog() const { return ReadWholeFile(m_root + "/main.log"); }
std::string GatewayProcess::SecondaryLog() const {
  return ReadWholeFile(m_root + "/secondary.log");
}

std::vector<std::string> GatewayProcess::Files(const std::string& folder,
                                               const std::string& pattern) const {
  std::vector<platform::DirEntry> entries;
  platform::FindFiles(m_data + folder, pattern, entries);
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace faxmail::test
