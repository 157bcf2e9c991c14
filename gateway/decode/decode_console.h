// The decoder's console texts: warnings and file errors on standard error, progress lines on
// standard output. Both are visible in console mode only; the service runs with them closed.
//
// Warn writes "munpack: warning: TEXT\n". ReportFileError is the error-report form for a file
// that cannot be opened or created: "TEXT: REASON\n" with the text of the calling thread's last
// platform error. MemoryExhausted ends the process when an allocation really fails.
//
// The writers can be replaced (tests, benchmarks, the fuzz driver); the replacement is global
// and must be made while no decoding runs. The writers are called from the decoding thread.
#pragma once

#include <string_view>

namespace faxmail::decode {

struct ConsoleWriters {
  void (*out)(std::string_view text);
  void (*err)(std::string_view text);
};

// Installs writers and returns the previous ones.
ConsoleWriters SetConsoleWriters(ConsoleWriters writers);

void ConsoleOut(std::string_view text);
void Warn(std::string_view text);
void ReportFileError(std::string_view text);

// Writes "Memory exhausted\n" to standard error and ends the process with status 1.
[[noreturn]] void MemoryExhausted();

}  // namespace faxmail::decode
