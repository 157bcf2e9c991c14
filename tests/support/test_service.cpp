// faxmail_test_service: a service program for the tests of the service control manager and of
// everything that starts, stops or queries services. Its behaviour comes from its arguments,
// which tests put into the record's ImagePath ("PATH MODE [options]").
//
// Modes:
//   normal      reports start pending (check point 1, wait hint 1000), then running with stop
//               and shutdown accepted; a stop or shutdown reports stop pending, then the main
//               reports stopped and returns. Interrogate and other delivered codes report the
//               current state again. User control 200 kills the process with SIGKILL, 201
//               aborts it (both after it reported running: a death the manager must notice).
//   pending     reports start pending and stays so until the file of --release exists (or
//               a minute has passed), then behaves as normal.
//   nodispatch  never calls the dispatcher: appends "pid N" to the --log file and sleeps for
//               two minutes (a start must time out and end it).
//   exit        ends at once with status 3, before calling the dispatcher.
// Options:
//   --log FILE      appends "start NAME" just before it reports running and "stop NAME" at a
//                   stop, before the stopped report (for order checks across several services)
//   --env FILE      writes, when the main starts, "arg X" for each main argument, "env X" for
//                   each environment variable and "fd N TARGET" for each open descriptor
//   --exit N        the stopped report carries exit code 1066 and service-specific code N
//   --reports N     reports start pending N more times (check points 2..N+1) before running
//   --release FILE  see pending
//   --nostop        runs without accepting stop (shutdown only): a stop control is refused
//                   with 1052, and the process stays until it is shut down or killed
//   --hangstop      a stop or shutdown reports stop pending and logs "stop NAME", and the
//                   service never stops: the process stays until it is killed (its pid is in
//                   the status; user controls are refused while stop is pending)
// Run by hand (not by the manager), the dispatcher fails: the program prints
// "dispatcher: <error number>" on standard output and exits with status 2.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/service_control.h"

extern char** environ;

namespace {

using namespace faxmail::platform;

struct Options {
  std::string mode = "normal";
  std::string log;
  std::string env;
  std::string release;
  std::uint32_t exitCode = 0;
  std::uint32_t extraReports = 0;
  bool noStop = false;
  bool hangStop = false;
};

Options g_options;
ServiceStatusHandle g_handle;
std::mutex g_mutex;
std::condition_variable g_stopped;
bool g_stop = false;
ServiceStatus g_status;

void AppendLine(const std::string& path, const std::string& line) {
  if (path.empty()) return;
  std::ofstream out(path, std::ios::app);
  out << line << "\n";
}

void Report(std::uint32_t state, std::uint32_t checkPoint, std::uint32_t waitHint) {
  std::lock_guard lock(g_mutex);
  g_status.currentState = state;
  const std::uint32_t accepted =
      g_options.noStop ? kServiceAcceptShutdown : kServiceAcceptStop | kServiceAcceptShutdown;
  g_status.controlsAccepted = state == kServiceStartPending ? 0 : accepted;
  g_status.checkPoint = checkPoint;
  g_status.waitHint = waitHint;
  SetServiceStatus(g_handle, g_status);
}

void Handler(std::uint32_t control, const std::string& name) {
  if (control == kServiceControlStop || control == kServiceControlShutdown) {
    Report(kServiceStopPending, 1, 1000);
    AppendLine(g_options.log, "stop " + name);
    if (g_options.hangStop) return;
    std::lock_guard lock(g_mutex);
    g_stop = true;
    g_stopped.notify_all();
    return;
  }
  if (control == 200) ::kill(::getpid(), SIGKILL);
  if (control == 201) std::abort();
  std::lock_guard lock(g_mutex);
  SetServiceStatus(g_handle, g_status);
}

void ServiceMain(const std::vector<std::string>& args) {
  const std::string name = args.empty() ? std::string() : args.front();
  if (!g_options.env.empty()) {
    std::ofstream out(g_options.env);
    for (const std::string& arg : args) out << "arg " << arg << "\n";
    for (char** e = environ; *e; ++e) out << "env " << *e << "\n";
    std::error_code ignored;  // a descriptor closed while the folder is read has no link
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
      out << "fd " << entry.path().filename().string() << " "
          << std::filesystem::read_symlink(entry.path(), ignored).string() << "\n";
  }
  if (RegisterServiceCtrlHandler(
          name, [name](std::uint32_t control) { Handler(control, name); }, g_handle) != 0)
    return;
  Report(kServiceStartPending, 1, 1000);
  for (std::uint32_t i = 0; i < g_options.extraReports; ++i)
    Report(kServiceStartPending, i + 2, 1000);
  if (g_options.mode == "pending") {
    for (int i = 0; i < 6000 && !std::filesystem::exists(g_options.release); ++i) ::usleep(10000);
  }
  // The line goes first: whoever sees the service running finds its line.
  AppendLine(g_options.log, "start " + name);
  Report(kServiceRunning, 0, 0);
  {
    std::unique_lock lock(g_mutex);
    g_stopped.wait(lock, [] { return g_stop; });
  }
  std::lock_guard lock(g_mutex);
  g_status.currentState = kServiceStopped;
  g_status.controlsAccepted = 0;
  g_status.checkPoint = 0;
  g_status.waitHint = 0;
  if (g_options.exitCode != 0) {
    g_status.win32ExitCode = kErrorServiceSpecificError;
    g_status.serviceSpecificExitCode = g_options.exitCode;
  }
  SetServiceStatus(g_handle, g_status);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (arg == "--log")
      g_options.log = next();
    else if (arg == "--env")
      g_options.env = next();
    else if (arg == "--release")
      g_options.release = next();
    else if (arg == "--exit")
      g_options.exitCode = static_cast<std::uint32_t>(std::stoul(next()));
    else if (arg == "--reports")
      g_options.extraReports = static_cast<std::uint32_t>(std::stoul(next()));
    else if (arg == "--nostop")
      g_options.noStop = true;
    else if (arg == "--hangstop")
      g_options.hangStop = true;
    else
      g_options.mode = arg;
  }
  if (g_options.mode == "nodispatch") {
    AppendLine(g_options.log, "pid " + std::to_string(::getpid()));
    ::sleep(120);
    return 0;
  }
  if (g_options.mode == "exit") return 3;
  const long rc = StartServiceCtrlDispatcher({{"FaxmailTestService", ServiceMain}});
  if (rc != 0) {
    std::printf("dispatcher: %ld\n", rc);
    return 2;
  }
  return 0;
}
