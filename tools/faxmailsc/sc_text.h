// The texts of faxmailsc, laid out as the system's service command prints them: status and
// configuration blocks, the table of status reports, and failures with their error numbers.
//
// Every function only formats; nothing here asks the service control manager anything.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/service_control.h"

namespace faxmail::sc {

// "RUNNING", "START_PENDING" ...; "UNKNOWN" for a number the manager does not define.
std::string StateName(std::uint32_t state);
// "AUTO_START", "DEMAND_START", "DISABLED".
std::string StartTypeName(std::uint32_t startType);

// The field lines of a status (TYPE, STATE with the controls accepted, WIN32_EXIT_CODE,
// SERVICE_EXIT_CODE, CHECKPOINT, WAIT_HINT, PID), each ending in a line feed.
std::string StatusLines(const platform::ServiceStatus& status);
// A blank line, "SERVICE_NAME: name", "DISPLAY_NAME: text" when displayName is given, and
// the status lines.
std::string StatusBlock(std::string_view name, const platform::ServiceStatus& status,
                        const std::string* displayName = nullptr);
// "SERVICE_NAME: name" and the record's field lines.
std::string ConfigBlock(const platform::ServiceConfig& config);
// One line per report, oldest first, under a header line.
std::string ReportsTable(const std::vector<platform::ServiceStatus>& reports);

// "[SC] StartService FAILED 1058:", a blank line, and the system's text for the number.
std::string FailureText(std::string_view operation, long error);
// The system's text for the number, and the number itself when it has none.
std::string ErrorMessage(long error);

}  // namespace faxmail::sc
