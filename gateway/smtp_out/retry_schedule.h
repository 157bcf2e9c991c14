// Deferred retries of the sender (RetrySchedule, MaxQueueLifetime): a ready file whose
// delivery failed waits in IN under its ready name until its next attempt, while other files go
// on being delivered. How often it has failed and when it is next tried are kept in a record of
// its own in the data directory's ".retry" folder (the fax server's file is never rewritten),
// so a restart keeps them.
//
// A record is one line, "FAILURES FIRST NEXT\n": the failed attempts so far, and the wall-clock
// times (seconds since 1970) of the first failure and of the next attempt. It is written whole
// under a scratch name and renamed over the old one. A record that does not read as one is
// taken as none (the file is tried at once and its count starts again) and removed.
// The sender's thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace faxmail {

// Entries of a schedule: enough for any sensible back-off; more is a mistake in the value.
inline constexpr std::size_t kMaxRetryEntries = 32;
// One wait at most a week: a notice later than that is of no use.
inline constexpr std::int64_t kMaxRetryDelaySeconds = 7 * 24 * 3600;
// The record folder, beside IN and OUT.
inline constexpr char kRetryFolderName[] = ".retry";

struct RetryPolicy {
  std::vector<std::chrono::seconds> delays;  // empty: the five immediate attempts of old
  std::chrono::hours lifetime{0};            // 0: until the schedule is used up
  bool Active() const noexcept { return !delays.empty(); }
};

// RetrySchedule ("60,300,900": seconds, blanks allowed) and MaxQueueLifetime (hours). Entries
// that are no whole number from 1 to kMaxRetryDelaySeconds, and those beyond kMaxRetryEntries,
// are left out and named in problems (empty when there is none).
RetryPolicy ParseRetryPolicy(std::string_view schedule, std::uint32_t lifetimeHours,
                             std::string& problems);

struct RetryRecord {
  std::uint32_t failures = 0;
  std::int64_t firstFailure = 0;  // seconds since 1970
  std::int64_t nextAttempt = 0;
};

// What to do after a failed attempt at now (seconds since 1970): wait for the record's next
// attempt, or give up (nullopt): the lifetime has run out, or, without one, every wait of the
// schedule has been waited. After the schedule's last entry, that entry repeats.
std::optional<RetryRecord> AfterFailure(const RetryPolicy& policy,
                                        const std::optional<RetryRecord>& previous,
                                        std::int64_t now);

std::string FormatRetryRecord(const RetryRecord& record);
std::optional<RetryRecord> ParseRetryRecord(std::string_view text);

// The records of one data directory (folder: ProgramPath + kRetryFolderName + separator).
class RetryStore {
 public:
  explicit RetryStore(std::string folder) : m_folder(std::move(folder)) {}

  std::optional<RetryRecord> Read(const std::string& name) const;
  // false when the record could not be written (the file is then tried at every poll).
  bool Write(const std::string& name, const RetryRecord& record);
  void Remove(const std::string& name);
  // The names that have a record.
  std::vector<std::string> Names() const;

 private:
  std::string m_folder;
};

}  // namespace faxmail
