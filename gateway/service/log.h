// The diagnostic log: two plain-text channels named in the registry, and the event log.
//
// The main channel (registry value "logfile") takes every module's trace; the secondary channel
// ("logfileb") a smaller set about received messages and their files. A channel is on when its
// path has 4 or more characters. Both are off until GetDebugSettings2 has run at start; entries
// written before are discarded.
//
// An entry is the message, blanks up to column 75, " HH:MM:SS dd/mm/yy (TAG - LINE)" in UTC and
// CR LF; without its line end it is at most kMaxEntry characters (a longer message is cut).
// Control characters in a message are written as '?', so an entry is always one line. Each
// entry is one append of one line to a file opened and closed for it: concurrent writers never
// interleave within a line, and the file may be moved or deleted while the gateway runs. An
// unwritable path loses entries silently; the log never stops the gateway.
//
// Callers pass their module's source tag and the line of the call (__LINE__). Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/eventlog.h"

namespace faxmail {

inline constexpr std::size_t kMaxEntry = 999;
inline constexpr std::size_t kLogColumn = 75;

// Event source, service name and display name of the gateway.
inline constexpr char kServiceName[] = "Corvane SMTP Server";

void GetDebugSettings2();

void LogMessage(std::string_view message, std::string_view tag, int line);
void LogMessageText(std::string_view message, std::string_view text, std::string_view tag,
                    int line);
void LogMessage2(std::string_view message, std::string_view tag, int line);
void LogMessageText2(std::string_view message, std::string_view text, std::string_view tag,
                     int line);

// Logs "WSA Socket Error: (%d)" with the calling thread's last error (tag CFILEMAN) and
// returns that error.
long LogSocketError();

// Whether the main channel is on: work files are then kept with KeepDebugCopy, not deleted.
bool IsMainLogOn();
bool IsSecondaryLogOn();

// Names KeepDebugCopy tries for one file within one second before it leaves the file under
// its own name: far more work files than the gateway finishes in a second.
inline constexpr unsigned kMaxDebugCopyNames = 1000;

// Renames a finished work file (the gateway's own, closed) to its name without the extension +
// "-SECONDS.debug", or, when that name is taken, "-SECONDS-N.debug" with the first free N; an
// existing copy is never replaced. A rename that fails leaves the file under its own name.
void KeepDebugCopy(const std::string& path);
// The same for a file that was renamed since it was a work file: its copy is named after
// namedAfter, the work file's name.
void KeepDebugCopy(const std::string& path, const std::string& namedAfter);

// Reports an event under the gateway's source. The insertion strings are the texts given up to
// the last non-null one; a null one before it is passed as null.
void ReportGatewayEvent(platform::EventType type, std::uint32_t eventId,
                        const char* text1 = nullptr, const char* text2 = nullptr,
                        const char* text3 = nullptr);

// Lets go of the event source; the next report registers it again.
void ReleaseGatewayEventSource();

// One entry as it is written (without CR LF), for a given time text.
std::string FormatLogEntry(std::string_view message, std::string_view tag, int line,
                           std::string_view time);
// The path KeepDebugCopy renames a file to, for a given time in seconds and, from 1 on, the
// counter of a name that was taken.
std::string DebugCopyName(const std::string& path, std::uint64_t seconds, unsigned counter = 0);

}  // namespace faxmail
