#include "platform/stop_signal.h"

#include <atomic>

#include "platform/win32/windows_api.h"

namespace faxmail::platform {
namespace {

std::atomic<bool> g_stop{false};

// Ctrl+C, Ctrl+Break and the console's close are recorded only; the tool ends by itself.
BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT: g_stop = true; return TRUE;
    default: return FALSE;
  }
}

}  // namespace

void InstallStopSignals() {
  static const bool installed = ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
  (void)installed;
}

bool StopRequested() noexcept { return g_stop.load(); }

}  // namespace faxmail::platform
