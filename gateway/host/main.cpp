// Process entry of faxmailgw: the mode comes from the last two characters of the command line.
//
// Exit codes: 0 when the mode did its job (console ended with "q", service installed or
// removed, service stopped), 1 when it did not. The process ends with platform::QuickExit
// wherever the gateway may have run: its threads run on until then and must not meet
// destroyed objects.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "gateway/host/install.h"
#include "gateway/host/service.h"
#include "gateway/host/start_gateway.h"
#include "gateway/service/log.h"
#include "platform/process.h"
#include "platform/win_error.h"

namespace {

// The process's one service object, there before the entry runs and never destroyed.
faxmail::CService g_service;

int RunConsole() {
  using namespace faxmail;
  CService service;
  if (StartGateway(&service) == kGatewayNotStarted) {
    std::fprintf(stderr, "faxmailgw: the gateway did not start: %s\n",
                 StartGatewayProblem().c_str());
    std::fflush(stderr);
    platform::QuickExit(kModeFailed);
  }
  std::fputs("Press q to stop the gateway\n", stdout);
  std::fflush(stdout);
  for (;;) {
    const int c = std::getchar();
    if (c == 'q') break;
    platform::SleepMs(1000);
  }
  // The receiver's and sender's threads end with the process, not before it.
  std::fflush(stdout);
  platform::QuickExit(kModeDone);
}

int RunService() {
  using namespace faxmail;
  if (g_service.Initservice(kServiceName, StartGateway) == 0) {
    // Not started by the service control manager: somebody ran the program by hand.
    platform::ShowMessageBox("Command prompt:Service will about to start", "Startup Message");
    platform::ShowMessageBox(std::string(platform::ErrorText(g_service.DispatcherError())),
                             "Error");
    return kModeFailed;
  }
  std::fflush(stdout);
  platform::QuickExit(g_service.StartFailure() != 0 ? kModeFailed : kModeDone);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace faxmail;
  platform::KeepFreedMemoryForReuse();
  switch (ModeFromCommandLine(platform::CommandLine(argc, argv))) {
    case GatewayMode::Console: return RunConsole();
    case GatewayMode::Install: return InstallService();
    case GatewayMode::Remove: return RemoveService();
    case GatewayMode::Service: return RunService();
  }
  return kModeFailed;
}
