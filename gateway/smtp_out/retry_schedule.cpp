#include "gateway/smtp_out/retry_schedule.h"

#include <charconv>

#include "base/text.h"
#include "platform/file.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

// A record line: three numbers and their blanks.
constexpr std::size_t kMaxRecordBytes = 80;
// Ready names are short; one that is not gets no record.
constexpr std::size_t kMaxRecordName = 255;
constexpr char kScratchSuffix[] = ".new";

bool ReadNumber(std::string_view& text, std::int64_t& value) {
  text = TrimLeft(text, " ");
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr == text.data()) return false;
  text.remove_prefix(static_cast<std::size_t>(result.ptr - text.data()));
  return true;
}

}  // namespace

RetryPolicy ParseRetryPolicy(std::string_view schedule, std::uint32_t lifetimeHours,
                             std::string& problems) {
  RetryPolicy policy;
  problems.clear();
  const auto problem = [&](std::string_view entry, const char* why) {
    if (!problems.empty()) problems += "; ";
    problems += "\"" + std::string(entry) + "\" " + why;
  };
  while (!schedule.empty()) {
    const auto comma = schedule.find(',');
    const std::string_view entry = Trim(schedule.substr(0, comma), " \t");
    schedule = comma == std::string_view::npos ? std::string_view() : schedule.substr(comma + 1);
    if (entry.empty()) continue;
    std::int64_t seconds = 0;
    const auto result = std::from_chars(entry.data(), entry.data() + entry.size(), seconds);
    if (result.ec != std::errc() || result.ptr != entry.data() + entry.size() || seconds < 1 ||
        seconds > kMaxRetryDelaySeconds) {
      problem(entry, "is no number of seconds from 1 to a week");
    } else if (policy.delays.size() == kMaxRetryEntries) {
      problem(entry, "is beyond the most entries a schedule has");
    } else {
      policy.delays.emplace_back(seconds);
    }
  }
  policy.lifetime = std::chrono::hours(lifetimeHours);
  return policy;
}

std::optional<RetryRecord> AfterFailure(const RetryPolicy& policy,
                                        const std::optional<RetryRecord>& previous,
                                        std::int64_t now) {
  if (!policy.Active()) return std::nullopt;
  RetryRecord record = previous.value_or(RetryRecord{0, now, now});
  ++record.failures;
  const std::int64_t lifetime = std::chrono::seconds(policy.lifetime).count();
  if (lifetime > 0) {
    if (now - record.firstFailure >= lifetime) return std::nullopt;
  } else if (record.failures > policy.delays.size()) {
    return std::nullopt;
  }
  const std::size_t index = std::min<std::size_t>(record.failures, policy.delays.size()) - 1;
  record.nextAttempt = now + policy.delays[index].count();
  // The last attempt falls on the lifetime's end, not after it.
  if (lifetime > 0)
    record.nextAttempt = std::min(record.nextAttempt, record.firstFailure + lifetime);
  return record;
}

std::string FormatRetryRecord(const RetryRecord& record) {
  return std::to_string(record.failures) + " " + std::to_string(record.firstFailure) + " " +
         std::to_string(record.nextAttempt) + "\n";
}

std::optional<RetryRecord> ParseRetryRecord(std::string_view text) {
  if (text.size() > kMaxRecordBytes || !text.ends_with('\n')) return std::nullopt;
  text.remove_suffix(1);
  std::int64_t failures = 0;
  RetryRecord record;
  if (!ReadNumber(text, failures) || !ReadNumber(text, record.firstFailure) ||
      !ReadNumber(text, record.nextAttempt) || !text.empty() || failures < 1 ||
      failures > UINT32_MAX || record.nextAttempt < record.firstFailure)
    return std::nullopt;
  record.failures = static_cast<std::uint32_t>(failures);
  return record;
}

std::optional<RetryRecord> RetryStore::Read(const std::string& name) const {
  platform::File file;
  if (platform::File::Open(m_folder + name, platform::Access::Read, platform::Share::Read,
                           platform::Disposition::OpenExisting, file, platform::Links::DontFollow,
                           platform::Kind::RegularFile) != platform::kErrorSuccess)
    return std::nullopt;
  std::string text(kMaxRecordBytes + 1, '\0');
  std::size_t got = 0;
  if (file.Read(text.data(), text.size(), got) != platform::kErrorSuccess) return std::nullopt;
  text.resize(got);
  return ParseRetryRecord(text);
}

bool RetryStore::Write(const std::string& name, const RetryRecord& record) {
  if (name.empty() || name.size() > kMaxRecordName) return false;
  if (platform::CreatePrivateDirectory(m_folder.substr(0, m_folder.size() - 1)) !=
      platform::kErrorSuccess)
    return false;
  const std::string scratch = m_folder + name + kScratchSuffix;
  platform::File file;
  if (platform::File::Open(scratch, platform::Access::Write, platform::Share::None,
                           platform::Disposition::CreateAlways, file, platform::Links::DontFollow,
                           platform::Kind::RegularFile) != platform::kErrorSuccess)
    return false;
  const bool written = file.Write(FormatRetryRecord(record)) == platform::kErrorSuccess &&
                       file.Sync() == platform::kErrorSuccess &&
                       file.Close() == platform::kErrorSuccess;
  if (!written || platform::RenameFile(scratch, m_folder + name, true) != platform::kErrorSuccess) {
    platform::DeleteFile(scratch);
    return false;
  }
  return true;
}

void RetryStore::Remove(const std::string& name) { platform::DeleteFile(m_folder + name); }

std::vector<std::string> RetryStore::Names() const {
  std::vector<platform::DirEntry> entries;
  std::vector<std::string> names;
  if (platform::FindFiles(m_folder, "*", entries) != platform::kErrorSuccess) return names;
  for (const platform::DirEntry& entry : entries)
    if (!entry.isDirectory && !EndsWithNoCase(entry.name, kScratchSuffix))
      names.push_back(entry.name);
  return names;
}

}  // namespace faxmail
