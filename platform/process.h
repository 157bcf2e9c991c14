// Process-wide services of the platform layer: environment, host name, clock, sleeping,
// the operator notice ("message box"), the program's own path and command line, and the root
// folder of all platform state. Every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace faxmail::platform {

// The value of an environment variable, or nothing when it is not set.
std::optional<std::string> GetEnv(const char* name);

// This machine's host name ("localhost" when the system gives none).
std::string HostName();

// One reading of the clock: whole seconds since 1970-01-01 UTC and the millisecond part.
struct ClockReading {
  std::uint32_t seconds = 0;
  std::uint32_t milliseconds = 0;
};
ClockReading ReadClock();

// The current time in UTC formatted with strftime's format.
std::string FormatUtcNow(const char* format);
// A time in seconds since 1970 (UTC) formatted so.
std::string FormatUtc(std::int64_t seconds, const char* format);

void SleepMs(std::uint32_t milliseconds);

// A blocking notice to the operator with one OK button: "caption: text" on standard error.
void ShowMessageBox(const std::string& text, const std::string& caption);

// The full path of the running executable (empty when the system cannot tell).
std::string ModulePath();

// The command line as one text: the arguments joined with single blanks.
std::string CommandLine(int argc, const char* const* argv);

// Root of all platform state: $FAXMAIL_ROOT, or /var/lib/faxmail.
std::string FaxmailRoot();

// Creates a folder and its parents (mode 0755); true when it exists afterwards.
bool EnsureDirectories(const std::string& path);

// The calling process's id.
long ProcessId();

// Keeps memory a thread frees for that thread's next allocations, up to a bound, instead of
// handing it back to the system at once. A server that takes and frees the same buffers for
// each mail would otherwise return their pages after every mail and fault them in again at the
// next. Called once, early in main; what a process keeps at most is kKeptFreeBytes per heap.
inline constexpr std::size_t kKeptFreeBytes = 1024 * 1024;  // a few mails' stream buffers
void KeepFreedMemoryForReuse();

// Ends the process at once with its exit code, without running destructors of static objects
// (threads still running never meet destroyed objects); standard streams are not flushed.
[[noreturn]] void QuickExit(int code);

}  // namespace faxmail::platform
