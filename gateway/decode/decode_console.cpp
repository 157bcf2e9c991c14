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

std::string_view PlatformErrorText(long error) {
  using namespace platform;
  switch (error) {
    case kErrorSuccess: return "No error";
    case kErrorFileNotFound: return "No such file or directory";
    case kErrorPathNotFound: return "No such file or directory";
    case kErrorTooManyOpenFiles: return "Too many open files";
    case kErrorAccessDenied: return "Permission denied";
    case kErrorInvalidHandle: return "Bad file descriptor";
    case kErrorNotEnoughMemory: return "Cannot allocate memory";
    case kErrorWriteFault: return "Input/output error";
    case kErrorReadFault: return "Input/output error";
    case kErrorSharingViolation: return "File is in use by another process";
    case kErrorFileExists:
    case kErrorAlreadyExists: return "File exists";
    case kErrorInvalidParameter: return "Invalid argument";
    case kErrorDiskFull: return "No space left on device";
    case kErrorInvalidName: return "File name too long";
    case kErrorDirNotEmpty: return "Directory not empty";
    case kErrorStoppedOnSymlink: return "Is a symbolic link";
    default: return "Unknown error";
  }
}

void ReportFileError(std::string_view text) {
  std::string line(text);
  line.append(": ").append(PlatformErrorText(platform::LastError())).push_back('\n');
  g_writers.err(line);
}

void MemoryExhausted() {
  g_writers.err("Memory exhausted\n");
  std::exit(1);
}

}  // namespace faxmail::decode
