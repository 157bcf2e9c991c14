// faxmailadm: the administrator's host for the configuration applet.
//
//   faxmailadm [--applet PATH] [--times N]
//
// Loads the applet (by default libfaxmailcfg.so of the installed layout beside this program,
// else of the build tree), calls its RunDialog, which shows the settings sheet until it is
// closed, and unloads it; N times (default 1). Exit status 0 when every round ran, 1 when the
// applet could not be loaded or has no RunDialog, 2 for a usage error; the reason goes to
// standard error.
#include <iostream>
#include <string>
#include <vector>

#include "platform/process.h"
#include "tools/faxmailadm/adm.h"

namespace {

constexpr char kUsage[] =
    "usage: faxmailadm [--applet PATH] [--times N]\n"
    "  loads the configuration applet, shows its settings sheet and unloads it, N times\n";

}  // namespace

int main(int argc, char** argv) {
  namespace adm = faxmail::adm;
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  adm::Options options;
  std::string error;
  if (!adm::ParseArguments(args, options, error)) {
    std::cerr << "faxmailadm: " << error << "\n" << kUsage;
    return adm::kExitUsage;
  }
  if (options.applet.empty()) {
    const std::string program = faxmail::platform::ModulePath();
    if (program.empty()) {
      std::cerr << "faxmailadm: cannot tell where this program lies; name the applet with "
                   "--applet\n";
      return adm::kExitNoApplet;
    }
    options.applet = adm::DefaultAppletPath(program);
  }
  const int rc = adm::RunApplet(options.applet, options.times, error);
  if (rc != adm::kExitSuccess) std::cerr << "faxmailadm: " << error << "\n";
  return rc;
}
