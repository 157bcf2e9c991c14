#include "gateway/smtp_in/spool_commit.h"

#include <array>
#include <cctype>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

// Digits of a counter value.
constexpr std::size_t kMaxNumberDigits = 10;
// A raw file is read for its seal in pieces of this size: memory stays small for any message.
constexpr std::size_t kSealReadChunk = 64 * 1024;

std::string WithoutRawSuffix(const std::string& rawPath) {
  return rawPath.ends_with(kRawSuffix) ? rawPath.substr(0, rawPath.size() - (sizeof kRawSuffix - 1))
                                       : rawPath;
}

}  // namespace

bool IsNumberName(std::string_view text) {
  if (text.empty() || text.size() > kMaxNumberDigits) return false;
  for (const char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool IsRawMessageName(std::string_view name) {
  return name.ends_with(kRawSuffix) &&
         IsNumberName(name.substr(0, name.size() - (sizeof kRawSuffix - 1)));
}

std::string CommitRecordPath(const std::string& rawPath) {
  return WithoutRawSuffix(rawPath) + kRecordSuffix;
}

std::string DecodedMarkerPath(const std::string& rawPath, const std::string& envelopeName) {
  return WithoutRawSuffix(rawPath) + "." + envelopeName + kDecodedSuffix;
}

std::string DecodedRawPath(const std::string& rawPath, const std::string& envelopeName) {
  return WithoutRawSuffix(rawPath) + "." + envelopeName + kDecodedRawSuffix;
}

namespace {

// The text of a record or note: each RCPT text followed by a LF.
std::string RecipientText(const std::vector<std::string>& recipients) {
  std::string text;
  for (const std::string& recipient : recipients) text.append(recipient).push_back('\n');
  return text;
}

std::optional<std::vector<std::string>> ParseRecipients(const std::string& text) {
  std::vector<std::string> recipients;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto lf = text.find('\n', start);
    if (lf == std::string::npos) return std::nullopt;  // every line ends with its LF
    if (lf - start > kMaxRecordLine || recipients.size() >= kMaxRecordLines) return std::nullopt;
    recipients.push_back(text.substr(start, lf - start));
    start = lf + 1;
  }
  return recipients;
}

bool OpenRecordFile(const std::string& path, bool inSpare, platform::File& file) {
  // A spare is written over where it lies, its data cut to the record's size afterwards, so
  // that a block it holds is reused instead of freed and allocated again.
  return platform::File::Open(
             path, platform::Access::Write, platform::Share::None,
             inSpare ? platform::Disposition::OpenExisting : platform::Disposition::CreateAlways,
             file, platform::Links::DontFollow) == platform::kErrorSuccess;
}

// Writes text as the whole of the file, from its start; what it held beyond is cut.
bool WriteWhole(platform::File& file, const std::string& text) {
  std::uint64_t links = 0;
  std::uint64_t size = 0;
  return file.Write(text) == platform::kErrorSuccess &&
         file.LinksAndSize(links, size) == platform::kErrorSuccess &&
         (size <= text.size() || file.Truncate(text.size()) == platform::kErrorSuccess);
}

}  // namespace

bool WriteCommitRecord(const std::string& rawPath, const std::vector<std::string>& recipients,
                       SharedFolderSync* sync, SpareFiles* spares, platform::File* raw,
                       const std::function<bool()>& durableFirst) {
  const std::string record = CommitRecordPath(rawPath);
  const std::string text = RecipientText(recipients);
  // A spare is written where it lies and gets the record's name in one rename, so the record
  // costs OUT a single new name. Where that does not work (the spare gone wrong, or OUT on
  // another file system than the spare folder) the record is written again under its scratch
  // name in OUT, as without spares.
  std::optional<std::string> spare = spares ? spares->TakeInPlace() : std::nullopt;
  bool firstDone = !durableFirst;
  for (;;) {
    const bool inSpare = spare.has_value();
    const std::string scratch = inSpare ? *spare : WithoutRawSuffix(rawPath) + kRecordScratchSuffix;
    spare.reset();
    platform::File file;
    const bool opened = OpenRecordFile(scratch, inSpare, file);
    bool written = opened && WriteWhole(file, text);
    // Both files' writes are on their way before either is waited for: the two waits overlap.
    // Their readers need only their data and size, not their times.
    if (written) file.StartWriteBack();
    bool durable = written;
    if (durable && !firstDone) durable = firstDone = durableFirst();
    durable = durable && (!raw || raw->SyncData() == platform::kErrorSuccess);
    durable = durable && file.SyncData() == platform::kErrorSuccess;
    if (file.IsOpen() && file.Close() != platform::kErrorSuccess) durable = false;
    const bool named =
        durable && platform::RenameFile(scratch, record, true, platform::Holders::kNone) ==
                       platform::kErrorSuccess;
    if (!named) {
      platform::DeleteFile(scratch);
      // Only what went wrong with the spare itself is tried again without it.
      if (inSpare && (!opened || (written && durable))) continue;
      return false;
    }
    break;
  }
  const std::string folder = platform::ParentFolder(record);
  if ((sync ? sync->Sync(folder) : platform::SyncDirectory(folder)) != platform::kErrorSuccess) {
    // Not known to be durable: the client must not be told it is.
    platform::DeleteFile(record);
    return false;
  }
  return true;
}

std::optional<std::string> DataSeal::Text() {
  std::array<unsigned char, platform::Digest::kMaxSize> digest{};
  if (!m_digest.Final(digest)) return std::nullopt;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < kSealBytes; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0xf]);
  }
  return text;
}

std::optional<std::string> SealOfFile(const std::string& path) {
  platform::File file;
  if (platform::File::Open(path, platform::Access::Read, platform::Share::ReadWrite,
                           platform::Disposition::OpenExisting, file,
                           platform::Links::DontFollow) != platform::kErrorSuccess)
    return std::nullopt;
  DataSeal seal;
  std::vector<char> chunk(kSealReadChunk);
  for (;;) {
    std::size_t got = 0;
    if (file.Read(chunk.data(), chunk.size(), got) != platform::kErrorSuccess) return std::nullopt;
    if (got == 0) break;
    seal.Add(std::string_view(chunk.data(), got));
  }
  return seal.Text();
}

NoteCommit CommitByNote(const std::string& rawPath, const std::vector<std::string>& recipients,
                        platform::File& raw, SharedFolderSync* sync,
                        const std::function<bool()>& durableFirst,
                        const std::optional<std::string>& seal) {
  const std::string text =
      seal ? *seal + "\n" + RecipientText(recipients) : RecipientText(recipients);
  if (!platform::kFileTagsSyncWithFile || text.size() > platform::kMaxFileTag)
    return NoteCommit::kNotKept;
  const std::string folder = platform::ParentFolder(rawPath);
  if (seal) {
    // The seal vouches for the data itself: the note may reach the disk before the data does,
    // and one sync takes both.
    raw.StartWriteBack();
    if (platform::SetFileTag(rawPath, kSealedRecipientsTag, text) != platform::kErrorSuccess)
      return NoteCommit::kNotKept;
    if ((durableFirst && !durableFirst()) || raw.Sync() != platform::kErrorSuccess ||
        (sync ? sync->Sync(folder) : platform::SyncDirectory(folder)) != platform::kErrorSuccess)
      return NoteCommit::kFailed;
    return NoteCommit::kCommitted;
  }
  // The data first, on its own: a note that reached the disk before the data it vouches for
  // would make a cut message look acknowledged after a crash.
  raw.StartWriteBack();
  if ((durableFirst && !durableFirst()) || raw.SyncData() != platform::kErrorSuccess)
    return NoteCommit::kFailed;
  if (platform::SetFileTag(rawPath, kRecipientsTag, text) != platform::kErrorSuccess)
    return NoteCommit::kNotKept;
  if (raw.Sync() != platform::kErrorSuccess ||
      (sync ? sync->Sync(folder) : platform::SyncDirectory(folder)) != platform::kErrorSuccess)
    return NoteCommit::kFailed;
  return NoteCommit::kCommitted;
}

namespace {

// A sealed note's seal and recipient text; none when the note has no seal line.
std::optional<std::pair<std::string, std::string>> SplitSealed(const std::string& note) {
  const std::size_t length = 2 * kSealBytes;
  if (note.size() <= length || note[length] != '\n') return std::nullopt;
  for (std::size_t i = 0; i < length; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(note[i]))) return std::nullopt;
  return std::pair(note.substr(0, length), note.substr(length + 1));
}

}  // namespace

NoteState CommitNoteState(const std::string& rawPath) {
  const std::optional<std::string> sealed = platform::GetFileTag(rawPath, kSealedRecipientsTag);
  if (!sealed)
    return platform::GetFileTag(rawPath, kRecipientsTag) ? NoteState::kCommits : NoteState::kNone;
  const auto parts = SplitSealed(*sealed);
  // A note without its seal line is not one this gateway puts: reported at the decode, as a
  // damaged note, and left as it is.
  if (!parts) return NoteState::kCommits;
  const std::optional<std::string> seal = SealOfFile(rawPath);
  // A file that cannot be read now is not taken for a cut one: it is left to the decode.
  if (seal && *seal != parts->first) return NoteState::kNotWhole;
  return NoteState::kCommits;
}

std::optional<std::vector<std::string>> ReadCommitNote(const std::string& rawPath) {
  if (const std::optional<std::string> sealed =
          platform::GetFileTag(rawPath, kSealedRecipientsTag)) {
    const auto parts = SplitSealed(*sealed);
    if (!parts) return std::nullopt;
    return ParseRecipients(parts->second);
  }
  const std::optional<std::string> text = platform::GetFileTag(rawPath, kRecipientsTag);
  if (!text) return std::nullopt;
  return ParseRecipients(*text);
}

std::optional<std::vector<std::string>> ReadCommitRecord(const std::string& recordPath) {
  platform::File file;
  if (platform::File::Open(recordPath, platform::Access::Read, platform::Share::None,
                           platform::Disposition::OpenExisting, file,
                           platform::Links::DontFollow) != platform::kErrorSuccess)
    return std::nullopt;
  constexpr std::size_t kMaxRecordSize = kMaxRecordLines * (kMaxRecordLine + 1);
  std::string text;
  char chunk[4096];
  for (;;) {
    std::size_t got = 0;
    if (file.Read(chunk, sizeof chunk, got) != platform::kErrorSuccess) return std::nullopt;
    if (got == 0) break;
    if (text.size() + got > kMaxRecordSize) return std::nullopt;
    text.append(chunk, got);
  }
  return ParseRecipients(text);
}

namespace {

std::optional<DecodedMarker> ParseDecoded(const std::string& name, std::string_view suffix) {
  if (!name.ends_with(suffix)) return std::nullopt;
  const std::string stem = name.substr(0, name.size() - suffix.size());
  const auto dot = stem.find('.');
  if (dot == std::string::npos) return std::nullopt;
  const std::string number = stem.substr(0, dot);
  const std::string envelope = stem.substr(dot + 1);
  // Only names this gateway makes: a marker never leads outside OUT.
  if (!IsNumberName(number) || !envelope.starts_with("ENV") || !IsNumberName(envelope.substr(3)))
    return std::nullopt;
  return DecodedMarker{number + kRawSuffix, envelope};
}

}  // namespace

std::optional<DecodedMarker> ParseDecodedMarker(const std::string& name) {
  return ParseDecoded(name, kDecodedSuffix);
}

std::optional<DecodedMarker> ParseDecodedRaw(const std::string& name) {
  return ParseDecoded(name, kDecodedRawSuffix);
}

}  // namespace faxmail
