// Files and folders of the platform layer.
//
// File is a move-only handle for one open file. Opening "without sharing" (Share::None) takes
// an exclusive advisory lock on the open file description; every other open takes a shared
// one. A conflicting lock held by any other open - in this process or another - makes the open
// fail at once with kErrorSharingViolation (32), never wait. The fax server stand-in and every
// tool of this project open files through this layer, so the lock is the exclusion between the
// gateway and the fax server.
//
// All operations return an error number of win_error.h (0 on success) and set the calling
// thread's last error on failure. A File may be used by one thread at a time. Its destructor
// closes quietly; Close() reports a failed close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace faxmail::platform {

enum class Access { Read, Write, ReadWrite, Attributes };
enum class Share { None, Read, ReadWrite };
enum class Disposition {
  CreateNew,         // fails with kErrorFileExists when the name exists
  CreateAlways,      // creates, or empties an existing file
  OpenExisting,      // fails with kErrorFileNotFound (or kErrorPathNotFound for the folder)
  OpenAlways,        // opens, or creates an empty file
  TruncateExisting,  // opens an existing file and empties it
};
// Whether an open follows a symbolic link at the path's last component. DontFollow fails with
// kErrorStoppedOnSymlink there, without touching the link or its target.
enum class Links { Follow, DontFollow };
// What an open accepts at the path. RegularFile: a regular file only. A FIFO, device, socket or
// folder fails with kErrorCantAccessFile, and the open never waits on it (a FIFO without a
// writer would hold the caller in open() for good). With Links::DontFollow this is how files
// that another party puts into a shared folder are opened.
enum class Kind { Any, RegularFile };

// Who may use a file, as far as a secret kept in it is concerned.
struct FileAccess {
  bool regularFile = false;
  bool ownedByAdministrator = false;  // root
  bool ownedByProcessUser = false;    // the effective user of this process
  bool openToOthers = false;          // any group or other permission bit is set
  std::uint32_t permissions = 0;      // the permission bits (07777), for messages
};

class File {
 public:
  File() noexcept = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  static long Open(const std::string& path, Access access, Share share, Disposition disposition,
                   File& out, Links links = Links::Follow, Kind kind = Kind::Any);

  bool IsOpen() const noexcept { return m_fd >= 0; }
  // A small positive number naming this open file, stable while it is open (the descriptor).
  int Id() const noexcept { return m_fd; }

  // Reads up to size bytes; got is 0 at the end of the file.
  long Read(void* buffer, std::size_t size, std::size_t& got);
  // Writes all of size bytes or fails.
  long Write(const void* buffer, std::size_t size);
  long Write(std::string_view text) { return Write(text.data(), text.size()); }
  long Seek(std::int64_t offset, int whence, std::int64_t* position = nullptr);
  long Size(std::uint64_t& size) const;
  long Truncate(std::uint64_t size);
  // How many names the open file has (its hard links; 0 once every name is gone).
  long LinkCount(std::uint64_t& count) const;
  // Both at once, from one look at the file.
  long LinksAndSize(std::uint64_t& links, std::uint64_t& size) const;
  // Makes the written data durable (fsync).
  long Sync();
  // Makes the written data durable with what is needed to read it back (its size, its blocks),
  // but not times of access or change (fdatasync): enough for a file that is only read.
  long SyncData();
  // Starts writing the file's data to the disk without waiting for it (a hint; an error here
  // is no error of the data). Several files started this way and then synced one by one wait
  // for the disk together instead of one after another.
  void StartWriteBack();
  // Only the file's owner may read or write it from now on (mode 0600): for secrets.
  long RestrictToOwner();
  // Who owns the open file and whether anyone else may use it: for secrets written by hand.
  long QueryAccess(FileAccess& out) const;
  long Close();

 private:
  explicit File(int fd) noexcept : m_fd(fd) {}
  // Closes a file of this backend without a report (destructor and move assignment).
  static void CloseQuietly(int id) noexcept;
  int m_fd = -1;
};

struct DirEntry {
  std::string name;
  bool isDirectory = false;
  bool isHidden = false;  // names beginning with "."
  std::uint64_t size = 0;
};

// Entries of a folder whose names match pattern ('*' and '?', letter case ignored), "." and
// ".." left out, in the folder's own order. kErrorPathNotFound when it cannot be listed.
long FindFiles(const std::string& folder, std::string_view pattern, std::vector<DirEntry>& out);
bool MatchPattern(std::string_view name, std::string_view pattern) noexcept;

long DeleteFile(const std::string& path);
// Whether a rename first looks for a holder of the file.
enum class Holders {
  kRefused,  // fails with kErrorSharingViolation while one holds it open without sharing
  kNone,     // the caller's own file, closed, that nothing else opens: no look (it costs an
             // open of the file here, where the system it stands in for checks for nothing)
};
// Fails with kErrorAlreadyExists when replace is false and target exists, and as holders says
// while the file is held open.
long RenameFile(const std::string& from, const std::string& to, bool replace = false,
                Holders holders = Holders::kRefused);
// With sync, the copy is on disk when the call returns.
long CopyFile(const std::string& from, const std::string& to, bool overwrite, bool sync = false);
long CreateDirectory(const std::string& path);
// A folder for this process's own files: created with access for its owner only (0700), or
// taken as it is when it already exists as a folder (not a symbolic link to one) owned by the
// running user. kErrorStoppedOnSymlink for a link, kErrorAccessDenied for anything else in the
// way or someone else's folder, else the error of creating it.
long CreatePrivateDirectory(const std::string& path);
long RemoveDirectory(const std::string& path);
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// True when both names are links to one file (the same device and inode; links not followed).
bool SameFile(const std::string& a, const std::string& b);
// True when path names a folder this process may enter (search permission on it).
bool DirectoryEnterable(const std::string& path);
// The time of the last change of a file or folder (for a folder: an entry added or removed),
// in seconds since 1970-01-01 UTC.
long GetModifiedTime(const std::string& path, std::uint64_t& seconds);
// Makes a rename or creation in the folder durable.
long SyncDirectory(const std::string& folder);

// A short note kept with a file itself (an extended attribute "user.faxmail.<name>"), not in
// its data: it goes where the file goes and is gone with it. Tagging fails where the file
// system keeps no such notes; a missing note, or one longer than kMaxFileTag, reads as none.
inline constexpr std::size_t kMaxFileTag = 255;
// Whether a file's notes belong to its metadata, so that File::Sync of the file makes them
// durable with it (extended attributes); on Windows they are streams of their own.
#ifdef _WIN32
inline constexpr bool kFileTagsSyncWithFile = false;
#else
inline constexpr bool kFileTagsSyncWithFile = true;
#endif
long SetFileTag(const std::string& path, std::string_view name, std::string_view value);
std::optional<std::string> GetFileTag(const std::string& path, std::string_view name);

// Appends data to a file (created when missing) with one write, so that lines appended by
// concurrent writers of any process never interleave. The file is opened and closed each time.
long AppendToFile(const std::string& path, std::string_view data);

// A file that text is appended to again and again (a log), kept open between the appends that
// AppendToFile would each open and close. Before every append the path is checked: when it
// no longer names the file held open (moved away, removed or replaced, as by logrotate, or a
// folder on its path moved) that one is let go and the path opened again, created when
// missing. So every append lands in the file that AppendToFile would have put it in, with the
// same one write. The check asks a watch on the file and the folders of its path whether
// anything happened to them, which costs a fraction of a look-up by name; a path the watch
// cannot cover (relative, or through a symbolic link) is looked up before every append.
// Thread-safe; the path may change from one call to the next. On Windows, where only an open
// handle tells a file's identity, every append opens the path as AppendToFile does.
class AppendFile {
 public:
  AppendFile() noexcept = default;
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  long Append(const std::string& path, std::string_view data);
  // Lets go of the open file (the next Append opens the path again; an append under way
  // finishes in the file it began with).
  void Close();

 private:
  struct Held;         // the open file and its identity; closed when its last user lets go
  std::mutex m_mutex;  // guards m_held
  std::shared_ptr<const Held> m_held;  // the writes themselves go on outside the mutex
};

// The folder part of a path (up to its last separator), "." when there is none.
std::string ParentFolder(const std::string& path);

// The separator of file paths: a backslash on Windows (where a slash is taken as one too).
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

}  // namespace faxmail::platform
