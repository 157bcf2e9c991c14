// The spool's commit protocol: which raw message files in OUT were acknowledged, and which of
// them already became a ready envelope.
//
// A raw message "<n>.cqx" is written and synced while its data arrives; it counts as received
// only once its commit record "<n>.rcpt" exists. The record holds the transaction's RCPT texts
// (the decode needs them to pick the fax recipients) and is written under a scratch name (a
// spare file of the gateway's own, or "<n>.rcpt.new"), synced and renamed into place, with the
// folder synced, before the 250 goes out. So after any crash:
//   "<n>.cqx" without "<n>.rcpt"   was never acknowledged: the client sends it again;
//   "<n>.cqx" with "<n>.rcpt"      was acknowledged and is still to be decoded;
//   "<n>.<envelope>.dcd"           the decode finished: the envelope and every file it names
//                                  are complete on disk, and at most its ready name and the
//                                  removal of the raw file are still to be done.
// The record becomes the decoded marker by a rename, before the envelope gets its ready name,
// so an acknowledged message is turned into a ready envelope exactly once.
//
// Where the file system keeps notes with a file and a sync of the file makes them durable (the
// extended attributes of POSIX systems), the raw file carries the RCPT texts itself, as its
// note "rcpt", and is its own record and marker: one file and one name a message fewer.
//   "<n>.cqx" with the note            was acknowledged and is still to be decoded;
//   "<n>.<envelope>.dcq"               the raw file itself, renamed once the decode finished:
//                                      what "<n>.<envelope>.dcd" tells, for it.
// The note is sealed: its first line is a digest of the file's data, so the note and the data
// are synced in one go, and a note found on a file whose data does not match its seal (the
// file's new size and note reached the disk, and its data did not) commits nothing: the sync
// had not returned, and the client had not been told. An unsealed note (note "rcpt", written by
// earlier versions) is put on only once the data is on disk, and commits the file by itself. A
// message whose note cannot be kept (a file system without notes, more recipients than a note
// holds) gets a record.
//
// Plain functions over paths; the caller serialises (the listener's work lock).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/shared_sync.h"
#include "common/spare_files.h"
#include "platform/digest.h"

namespace faxmail {

namespace platform {
class File;
}

// Most recipient lines read back from a record, and longest line: a record is the gateway's
// own file, but it lies in a folder others write to and is read at start before anything else.
inline constexpr std::size_t kMaxRecordLines = 1000;
inline constexpr std::size_t kMaxRecordLine = 1000;

inline constexpr char kRawSuffix[] = ".cqx";
inline constexpr char kRecordSuffix[] = ".rcpt";
inline constexpr char kRecordScratchSuffix[] = ".rcpt.new";
inline constexpr char kDecodedSuffix[] = ".dcd";
inline constexpr char kDecodedRawSuffix[] = ".dcq";
// The note kept with an envelope while it is made: the name of its raw file "<n>.cqx".
inline constexpr char kRawFileTag[] = "raw";
// The note on a raw file that commits it: its RCPT texts, each followed by a LF.
inline constexpr char kRecipientsTag[] = "rcpt";
// The sealed note: the seal of the file's data and a LF, then the RCPT texts as above.
inline constexpr char kSealedRecipientsTag[] = "sealed";
// A seal: the first bytes of the data's SHA-256, in hexadecimal. Eight bytes leave a cut file
// one chance in 2^64 of passing for whole, and keep the note small enough to stay in the file's
// inode with one recipient of the usual length (a longer note takes a block of its own).
inline constexpr std::size_t kSealBytes = 8;

// How a message was committed, and so how its decode is marked finished.
enum class CommitKind {
  kRecord,  // "<n>.rcpt", renamed "<n>.<envelope>.dcd"
  kNote,    // the raw file's note; the raw file renamed "<n>.<envelope>.dcq"
};

// A name of digits only (a counter value, at most 4294967295).
bool IsNumberName(std::string_view text);
// "<digits>.cqx": a raw message file of the receiver.
bool IsRawMessageName(std::string_view name);

// "/d/OUT/12.cqx" -> "/d/OUT/12.rcpt".
std::string CommitRecordPath(const std::string& rawPath);
// "/d/OUT/12.cqx", "ENV7" -> "/d/OUT/12.ENV7.dcd".
std::string DecodedMarkerPath(const std::string& rawPath, const std::string& envelopeName);
// "/d/OUT/12.cqx", "ENV7" -> "/d/OUT/12.ENV7.dcq".
std::string DecodedRawPath(const std::string& rawPath, const std::string& envelopeName);

// The seal of data fed to it piece by piece, as it is written.
class DataSeal {
 public:
  DataSeal() : m_digest(platform::DigestAlgorithm::Sha256) {}
  void Add(std::string_view data) { m_digest.Update(data); }
  // The seal of everything added; none when no digest could be had.
  std::optional<std::string> Text();

 private:
  platform::Digest m_digest;
};
// The seal of a file's whole content; none when it cannot be read.
std::optional<std::string> SealOfFile(const std::string& path);

// Commits the raw file by its note. With seal (the seal of everything written to it): the
// sealed note put on, what durableFirst makes durable synced once the write-back has begun,
// then the file synced with its note, and the folder. Without: its data synced after
// durableFirst, the unsealed note put on, the file synced again with its note and the folder
// synced. kNotKept: no note could be put, because the system keeps none with the file or the
// recipients are too long for one (found before anything is synced) or the file system refused
// it; the caller writes a record instead. kFailed: not durable.
enum class NoteCommit { kCommitted, kNotKept, kFailed };
NoteCommit CommitByNote(const std::string& rawPath, const std::vector<std::string>& recipients,
                        platform::File& raw, SharedFolderSync* sync,
                        const std::function<bool()>& durableFirst,
                        const std::optional<std::string>& seal = std::nullopt);
// What a raw file's note says: none; it commits the file (a sealed note's seal matches the
// data, or the note is unsealed, or it cannot be read, which the decode reports); or its data
// did not reach the disk whole (the seal does not match: the file was never acknowledged).
enum class NoteState { kNone, kCommits, kNotWhole };
NoteState CommitNoteState(const std::string& rawPath);
// The recipients of a raw file's note, sealed or not; none when it has none or it breaks the
// bounds. The seal is not checked here (CommitNoteState does).
std::optional<std::vector<std::string>> ReadCommitNote(const std::string& rawPath);

// Writes, syncs and renames the record into place and syncs the folder: true when the message
// may be acknowledged. On failure nothing of the record is left.
// sync: the folder sync to share with other sessions (null: a sync of its own). spares: where
// the record's file is taken from when one is kept there (null: always a new file). raw: the
// raw file still open, its write-back started; it is synced here together with the record
// (null: the raw file was synced before). durableFirst: what must be on the disk before the
// record may be (the raw file's number); it runs once both files' write-back has begun and before
// either is waited for, so that its sync and theirs go to the disk together; false fails the
// record.
bool WriteCommitRecord(const std::string& rawPath, const std::vector<std::string>& recipients,
                       SharedFolderSync* sync = nullptr, SpareFiles* spares = nullptr,
                       platform::File* raw = nullptr,
                       const std::function<bool()>& durableFirst = {});
// The recipients of a record; none when it cannot be read or breaks the bounds.
std::optional<std::vector<std::string>> ReadCommitRecord(const std::string& recordPath);

// The parts of a decoded marker's file name "<n>.<envelope>.dcd": the raw file's name
// "<n>.cqx" and the envelope's name; none when the name is not of that form.
struct DecodedMarker {
  std::string rawName;
  std::string envelopeName;
};
std::optional<DecodedMarker> ParseDecodedMarker(const std::string& name);
// The same for a decoded raw file "<n>.<envelope>.dcq".
std::optional<DecodedMarker> ParseDecodedRaw(const std::string& name);

}  // namespace faxmail
