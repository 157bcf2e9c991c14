// The runtime files of one service, in its own folder under ServiceRuntimeFolder().
//
// The folder is named by ServiceId (a hash of the lower-cased service name), which keeps the
// control channel's path short: a Unix socket's path holds at most kMaxUnixSocketPath bytes,
// so $FAXMAIL_ROOT itself must stay well below that. In the folder:
//   lock        an flock the service process holds for its whole life (alive = held)
//   ctl         the control channel, a listening Unix socket (service_channel.h)
//   status      the last status report, one line, replaced by rename
//   reports     the reports of the current run, one line each, oldest first
//   start.lock  held while a start runs, so that two starts cannot cross
// Everything read here may have been written by hand or damaged: such a file reads as no
// status (or, in the journal, as no line), never as a fault. Every read is bounded.
// Platform-internal; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_lock.h"
#include "platform/service_control.h"

namespace faxmail::platform::scm {

using registry::UniqueFd;

// sun_path holds 108 bytes including the terminating zero.
inline constexpr std::size_t kMaxUnixSocketPath = 107;
// One status line: seven decimal numbers of at most 20 digits, blanks and the line end.
inline constexpr std::size_t kMaxStatusLine = 160;
// The journal never holds more than the lines kept (plus one being appended).
inline constexpr std::size_t kMaxReportsFileBytes = (kMaxStatusReportsKept + 1) * kMaxStatusLine;

// The service name folded for comparison (ASCII letters lower-cased, as the hive compares).
std::string FoldName(std::string_view name);
bool SameName(std::string_view a, std::string_view b);
// 16 hex digits of the 64-bit FNV-1a hash of the folded name.
std::string ServiceId(std::string_view name);

class ServiceFiles {
 public:
  explicit ServiceFiles(std::string_view name);
  const std::string& Folder() const noexcept { return m_folder; }
  std::string LockPath() const { return m_folder + "/lock"; }
  std::string ChannelPath() const { return m_folder + "/ctl"; }
  std::string StatusPath() const { return m_folder + "/status"; }
  std::string ReportsPath() const { return m_folder + "/reports"; }
  std::string StartLockPath() const { return m_folder + "/start.lock"; }
  // Creates the folder: 0 or an error number.
  long Ensure() const;
  // Removes every runtime file and the folder (a deleted service leaves nothing behind).
  void RemoveAll() const;

 private:
  std::string m_folder;
};

// Whether a process holds the service's life lock.
bool IsProcessAlive(const ServiceFiles& files);
// Takes the life lock for a new run (close-on-exec; the launch hands it to the process).
// kErrorServiceAlreadyRunning when a process holds it.
long AcquireLifeLock(const ServiceFiles& files, UniqueFd& out);
// Takes start.lock, waiting for a start in progress to finish.
long AcquireStartLock(const ServiceFiles& files, UniqueFd& out);
// The same without waiting: false when a start runs (or the file cannot be opened).
bool TryStartLock(const ServiceFiles& files, UniqueFd& out);

std::string FormatStatus(const ServiceStatus& status);
std::optional<ServiceStatus> ParseStatus(std::string_view line);

// The last report, or nothing when there is none or it does not parse.
std::optional<ServiceStatus> ReadStatus(const ServiceFiles& files);
long WriteStatus(const ServiceFiles& files, const ServiceStatus& status);

// The journal of the current run: emptied at each start; lines are appended, and the file is
// rewritten with the last kMaxStatusReportsKept lines when it would hold more.
long ResetReports(const ServiceFiles& files);
long AppendReport(const ServiceFiles& files, const ServiceStatus& status, std::size_t& count);
long ReadReports(const ServiceFiles& files, std::vector<ServiceStatus>& out);

// Hands the folder and its journal to the account a service runs as, so that its process can
// report (only a root starter switches accounts, and only it may give files away).
long GiveToAccount(const ServiceFiles& files, std::uint32_t uid, std::uint32_t gid);

// Marks a descriptor close-on-exec.
void SetCloseOnExec(int fd);

}  // namespace faxmail::platform::scm
