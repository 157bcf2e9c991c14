#include "gateway/decode/decode_console.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win_error.h"

namespace faxmail::decode {

namespace {

void WriteStdout(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void WriteStderr(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stderr); }

ConsoleWriters g_writers{WriteStdout, WriteStderr};

}  // namespace

ConsoleWriters SetConsoleWriters(ConsoleWriters writers) {
  const ConsoleWriters previous = g_writers;
  g_writers = writers;
  return previous;
}

void ConsoleOut(std::string_view text) { g_writers.out(text); }

void Warn(std::string_view text) {
  std::string line = "munpack: warning: ";
  line.append(text).push_back('\n');
  g_writers.err(line);
}

void ReportFileError(std::string_view text) {
  std::string line(text);
  line.append(": ").append(platform::ErrorText(platform::LastError())).push_back('\n');
  g_writers.err(line);
}

void MemoryExhausted() {
  g_writers.err("Memory exhausted\n");
  std::exit(1);
}

}  // namespace faxmail::decode
