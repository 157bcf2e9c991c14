// The process services that are plain library work: the clock, its UTC text and the command
// line as one text. The same on every backend (the runtime library's UTC conversion has a
// name of its own on each).
#include "platform/process.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

namespace faxmail::platform {

ClockReading ReadClock() {
  using namespace std::chrono;
  const auto now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  ClockReading reading;
  reading.seconds = static_cast<std::uint32_t>(now / 1000);
  reading.milliseconds = static_cast<std::uint32_t>(now % 1000);
  return reading;
}

std::string FormatUtcNow(const char* format) { return FormatUtc(std::time(nullptr), format); }

std::string FormatUtc(std::int64_t seconds, const char* format) {
  const auto now = static_cast<std::time_t>(seconds);
  std::tm tm{};
#ifdef _WIN32
  ::gmtime_s(&tm, &now);
#else
  ::gmtime_r(&now, &tm);
#endif
  char text[128];
  const std::size_t n = std::strftime(text, sizeof text, format, &tm);
  return std::string(text, n);
}

std::string CommandLine(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) line.push_back(' ');
    line += argv[i] ? argv[i] : "";
  }
  return line;
}

}  // namespace faxmail::platform
