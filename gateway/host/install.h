// Install and remove modes of faxmailgw: the service record of the gateway and the event-log
// source it reports under.
//
// Each mode tells the operator its outcome in one message box ("caption: text" on standard
// error) and returns the process's exit code: kModeDone when it did its job, kModeFailed when
// it did not. Install writes the service record (automatic start, own process, LocalSystem,
// the executable's own path as its image, unquoted and without arguments) and the event source
// key; remove deletes a stopped service's record and leaves the event source key in place.
// Events 420, 421 and 422 record the outcome in the Application log. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace faxmail {

inline constexpr int kModeDone = 0;
inline constexpr int kModeFailed = 1;

// The key of the event source, under the local machine hive.
inline constexpr char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Corvane SMTP Server";
// The event types the source reports: error, warning and information.
inline constexpr std::uint32_t kEventTypesSupported = 7;
// The longest executable path the service record takes.
inline constexpr std::size_t kMaxModulePath = 512;

// Event numbers of the two modes.
inline constexpr std::uint32_t kInstalledEvent = 420;
inline constexpr std::uint32_t kRemovedEvent = 421;
inline constexpr std::uint32_t kRemoveFailedEvent = 422;

int InstallService();
int RemoveService();

}  // namespace faxmail
