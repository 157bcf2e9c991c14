#include "platform/eventlog.h"

#include <cstring>
#include <ctime>
#include <string>

#include "platform/win32/windows_api.h"
#include "platform/win_error.h"

namespace faxmail::platform {

namespace {

constexpr char kLogName[] = "Application";
// The records read back at a time; the log is read from its start to its end.
constexpr DWORD kReadBuffer = 64 * 1024;
// Insertion strings a record may carry (the system's own limit).
constexpr WORD kMaxStrings = 100;

long Fail(long error) {
  SetLastError(error);
  return error;
}

WORD NativeType(EventType type) {
  switch (type) {
    case EventType::Error: return EVENTLOG_ERROR_TYPE;
    case EventType::Warning: return EVENTLOG_WARNING_TYPE;
    case EventType::Information: return EVENTLOG_INFORMATION_TYPE;
  }
  return EVENTLOG_INFORMATION_TYPE;
}

std::string UtcText(DWORD seconds) {
  const std::time_t when = static_cast<std::time_t>(seconds);
  std::tm tm{};
  ::gmtime_s(&tm, &when);
  char stamp[32];
  const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  return std::string(stamp, n);
}

// The text at offset within one record, bounded by the record's end.
std::string TextAt(const unsigned char* record, std::size_t length, std::size_t offset) {
  if (offset >= length) return {};
  const char* text = reinterpret_cast<const char*>(record + offset);
  return std::string(text, ::strnlen(text, length - offset));
}

}  // namespace

// The system keeps the log itself; this is its name, not a file.
std::string EventLogPath() { return kLogName; }

long RegisterEventSource(std::string_view source, EventSource& out) {
  if (source.empty()) return Fail(kErrorInvalidParameter);
  // The system hands out a handle per registration; ReportEvent takes one for each report, so
  // an EventSource stays a plain name that any thread may use.
  const HANDLE handle = ::RegisterEventSourceA(nullptr, std::string(source).c_str());
  if (!handle) return Fail(static_cast<long>(::GetLastError()));
  ::DeregisterEventSource(handle);
  out.m_name = std::string(source);
  return kErrorSuccess;
}

long DeregisterEventSource(EventSource& source) {
  if (!source.IsOpen()) return kErrorInvalidHandle;
  source.m_name.clear();
  return kErrorSuccess;
}

long ReportEvent(const EventSource& source, EventType type, std::uint16_t category,
                 std::uint32_t eventId, const std::vector<const char*>& strings) {
  if (!source.IsOpen()) return Fail(kErrorInvalidHandle);
  if (strings.size() > kMaxStrings) return Fail(kErrorInvalidParameter);
  const HANDLE handle = ::RegisterEventSourceA(nullptr, source.Name().c_str());
  if (!handle) return Fail(static_cast<long>(::GetLastError()));
  // A missing insertion string is passed as the system takes it: an empty one.
  std::vector<LPCSTR> texts;
  texts.reserve(strings.size());
  for (const char* s : strings) texts.push_back(s ? s : "");
  const BOOL reported = ::ReportEventA(handle, NativeType(type), category, eventId, nullptr,
                                       static_cast<WORD>(texts.size()), 0,
                                       texts.empty() ? nullptr : texts.data(), nullptr);
  const DWORD error = ::GetLastError();
  ::DeregisterEventSource(handle);
  if (!reported) return Fail(static_cast<long>(error));
  return kErrorSuccess;
}

long ReadEventLog(std::vector<EventRecord>& out) {
  out.clear();
  const HANDLE log = ::OpenEventLogA(nullptr, kLogName);
  if (!log) return Fail(static_cast<long>(::GetLastError()));
  struct LogCloser {
    HANDLE log;
    ~LogCloser() { ::CloseEventLog(log); }
  } closer{log};
  std::vector<unsigned char> buffer(kReadBuffer);
  for (;;) {
    DWORD got = 0;
    DWORD needed = 0;
    if (!::ReadEventLogA(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &got, &needed)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_INSUFFICIENT_BUFFER && needed > buffer.size()) {
        buffer.resize(needed);
        continue;
      }
      // The end of the log, or a log that keeps nothing.
      if (error == ERROR_HANDLE_EOF || got == 0) return kErrorSuccess;
      return Fail(static_cast<long>(error));
    }
    std::size_t offset = 0;
    while (got - offset >= sizeof(EVENTLOGRECORD)) {
      EVENTLOGRECORD header;
      std::memcpy(&header, buffer.data() + offset, sizeof header);
      if (header.Length < sizeof header || header.Length > got - offset) break;
      const unsigned char* record = buffer.data() + offset;
      EventRecord entry;
      entry.time = UtcText(header.TimeGenerated);
      entry.source = TextAt(record, header.Length, sizeof header);
      entry.type = header.EventType == EVENTLOG_ERROR_TYPE     ? EventType::Error
                   : header.EventType == EVENTLOG_WARNING_TYPE ? EventType::Warning
                                                               : EventType::Information;
      entry.eventId = header.EventID & 0xffff;
      entry.category = header.EventCategory;
      std::size_t at = header.StringOffset;
      for (WORD i = 0; i < header.NumStrings && at < header.Length; ++i) {
        std::string text = TextAt(record, header.Length, at);
        at += text.size() + 1;
        entry.strings.push_back(std::move(text));
        entry.nullString.push_back(false);
      }
      out.push_back(std::move(entry));
      offset += header.Length;
    }
  }
}

}  // namespace faxmail::platform
