// The Application event log.
//
// ReportEvent appends one line per event to $FAXMAIL_ROOT/eventlog/Application.log and sends
// it to syslog (facility daemon; error, warning and information as its priorities). A line is
// tab-separated: time in UTC (YYYY-MM-DD HH:MM:SS), source, type, event number, category,
// count of insertion strings, then the strings; "\\", "\t", "\n", "\r" are escaped and a null
// string is written as "\0". A line is appended with one write, so concurrent writers of all
// processes never interleave. Registering a source needs no prior installation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace faxmail::platform {

enum class EventType : std::uint16_t { Error = 1, Warning = 2, Information = 4 };

class EventSource {
 public:
  EventSource() = default;
  bool IsOpen() const noexcept { return !m_name.empty(); }
  const std::string& Name() const noexcept { return m_name; }

 private:
  friend long RegisterEventSource(std::string_view, EventSource&);
  friend long DeregisterEventSource(EventSource&);
  std::string m_name;
};

long RegisterEventSource(std::string_view source, EventSource& out);
long DeregisterEventSource(EventSource& source);
// strings may hold null entries (a missing insertion string).
long ReportEvent(const EventSource& source, EventType type, std::uint16_t category,
                 std::uint32_t eventId, const std::vector<const char*>& strings);

// One entry read back from the log file (for the administrator's tools and the tests).
struct EventRecord {
  std::string time;
  std::string source;
  EventType type = EventType::Information;
  std::uint32_t eventId = 0;
  std::uint16_t category = 0;
  std::vector<std::string> strings;
  std::vector<bool> nullString;  // per string: passed as null
};
long ReadEventLog(std::vector<EventRecord>& out);
std::string EventLogPath();

}  // namespace faxmail::platform
