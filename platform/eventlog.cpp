#include "platform/eventlog.h"

#include <syslog.h>
#include <ctime>
#include <string>

#include "platform/process.h"
#include "platform/stream.h"
#include "platform/win_error.h"

namespace faxmail::platform {

namespace {

// Longest line read back; longer ones are cut (a report's strings are short texts).
constexpr std::size_t kMaxLine = 64 * 1024;

void AppendEscaped(std::string& line, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '\\': line += "\\\\"; break;
      case '\t': line += "\\t"; break;
      case '\n': line += "\\n"; break;
      case '\r': line += "\\r"; break;
      default: line.push_back(c);
    }
  }
}

std::string Unescape(std::string_view field, bool& isNull) {
  isNull = field == "\\0";
  std::string out;
  if (isNull) return out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 1 < field.size()) {
      const char n = field[++i];
      out.push_back(n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n);
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const auto tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  return fields;
}

const char* TypeName(EventType type) {
  switch (type) {
    case EventType::Error: return "error";
    case EventType::Warning: return "warning";
    case EventType::Information: return "information";
  }
  return "information";
}

}  // namespace

std::string EventLogPath() { return FaxmailRoot() + "/eventlog/Application.log"; }

long RegisterEventSource(std::string_view source, EventSource& out) {
  if (source.empty()) {
    SetLastError(kErrorInvalidParameter);
    return kErrorInvalidParameter;
  }
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
  if (!source.IsOpen()) {
    SetLastError(kErrorInvalidHandle);
    return kErrorInvalidHandle;
  }
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);

  std::string line = stamp;
  line.push_back('\t');
  AppendEscaped(line, source.Name());
  line += '\t';
  line += TypeName(type);
  line += '\t' + std::to_string(eventId) + '\t' + std::to_string(category) + '\t' +
          std::to_string(strings.size());
  std::string text;  // for syslog
  for (const char* s : strings) {
    line.push_back('\t');
    if (s) {
      AppendEscaped(line, s);
      if (!text.empty()) text += "; ";
      text += s;
    } else {
      line += "\\0";
    }
  }
  line.push_back('\n');

  const int priority = type == EventType::Error     ? LOG_ERR
                       : type == EventType::Warning ? LOG_WARNING
                                                    : LOG_INFO;
  ::syslog(LOG_DAEMON | priority, "%s: event %u: %s", source.Name().c_str(), eventId, text.c_str());

  const std::string folder = FaxmailRoot() + "/eventlog";
  EnsureDirectories(folder);
  return AppendToFile(EventLogPath(), line);
}

long ReadEventLog(std::vector<EventRecord>& out) {
  out.clear();
  Stream in;
  if (const long err = Stream::Open(EventLogPath(), "r", StreamMode::Binary, Share::ReadWrite, in))
    return err == kErrorFileNotFound ? kErrorSuccess : err;
  std::string line;
  while (in.ReadLine(line, kMaxLine)) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    const auto fields = SplitTabs(line);
    if (fields.size() < 6) continue;
    EventRecord record;
    record.time = std::string(fields[0]);
    bool isNull = false;
    record.source = Unescape(fields[1], isNull);
    record.type = fields[2] == "error"     ? EventType::Error
                  : fields[2] == "warning" ? EventType::Warning
                                           : EventType::Information;
    record.eventId =
        static_cast<std::uint32_t>(std::strtoul(std::string(fields[3]).c_str(), nullptr, 10));
    record.category =
        static_cast<std::uint16_t>(std::strtoul(std::string(fields[4]).c_str(), nullptr, 10));
    for (std::size_t i = 6; i < fields.size(); ++i) {
      record.strings.push_back(Unescape(fields[i], isNull));
      record.nullString.push_back(isNull);
    }
    out.push_back(std::move(record));
  }
  return kErrorSuccess;
}

}  // namespace faxmail::platform
