// Files given up, kept empty in a folder of their own for the next new file to be made from.
//
// Every file a file system creates and frees costs it metadata work, and on ext4 without a
// journal each new file also walks past every inode freed in the last half minute: at a few
// hundred mails a second, three frees a mail made each create cost more the faster mail came.
// So the gateway's short-lived files in OUT (commit records and their markers, scratch files,
// raw messages that are not kept) are not deleted but given up here: moved into the spare
// folder, then emptied. The next such file is a spare moved into its place, not a new file.
// A file given up to be written over (a decoded marker, the next record's worth) keeps its
// data instead when it holds no more than kKeptSpareData: emptying it would free its block (on
// a file system mounted with discard, a discard the thread waits for) only for the next record
// to allocate one again. Such a spare is handed out only to be written
// over where it lies (TakeInPlace, which prefers it); Take and TakeNew hand out empty spares
// alone. At most kMaxHoldingSpares keep their data; a file given up beyond them is emptied.
//
// The spare folder is the gateway's own (owner only), beside the folders it serves and on the
// same file system; nothing else lists it. A spare is a regular file with a single name. The folder
// keeps at most kMaxSpareFiles; beyond that, or wherever a move is not possible (another file
// system, no room for a name), a file given up is deleted and a new file made as before. The spares
// belong to one process: a start removes what a previous run left (RemoveLeftovers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace faxmail {

// More than the sessions that commit at once (a record each) and the decodes that give up
// files meanwhile; a larger pool would only keep more inodes busy.
inline constexpr std::size_t kMaxSpareFiles = 64;
// A spare given up with this much data or less keeps it: one block of the usual file systems,
// and more than a commit record of a few recipients, which is what reuses it.
inline constexpr std::uint64_t kKeptSpareData = 4096;
// Spares that keep their data: more than the records written at once (one a session, of at
// most 20 served), so that each finds one, and few enough to leave room for empty ones.
inline constexpr std::size_t kMaxHoldingSpares = kMaxSpareFiles / 2;

// What a file given up keeps of its data as a spare.
enum class SpareData {
  kEmptied,  // nothing: it may serve any new file
  kKept,     // its data, when small: it serves a record written over it (TakeInPlace)
};

class SpareFiles {
 public:
  // folder: the spare folder (ends with the separator), made when first needed.
  explicit SpareFiles(std::string folder) : m_folder(std::move(folder)) {}
  SpareFiles(const SpareFiles&) = delete;
  SpareFiles& operator=(const SpareFiles&) = delete;

  const std::string& Folder() const noexcept { return m_folder; }
  // Gives up the file at path, a file of the caller's own that it has closed and that nothing
  // else opens, as platform::DeleteFile would (the same result: 0 once the name is gone; no
  // look for holders first), keeping it as a spare when it is a regular file with no other name and
  // there is room. Emptied, unless data is kKept, it holds kKeptSpareData or less and fewer than
  // kMaxHoldingSpares keep theirs.
  long Give(const std::string& path, SpareData data = SpareData::kEmptied);
  // Moves an empty spare to path, replacing whatever is there. False when there is none: the
  // caller creates the file as usual. Either way the caller opens it emptying.
  bool Take(const std::string& path);
  // Moves an empty spare to path only while no file has that name, as an exclusive create
  // would make one. kNone: no spare (create as usual); kExists: the name is taken, the spare
  // kept.
  enum class Claim { kTaken, kExists, kNone };
  Claim TakeNew(const std::string& path);
  // Takes a spare where it lies, one that holds data first: its path in the spare folder, for
  // the caller to write over whole (what it held must not outlast the caller's write) and then
  // move to its place itself (or delete). None when there is none.
  std::optional<std::string> TakeInPlace();
  std::size_t Count();
  // Removes every file of the spare folder (what a previous run left); how many went.
  int RemoveLeftovers();

 private:
  bool FolderReady();  // m_mutex held
  // Moves the last spare to path (over a file there only when replace is set).
  Claim Move(const std::string& path, bool replace);

  const std::string m_folder;
  std::mutex m_mutex;                  // guards the members below
  bool m_folderMade = false;           // the folder exists and is ours
  bool m_folderFailed = false;         // it could not be made: no spares are kept
  std::vector<std::string> m_spares;   // paths of empty spares ready to take
  std::vector<std::string> m_holding;  // paths of spares that kept their data
  std::uint64_t m_next = 0;            // the number of the next spare name
};

}  // namespace faxmail
