// Start-up recovery of the spool in OUT, before the listener opens.
//
// A crash (or a kill) can stop the receiver anywhere. What it leaves is read from the files
// themselves (spool_commit.h) and from the envelope in-use flag, which names the envelope that
// was being made under the work lock (others may have been syncing their files after it):
//   - a decoded marker, or a raw file under its decoded name: the envelope is complete; it gets
//     its ready name unless it has one or the fax server took it, then the raw file and the
//     marker go;
//   - an envelope under its plain name without a marker whose note names a raw file that
//     is decoded again (or the one the flag names), the scratch files, and the attachments
//     they list: removed;
//   - a raw file without a commit record or note was never acknowledged: removed (kept as a
//     debug copy while the main log is on, like any unspooled data);
//   - a raw file with its record or note: decoded now, oldest first.
// Only names this gateway makes are touched; a file of another form is left alone.
#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "gateway/queue/counters.h"
#include "gateway/queue/file_man.h"
#include "gateway/service/log.h"
#include "gateway/smtp_in/smtp_in.h"
#include "gateway/smtp_in/spool_commit.h"
#include "platform/file.h"
#include "platform/stream.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

// Longest line read from an envelope or attachment list when looking for attachment names.
constexpr std::size_t kMaxListLine = 1024;
// Lines looked at in one envelope or list: far more than a message can have attachments.
constexpr std::size_t kMaxListLines = 100000;

std::uint64_t RawNumber(const std::string& name) {
  return std::stoull(name.substr(0, name.size() - (sizeof kRawSuffix - 1)));
}

// A stored attachment name as this gateway makes it: "ATT<digits>." and a safe extension.
bool IsAttachmentName(std::string_view name) {
  if (name.size() < 5 || name.substr(0, 3) != "ATT") return false;
  const auto dot = name.find('.');
  if (dot == std::string_view::npos || !IsNumberName(name.substr(3, dot - 3))) return false;
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(dot) + 1, name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
  });
}

// Removes the attachment files named by the "<<sent:stored>>" lines of an envelope or list.
void RemoveListedAttachments(const std::string& listPath, const std::string& out) {
  platform::Stream list;
  if (platform::Stream::Open(listPath, "r", platform::StreamMode::Text, platform::Share::None,
                             list) != platform::kErrorSuccess)
    return;
  std::string line;
  for (std::size_t n = 0; n < kMaxListLines && list.ReadLine(line, kMaxListLine); ++n) {
    const auto open = line.find("<<");
    const auto colon = line.find(':', open == std::string::npos ? 0 : open);
    const auto end = line.find(">>", colon == std::string::npos ? 0 : colon);
    if (open == std::string::npos || colon == std::string::npos || end == std::string::npos)
      continue;
    const std::string stored = line.substr(colon + 1, end - colon - 1);
    if (!IsAttachmentName(stored)) continue;
    if (platform::DeleteFile(out + stored) == platform::kErrorSuccess)
      LogBoth("SMTPIn- Recovery: unfinished attachment removed: ", stored, __LINE__);
  }
}

// "ENV<digits>": an envelope under the name it is made with, before its ready name.
bool IsPlainEnvelopeName(std::string_view name) {
  return name.size() > 3 && name.substr(0, 3) == "ENV" && IsNumberName(name.substr(3));
}

void RemoveScratch(const std::string& path, const std::string& name) {
  if (platform::DeleteFile(path) == platform::kErrorSuccess)
    LogBoth("SMTPIn- Recovery: scratch file removed: ", name, __LINE__);
}

}  // namespace

int SMTPIn::RecoverSpool(const std::string& inProgress) {
  const std::string out = FileMan().ProgramPath() + "OUT" + platform::kPathSeparator;
  // The files a previous run kept for reuse are empty and named by nothing.
  m_spares.RemoveLeftovers();

  std::vector<platform::DirEntry> entries;
  platform::FindFiles(out, "*", entries);
  std::set<std::string> names;
  for (const auto& entry : entries)
    if (!entry.isDirectory) names.insert(entry.name);

  // Decodes that finished: at most the ready name and the removal of the raw file are left.
  std::set<std::string> finished;
  for (const std::string& name : names) {
    const auto byRecord = ParseDecodedMarker(name);
    const auto byNote = byRecord ? std::nullopt : ParseDecodedRaw(name);
    const auto& marker = byRecord ? byRecord : byNote;
    if (!marker) continue;
    const std::string envelope = out + marker->envelopeName;
    finished.insert(envelope);
    if (platform::FileExists(envelope) && !platform::FileExists(envelope + ".tmp") &&
        platform::RenameFile(envelope, envelope + ".tmp", false) == platform::kErrorSuccess) {
      platform::SyncDirectory(out);
      LogBoth("SMTPIn- Recovery: envelope given its ready name: ", marker->envelopeName, __LINE__);
    }
    const std::string raw = out + marker->rawName;
    if (byNote) {
      RemoveDecoded(raw, out + name, CommitKind::kNote);
      continue;
    }
    if (platform::FileExists(raw)) RemoveDecoded(raw, out + name, CommitKind::kRecord);
    platform::DeleteFile(out + name);
  }

  // A ready name given by link and unlink, cut between the two: the plain name goes.
  for (const std::string& name : names)
    if (IsPlainEnvelopeName(name) && names.contains(name + ".tmp") &&
        platform::SameFile(out + name, out + name + ".tmp") &&
        platform::DeleteFile(out + name) == platform::kErrorSuccess)
      LogBoth("SMTPIn- Recovery: envelope given its ready name: ", name, __LINE__);

  // Unfinished decodes: their envelopes, message text copies and attachments go; their
  // messages are decoded again below. One was named by the in-use flag; the others had given
  // the name back and were making their files durable.
  std::vector<std::string> unfinished;
  if (!inProgress.empty() &&
      platform::ParentFolder(inProgress) == platform::ParentFolder(out + "x"))
    unfinished.push_back(inProgress);
  for (const std::string& name : names) {
    if (!IsPlainEnvelopeName(name) || names.contains(name + ".tmp")) continue;
    const auto raw = platform::GetFileTag(out + name, kRawFileTag);
    if (raw && IsRawMessageName(*raw) && names.contains(*raw) &&
        (names.contains(CommitRecordPath(*raw)) || CommitNoteState(out + *raw) != NoteState::kNone))
      unfinished.push_back(out + name);
  }
  for (const std::string& envelope : unfinished) {
    if (finished.contains(envelope) || !platform::FileExists(envelope)) continue;
    RemoveListedAttachments(envelope, out);
    platform::DeleteFile(envelope + ".bdy");
    platform::DeleteFile(envelope);
    LogBoth("SMTPIn- Recovery: unfinished envelope removed: ", envelope, __LINE__);
  }
  for (const std::string& name : names) {
    if (platform::MatchPattern(name, "~ATTC*.imp")) {
      RemoveListedAttachments(out + name, out);
      RemoveScratch(out + name, name);
    } else if (name == "Msgcnt.imp") {
      RemoveScratch(out + name, name);
    } else if (name.ends_with(kRecordScratchSuffix)) {
      RemoveScratch(out + name, name);
    }
  }

  // Raw files and their records.
  std::vector<std::string> acknowledged;
  for (const std::string& name : names) {
    if (name.ends_with(kRecordSuffix)) {
      const std::string raw = name.substr(0, name.size() - (sizeof kRecordSuffix - 1)) + kRawSuffix;
      if (!names.contains(raw)) RemoveScratch(out + name, name);
      continue;
    }
    if (!IsRawMessageName(name)) continue;
    // A note of any other content commits the raw file: one that cannot be read whole is
    // reported when the message is decoded, and the message left as it is, as for a damaged
    // record. A sealed note that the data does not match was on its way to the disk with the
    // data, and the sync that would have acknowledged them had not returned.
    const NoteState note = CommitNoteState(out + name);
    if (names.contains(CommitRecordPath(name)) || note == NoteState::kCommits) {
      acknowledged.push_back(name);
      continue;
    }
    if (note == NoteState::kNotWhole)
      LogBoth("SMTPIn- Recovery: message cut by a crash before it was acknowledged: ", name,
              __LINE__);
    LogBoth("SMTPIn- Recovery: unacknowledged message removed: ", name, __LINE__);
    if (IsMainLogOn())
      KeepDebugCopy(out + name);
    else
      platform::DeleteFile(out + name);
  }

  ResetFileNameFlags();
  std::sort(acknowledged.begin(), acknowledged.end(),
            [](const std::string& a, const std::string& b) { return RawNumber(a) < RawNumber(b); });
  int decoded = 0;
  for (const std::string& name : acknowledged) {
    LogBoth("SMTPIn- Recovery: acknowledged message to decode: ", name, __LINE__);
    if (DecodeCommitted(out + name, nullptr))
      ++decoded;
    else
      AddPending(out + name, true);
  }
  return decoded;
}

}  // namespace faxmail
