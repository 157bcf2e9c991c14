// A stand-in for the configuration applet: its RunDialog appends one line per call, with the
// four arguments it was given, to the file named by FAXMAIL_FAKE_APPLET_LOG.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "applet/run_dialog.h"

extern "C" std::intptr_t RunDialog(void* window, void* message, void* first, void* second) {
  const char* path = std::getenv("FAXMAIL_FAKE_APPLET_LOG");
  if (!path) return 0;
  if (std::FILE* out = std::fopen(path, "a")) {
    std::fprintf(out, "RunDialog %p %p %p %p\n", window, message, first, second);
    std::fclose(out);
  }
  return 0;
}
