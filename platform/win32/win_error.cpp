#include "platform/win_error.h"

#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/win32/windows_api.h"

namespace faxmail::platform {

namespace {
thread_local long t_lastError = kErrorSuccess;
}

long LastError() noexcept { return t_lastError; }

// Kept in the system's own slot too, for anything that asks the system.
void SetLastError(long error) noexcept {
  t_lastError = error;
  ::SetLastError(static_cast<DWORD>(error));
}

long SetLastErrorFromErrno() noexcept {
  SetLastError(ErrorFromErrno(errno));
  return t_lastError;
}

namespace {

// The longest sentence taken from the system; its own are one line.
constexpr DWORD kMaxSystemText = 512;

std::string FetchSystemText(long error) {
  char buffer[kMaxSystemText] = {};
  const DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, static_cast<DWORD>(error), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), buffer,
      kMaxSystemText, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n'))
    text.pop_back();
  return text;
}

}  // namespace

std::string_view SystemMessageText(long error) noexcept {
  // Fetched once per number and kept for the life of the process, since callers hold the view.
  // The numbers asked for are few (those of message boxes and service errors).
  static std::mutex lock;
  static std::map<long, std::string> texts;
  try {
    const std::lock_guard guard(lock);
    auto found = texts.find(error);
    if (found == texts.end()) found = texts.emplace(error, FetchSystemText(error)).first;
    if (!found->second.empty()) return found->second;
  } catch (...) {
  }
  return error == kErrorSuccess ? "The operation completed successfully." : ErrorText(error);
}

}  // namespace faxmail::platform
