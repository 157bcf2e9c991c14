// The applet's export. Only RunDialog leaves the library: everything else is hidden, the static
// layers linked into it included.
#include "applet/run_dialog.h"

#include <QApplication>
#include <cstdio>
#include <memory>

#include "applet/config_sheet.h"
#include "platform/registry.h"

namespace {

// Qt ends the process when it cannot reach a display: a host without one gets a line on
// standard error instead.
bool DisplayReachable() {
  return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || qEnvironmentVariableIsSet("DISPLAY") ||
         qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

}  // namespace

extern "C" __attribute__((visibility("default"))) std::intptr_t RunDialog(void*, void*, void*,
                                                                          void*) {
  std::unique_ptr<QApplication> own;
  if (QCoreApplication::instance() == nullptr) {
    if (!DisplayReachable()) {
      std::fputs(
          "faxmailcfg: no display to show the configuration on (DISPLAY, WAYLAND_DISPLAY "
          "and QT_QPA_PLATFORM are unset)\n",
          stderr);
      return 0;
    }
    // The application keeps references to these for its whole life.
    static int argc = 1;
    static char name[] = "faxmailcfg";
    static char* argv[] = {name, nullptr};
    own = std::make_unique<QApplication>(argc, argv);
  } else if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
    std::fputs("faxmailcfg: the host's application object cannot show windows\n", stderr);
    return 0;
  }
  faxmail::applet::RunConfigSheet();
  // The host may unload the applet now: nothing of it may stay behind in memory it owns.
  faxmail::platform::RegReleaseCache();
  return 0;
}
