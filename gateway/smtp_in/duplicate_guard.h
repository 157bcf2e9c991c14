// DuplicateGuard: a message sent again after its 250 was lost makes no second fax.
//
// The key of a message is a SHA-256 digest of its Message-ID (the header field as received,
// unfolded, its name in any letter case; a message without one is never checked) and its
// envelope recipients (their addresses in lower case, sorted, each once). A message whose key
// made an envelope within the window (DuplicateWindow hours) is answered 250 as usual and not
// spooled, with a line on both logs.
//
// The record is a file in the data directory, one line "<seconds since 1970> <digest in hex>"
// per acknowledged message, appended and synced before that message's 250: the spool then
// guarantees its envelope, so an entry never names a message that was lost. It survives
// restarts and is bounded: at most kMaxEntries are held (the oldest dropped beyond), and the
// file is rewritten whole (temporary file, sync, rename) at start and whenever it has grown to
// kFileLineLimit lines, with the expired entries dropped. A damaged file is logged, set aside
// under the suffix ".damaged" and replaced by an empty record: mail is never refused for it.
//
// Sessions run on their own threads: every operation takes the guard's lock. A key is claimed
// from its check until its message is acknowledged or given up; a second session with the same
// key waits meanwhile, so two copies sent at once still make one envelope.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/file.h"

namespace faxmail {

// Takes the Message-ID out of message data fed to it in pieces as they arrive (after the dot
// transparency), with bounded memory. Only the header section is looked at; the first
// Message-ID field counts.
class MessageIdScanner {
 public:
  // A header line longer than this (RFC 5322's 998 and its CR LF) is no Message-ID anyone
  // resends: such a field is taken as absent.
  static constexpr std::size_t kLineLimit = 1000;

  void Feed(std::string_view data);
  // The field's value without the blanks around it; none when there was no (usable) field.
  std::optional<std::string> MessageId() const;

 private:
  void EndLine();
  void EndField();

  bool m_headerDone = false;
  std::string m_line;
  bool m_lineTooLong = false;
  bool m_inId = false;  // the field being unfolded is the Message-ID
  bool m_idTooLong = false;
  std::string m_field;
  std::optional<std::string> m_id;
};

// The key of a message: the digest as 64 lower-case hex digits. recipients: the session's RCPT
// texts ("TO:<address>").
std::string DuplicateKey(std::string_view messageId, const std::vector<std::string>& recipients);

class DuplicateClaim;

class DuplicateGuard {
 public:
  // Most entries held: 100,000 faxes are far more than a window of days sees, and the record
  // stays a few megabytes.
  static constexpr std::size_t kMaxEntries = 100000;
  // The file is compacted when its lines reach this many.
  static constexpr std::size_t kFileLineLimit = 2 * kMaxEntries;
  // Longest line of a valid record: time, blank, 64 digits, LF.
  static constexpr std::size_t kRecordLineLimit = 20 + 1 + 64 + 1;
  static constexpr char kFileName[] = ".duplicates";
  static constexpr char kDamagedSuffix[] = ".damaged";

  using Clock = std::function<std::int64_t()>;  // seconds since 1970
  static std::int64_t SystemSeconds();

  // path: the record file; windowHours > 0. Loads and compacts the record.
  DuplicateGuard(std::string path, std::uint32_t windowHours, Clock now = SystemSeconds);
  DuplicateGuard(const DuplicateGuard&) = delete;
  DuplicateGuard& operator=(const DuplicateGuard&) = delete;

  // The claim for a message about to be acknowledged: duplicate when its key was recorded
  // within the window (logged with messageId and client); empty when there is no messageId.
  DuplicateClaim Claim(const std::optional<std::string>& messageId,
                       const std::vector<std::string>& recipients, std::string_view client);

  // Whether key was recorded within the window.
  bool Seen(const std::string& key);
  std::size_t EntryCount();
  const std::string& Path() const noexcept { return m_path; }

 private:
  friend class DuplicateClaim;
  struct Entry {
    std::int64_t time;
    std::string key;
  };

  bool SeenLocked(const std::string& key, std::int64_t now) const;
  // Appends and syncs the entry; false (logged) when the record could not be written.
  bool Record(const std::string& key);
  void Release(const std::string& key);
  void Load();
  void Remember(Entry entry);
  bool Rewrite(std::int64_t now);
  bool OpenForAppend();

  std::string m_path;
  std::int64_t m_windowSeconds;
  Clock m_now;
  std::mutex m_lock;
  std::condition_variable m_settled;                       // a claimed key was recorded or given up
  std::set<std::string> m_claimed;                         // keys between their check and their 250
  std::deque<Entry> m_entries;                             // oldest first
  std::unordered_map<std::string, std::int64_t> m_latest;  // key -> time of its last entry
  std::size_t m_fileLines = 0;
  platform::File m_file;  // the record, open for appending
};

// A claimed key, held by the session from the check to the 250 (move-only). Let go without
// Record(), the key is given up and a session waiting for it checks again.
class DuplicateClaim {
 public:
  DuplicateClaim() noexcept = default;
  ~DuplicateClaim();
  DuplicateClaim(DuplicateClaim&& other) noexcept;
  DuplicateClaim& operator=(DuplicateClaim&& other) noexcept;

  bool IsDuplicate() const noexcept { return m_duplicate; }
  // The message was acknowledged: its entry appended and synced (a failure is logged, and the
  // message is acknowledged all the same).
  void Record();

 private:
  friend class DuplicateGuard;
  void Let();
  DuplicateGuard* m_guard = nullptr;  // set while a key is claimed
  std::string m_key;
  bool m_duplicate = false;
};

}  // namespace faxmail
