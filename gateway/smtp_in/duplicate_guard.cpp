#include "gateway/smtp_in/duplicate_guard.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>

#include "base/text.h"
#include "gateway/service/log.h"
#include "gateway/smtp_in/mail_path.h"
#include "platform/temp_file.h"
#include "platform/digest.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "SMTP_IN";
constexpr std::string_view kBlanks = " \t";
// A Message-ID quoted in the log is cut to this length.
constexpr std::size_t kLoggedIdLimit = 200;
constexpr std::size_t kDigestHexLength = 64;
constexpr char kScratchSuffix[] = ".new";

void LogBothChannels(std::string_view message, std::string_view text, int line) {
  LogMessageText(message, text, kTag, line);
  LogMessageText2(message, text, kTag, line);
}

// Peer bytes made fit for a log line.
std::string Printable(std::string_view text) {
  std::string out(text.substr(0, kLoggedIdLimit));
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7f) c = '?';
  }
  if (text.size() > kLoggedIdLimit) out += "...";
  return out;
}

bool IsHexDigest(std::string_view text) {
  return text.size() == kDigestHexLength && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// One record line without its LF: "<seconds> <digest>".
std::optional<std::pair<std::int64_t, std::string>> ParseRecordLine(std::string_view line) {
  const auto blank = line.find(' ');
  if (blank == 0 || blank == std::string_view::npos || blank > 19) return std::nullopt;
  std::int64_t time = 0;
  for (const char c : line.substr(0, blank)) {
    if (c < '0' || c > '9') return std::nullopt;
    time = time * 10 + (c - '0');
  }
  const std::string_view key = line.substr(blank + 1);
  if (!IsHexDigest(key)) return std::nullopt;
  return std::make_pair(time, std::string(key));
}

std::string RecordLine(std::int64_t time, const std::string& key) {
  return std::to_string(time) + " " + key + "\n";
}

}  // namespace

void MessageIdScanner::Feed(std::string_view data) {
  for (const char c : data) {
    if (m_headerDone) return;
    if (c == '\n') {
      EndLine();
    } else if (m_line.size() < kLineLimit) {
      m_line.push_back(c);
    } else {
      m_lineTooLong = true;
    }
  }
}

void MessageIdScanner::EndLine() {
  std::string_view line = m_line;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) {
    EndField();
    m_headerDone = true;
  } else if (line.front() == ' ' || line.front() == '\t') {
    // Unfolding: the line break goes, the blank that begins the next line stays.
    if (m_inId) {
      if (m_lineTooLong || m_field.size() + line.size() > kLineLimit)
        m_idTooLong = true;
      else
        m_field.append(line);
    }
  } else {
    EndField();
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) {
      // No field at all: the header section is over.
      m_headerDone = true;
    } else if (!m_id && EqualsNoCase(TrimRight(line.substr(0, colon), kBlanks), "Message-ID")) {
      m_inId = true;
      m_idTooLong = m_lineTooLong;
      m_field.assign(line.substr(colon + 1));
    }
  }
  m_line.clear();
  m_lineTooLong = false;
}

void MessageIdScanner::EndField() {
  if (!m_inId) return;
  m_inId = false;
  const std::string_view value = Trim(m_field, kBlanks);
  if (!m_idTooLong && !value.empty()) m_id = std::string(value);
  m_field.clear();
}

std::optional<std::string> MessageIdScanner::MessageId() const {
  if (m_id) return m_id;
  // The data ended inside the header, with the field still open.
  if (m_inId && !m_idTooLong) {
    const std::string_view value = Trim(m_field, kBlanks);
    if (!value.empty()) return std::string(value);
  }
  return std::nullopt;
}

std::string DuplicateKey(std::string_view messageId, const std::vector<std::string>& recipients) {
  std::vector<std::string> addresses;
  addresses.reserve(recipients.size());
  for (const std::string& recipient : recipients) {
    // "TO:<a@b>" and "To: <A@B>" name one mailbox.
    const auto parsed = ParseMailPath(recipient, "TO");
    addresses.push_back(
        LowerAscii(parsed ? std::string_view(parsed->address) : Trim(recipient, kBlanks)));
  }
  std::sort(addresses.begin(), addresses.end());
  addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());

  // The parts are joined with a zero byte, which none of them can hold.
  std::string input(messageId);
  for (const std::string& address : addresses) {
    input.push_back('\0');
    input.append(address);
  }
  platform::Digest sha256(platform::DigestAlgorithm::Sha256);
  sha256.Update(input);
  std::array<unsigned char, platform::Digest::kMaxSize> digest{};
  if (!sha256.Final(digest)) return {};
  const std::size_t length = sha256.Size();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * length);
  for (std::size_t i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0x0f]);
  }
  return hex;
}

std::int64_t DuplicateGuard::SystemSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

DuplicateGuard::DuplicateGuard(std::string path, std::uint32_t windowHours, Clock now)
    : m_path(std::move(path)),
      m_windowSeconds(static_cast<std::int64_t>(windowHours) * 3600),
      m_now(std::move(now)) {
  std::lock_guard lock(m_lock);
  Load();
  if (!Rewrite(m_now())) OpenForAppend();
}

void DuplicateGuard::Load() {
  platform::File file;
  const long opened = platform::File::Open(
      m_path, platform::Access::Read, platform::Share::Read, platform::Disposition::OpenExisting,
      file, platform::Links::DontFollow, platform::Kind::RegularFile);
  if (opened == platform::kErrorFileNotFound || opened == platform::kErrorPathNotFound) return;
  const auto damaged = [this](std::string_view why) {
    LogBothChannels("SMTPIn- Duplicate record damaged, started empty: ",
                    m_path + " (" + std::string(why) + ")", __LINE__);
    m_entries.clear();
    m_latest.clear();
    platform::RenameFile(m_path, m_path + kDamagedSuffix, true);
  };
  if (opened != platform::kErrorSuccess) {
    damaged("cannot be opened, error " + std::to_string(opened));
    return;
  }
  std::uint64_t size = 0;
  if (file.Size(size) != platform::kErrorSuccess ||
      size > static_cast<std::uint64_t>(kFileLineLimit) * kRecordLineLimit) {
    damaged("too large");
    return;
  }
  std::string content(static_cast<std::size_t>(size), '\0');
  std::size_t have = 0;
  while (have < content.size()) {
    std::size_t got = 0;
    if (file.Read(content.data() + have, content.size() - have, got) != platform::kErrorSuccess) {
      damaged("read error");
      return;
    }
    if (got == 0) break;
    have += got;
  }
  content.resize(have);
  file.Close();

  std::string_view rest = content;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    // A last line without its LF is an append that a crash cut off: its message never got its
    // 250, so it is dropped.
    if (end == std::string_view::npos) break;
    const auto entry = ParseRecordLine(rest.substr(0, end));
    if (!entry) {
      damaged("malformed line");
      return;
    }
    Remember({entry->first, entry->second});
    rest.remove_prefix(end + 1);
  }
}

void DuplicateGuard::Remember(Entry entry) {
  m_latest[entry.key] = entry.time;
  m_entries.push_back(std::move(entry));
  while (m_entries.size() > kMaxEntries) {
    const Entry& oldest = m_entries.front();
    if (const auto found = m_latest.find(oldest.key);
        found != m_latest.end() && found->second == oldest.time)
      m_latest.erase(found);
    m_entries.pop_front();
  }
}

bool DuplicateGuard::SeenLocked(const std::string& key, std::int64_t now) const {
  const auto found = m_latest.find(key);
  if (found == m_latest.end()) return false;
  // An entry from the future (the clock was set back) counts only within a window of it.
  return found->second > now - m_windowSeconds && found->second < now + m_windowSeconds;
}

bool DuplicateGuard::Seen(const std::string& key) {
  std::lock_guard lock(m_lock);
  return SeenLocked(key, m_now());
}

std::size_t DuplicateGuard::EntryCount() {
  std::lock_guard lock(m_lock);
  return m_entries.size();
}

bool DuplicateGuard::OpenForAppend() {
  m_file = platform::File();
  const long opened = platform::File::Open(
      m_path, platform::Access::Write, platform::Share::Read, platform::Disposition::OpenAlways,
      m_file, platform::Links::DontFollow, platform::Kind::RegularFile);
  if (opened != platform::kErrorSuccess || m_file.Seek(0, SEEK_END) != platform::kErrorSuccess) {
    LogBothChannels("SMTPIn- Error: Duplicate record cannot be opened: ", m_path, __LINE__);
    m_file = platform::File();
    return false;
  }
  return true;
}

bool DuplicateGuard::Rewrite(std::int64_t now) {
  std::deque<Entry> kept;
  for (Entry& entry : m_entries)
    if (entry.time > now - m_windowSeconds) kept.push_back(std::move(entry));
  m_entries.clear();
  m_latest.clear();
  for (Entry& entry : kept) Remember(std::move(entry));

  std::string content;
  content.reserve(m_entries.size() * kRecordLineLimit);
  for (const Entry& entry : m_entries) content += RecordLine(entry.time, entry.key);
  m_file = platform::File();
  platform::TempFile scratch;
  const std::string scratchPath = m_path + kScratchSuffix;
  if (platform::TempFile::Create(scratchPath, platform::Disposition::CreateAlways, scratch) !=
          platform::kErrorSuccess ||
      scratch.file().Write(content) != platform::kErrorSuccess ||
      scratch.file().Sync() != platform::kErrorSuccess ||
      scratch.Commit(m_path, true) != platform::kErrorSuccess) {
    LogBothChannels("SMTPIn- Error: Duplicate record cannot be rewritten: ", m_path, __LINE__);
    return false;
  }
  platform::SyncDirectory(platform::ParentFolder(m_path));
  m_fileLines = m_entries.size();
  return OpenForAppend();
}

bool DuplicateGuard::Record(const std::string& key) {
  std::lock_guard lock(m_lock);
  const std::int64_t now = m_now();
  Remember({now, key});
  if (m_fileLines >= kFileLineLimit) {
    // The entry just remembered is written with the others.
    return Rewrite(now);
  }
  bool written = m_file.IsOpen() || OpenForAppend();
  written = written && m_file.Write(RecordLine(now, key)) == platform::kErrorSuccess &&
            m_file.Sync() == platform::kErrorSuccess;
  if (written) {
    ++m_fileLines;
  } else {
    LogBothChannels("SMTPIn- Error: Duplicate record not written: ", m_path, __LINE__);
    // Reopened at the next entry: a failed write may have left the handle at a torn line.
    m_file = platform::File();
  }
  return written;
}

void DuplicateGuard::Release(const std::string& key) {
  {
    std::lock_guard lock(m_lock);
    m_claimed.erase(key);
  }
  m_settled.notify_all();
}

DuplicateClaim DuplicateGuard::Claim(const std::optional<std::string>& messageId,
                                     const std::vector<std::string>& recipients,
                                     std::string_view client) {
  DuplicateClaim claim;
  if (!messageId) return claim;
  std::string key = DuplicateKey(*messageId, recipients);
  if (key.empty()) return claim;
  std::unique_lock lock(m_lock);
  m_settled.wait(lock, [&] { return !m_claimed.contains(key); });
  if (SeenLocked(key, m_now())) {
    lock.unlock();
    LogBothChannels("SMTPIn- Duplicate message not spooled: ",
                    "Message-ID " + Printable(*messageId) + ", client " + std::string(client),
                    __LINE__);
    claim.m_duplicate = true;
    return claim;
  }
  m_claimed.insert(key);
  claim.m_guard = this;
  claim.m_key = std::move(key);
  return claim;
}

DuplicateClaim::~DuplicateClaim() { Let(); }

DuplicateClaim::DuplicateClaim(DuplicateClaim&& other) noexcept
    : m_guard(std::exchange(other.m_guard, nullptr)),
      m_key(std::move(other.m_key)),
      m_duplicate(other.m_duplicate) {}

DuplicateClaim& DuplicateClaim::operator=(DuplicateClaim&& other) noexcept {
  if (this != &other) {
    Let();
    m_guard = std::exchange(other.m_guard, nullptr);
    m_key = std::move(other.m_key);
    m_duplicate = other.m_duplicate;
  }
  return *this;
}

void DuplicateClaim::Let() {
  if (m_guard) m_guard->Release(m_key);
  m_guard = nullptr;
}

void DuplicateClaim::Record() {
  if (!m_guard) return;
  m_guard->Record(m_key);
  Let();
}

}  // namespace faxmail
