// Process entry of faxmailgw: the mode comes from the last two characters of the command line.
#include <cstdio>
#include <cstdlib>

#include "gateway/host/service.h"
#include "gateway/host/start_gateway.h"
#include "platform/process.h"

namespace {
// The console run's exit when the gateway did not start.
constexpr int kExitNotStarted = 1;
}  // namespace

int main(int argc, char** argv) {
  using namespace faxmail;
  const GatewayMode mode = ModeFromCommandLine(platform::CommandLine(argc, argv));
  switch (mode) {
    case GatewayMode::Console: {
      CService service;
      if (StartGateway(&service) == kGatewayNotStarted) {
        std::fprintf(stderr, "faxmailgw: the gateway did not start: %s\n",
                     StartGatewayProblem().c_str());
        std::fflush(stderr);
        std::quick_exit(kExitNotStarted);
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
      std::quick_exit(0);
    }
    case GatewayMode::Install:
    case GatewayMode::Remove:
    case GatewayMode::Service:
      std::fputs("faxmailgw: this mode is not available yet; use -m for the console\n", stderr);
      return 2;
  }
  return 2;
}
