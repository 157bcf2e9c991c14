#include "platform/file.h"

#include <cctype>
#include <cstdio>
#include <memory>

#include "platform/win32/access.h"
#include "platform/win32/handle.h"
#include "platform/win32/windows_api.h"
#include "platform/win_error.h"

namespace faxmail::platform {

namespace {

using win32::FromHandle;
using win32::ToHandle;

long Fail(long error) {
  SetLastError(error);
  return error;
}

long FailLast() { return Fail(static_cast<long>(::GetLastError())); }

DWORD ShareFlags(Share share) {
  switch (share) {
    case Share::None: return 0;
    case Share::Read: return FILE_SHARE_READ;
    case Share::ReadWrite: return FILE_SHARE_READ | FILE_SHARE_WRITE;
  }
  return 0;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// A directory is opened only for its attributes, never as a file.
bool IsDirectoryPath(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Seconds since 1970 of a FILETIME (100 ns steps since 1601).
std::uint64_t UnixSeconds(const FILETIME& time) {
  constexpr std::uint64_t kStepsPerSecond = 10000000;
  constexpr std::uint64_t kEpochDifference = 11644473600ULL;  // 1601-01-01 to 1970-01-01
  const std::uint64_t steps = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  const std::uint64_t seconds = steps / kStepsPerSecond;
  return seconds < kEpochDifference ? 0 : seconds - kEpochDifference;
}

}  // namespace

void File::CloseQuietly(int id) noexcept { ::CloseHandle(ToHandle(id)); }

long File::Open(const std::string& path, Access access, Share share, Disposition disposition,
                File& out, Links links, Kind kind) {
  out = File();
  DWORD desired = 0;
  switch (access) {
    case Access::Read: desired = GENERIC_READ; break;
    case Access::Write: desired = GENERIC_WRITE; break;
    case Access::ReadWrite: desired = GENERIC_READ | GENERIC_WRITE; break;
    // Read access, so that a probe without sharing meets every other open of the file.
    case Access::Attributes: desired = GENERIC_READ; break;
  }
  // A file is emptied only once the open has passed the share check, so that a file another
  // side holds is never cut (Wine empties it before it looks at the share modes).
  DWORD how = OPEN_EXISTING;
  bool truncate = false;
  switch (disposition) {
    case Disposition::CreateNew: how = CREATE_NEW; break;
    case Disposition::CreateAlways:
      how = OPEN_ALWAYS;
      truncate = true;
      break;
    case Disposition::OpenExisting: how = OPEN_EXISTING; break;
    case Disposition::OpenAlways: how = OPEN_ALWAYS; break;
    case Disposition::TruncateExisting:
      how = OPEN_EXISTING;
      truncate = true;
      break;
  }
  if (truncate) desired |= GENERIC_WRITE;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (links == Links::DontFollow) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  const HANDLE handle =
      ::CreateFileA(path.c_str(), desired, ShareFlags(share), nullptr, how, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const long error = static_cast<long>(::GetLastError());
    if (error == kErrorAccessDenied && IsDirectoryPath(path))
      return Fail(kind == Kind::RegularFile ? kErrorCantAccessFile : kErrorAccessDenied);
    return Fail(error);
  }
  File file(FromHandle(handle));
  if (links == Links::DontFollow) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        tag.ReparseTag == IO_REPARSE_TAG_SYMLINK)
      return Fail(kErrorStoppedOnSymlink);
  }
  if (kind == Kind::RegularFile && ::GetFileType(handle) != FILE_TYPE_DISK)
    return Fail(kErrorCantAccessFile);
  if (truncate && !::SetEndOfFile(handle)) return FailLast();
  out = std::move(file);
  return kErrorSuccess;
}

long File::Read(void* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  // ReadFile takes 32-bit counts; a larger request is a short read, as any read may be.
  const DWORD ask = size > 0x7fffffffU ? 0x7fffffffU : static_cast<DWORD>(size);
  DWORD n = 0;
  if (!::ReadFile(ToHandle(m_fd), buffer, ask, &n, nullptr)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) return kErrorSuccess;
    return Fail(static_cast<long>(error));
  }
  got = n;
  return kErrorSuccess;
}

long File::Write(const void* buffer, std::size_t size) {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  const char* p = static_cast<const char*>(buffer);
  while (size > 0) {
    const DWORD ask = size > 0x40000000U ? 0x40000000U : static_cast<DWORD>(size);
    DWORD n = 0;
    if (!::WriteFile(ToHandle(m_fd), p, ask, &n, nullptr)) return FailLast();
    if (n == 0) return Fail(kErrorDiskFull);
    p += n;
    size -= n;
  }
  return kErrorSuccess;
}

long File::Seek(std::int64_t offset, int whence, std::int64_t* position) {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  DWORD method = FILE_BEGIN;
  if (whence == SEEK_CUR) method = FILE_CURRENT;
  if (whence == SEEK_END) method = FILE_END;
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  LARGE_INTEGER at{};
  if (!::SetFilePointerEx(ToHandle(m_fd), distance, &at, method)) return FailLast();
  if (position) *position = at.QuadPart;
  return kErrorSuccess;
}

long File::Size(std::uint64_t& size) const {
  size = 0;
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  LARGE_INTEGER n{};
  if (!::GetFileSizeEx(ToHandle(m_fd), &n)) return FailLast();
  size = static_cast<std::uint64_t>(n.QuadPart);
  return kErrorSuccess;
}

long File::LinkCount(std::uint64_t& count) const {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(ToHandle(m_fd), &info)) return FailLast();
  count = info.nNumberOfLinks;
  return kErrorSuccess;
}

long File::LinksAndSize(std::uint64_t& links, std::uint64_t& size) const {
  links = 0;
  size = 0;
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(ToHandle(m_fd), &info)) return FailLast();
  links = info.nNumberOfLinks;
  size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return kErrorSuccess;
}

long File::Truncate(std::uint64_t size) {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  std::int64_t here = 0;
  if (const long error = Seek(0, SEEK_CUR, &here)) return error;
  if (const long error = Seek(static_cast<std::int64_t>(size), SEEK_SET)) return error;
  const bool cut = ::SetEndOfFile(ToHandle(m_fd)) != 0;
  const long error = cut ? kErrorSuccess : static_cast<long>(::GetLastError());
  Seek(here, SEEK_SET);
  return error == kErrorSuccess ? kErrorSuccess : Fail(error);
}

// A protected DACL for the owner, SYSTEM and Administrators (access.h): mode 0600's like.
long File::RestrictToOwner() {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  return win32::RestrictHandleToOwner(ToHandle(m_fd));
}

long File::Sync() {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  if (::FlushFileBuffers(ToHandle(m_fd))) return kErrorSuccess;
  if (::GetLastError() != ERROR_ACCESS_DENIED) return FailLast();
  // The system flushes only through a handle that may write: a file opened for reading (to
  // sync what was written and closed before) is flushed through a second handle of its own.
  const HANDLE writer =
      ::ReOpenFile(ToHandle(m_fd), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
  if (writer == INVALID_HANDLE_VALUE) return FailLast();
  const bool flushed = ::FlushFileBuffers(writer) != 0;
  const DWORD error = ::GetLastError();
  ::CloseHandle(writer);
  if (!flushed) return Fail(static_cast<long>(error));
  return kErrorSuccess;
}

// The system has no flush of the data alone: the whole file is flushed.
long File::SyncData() { return Sync(); }

// A hint the system has no call for: FlushFileBuffers is the one way to write a file's data
// out, and it waits. Each sync then waits on its own, as without the hint.
void File::StartWriteBack() {}

// The owner and "others" from the file's security descriptor (access.h); permissions carries
// the owner's and the others' rights as the owner and other bits of a mode.
long File::QueryAccess(FileAccess& access) const {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(ToHandle(m_fd), &information)) return FailLast();
  access = FileAccess{};
  access.regularFile = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                       ::GetFileType(ToHandle(m_fd)) == FILE_TYPE_DISK;
  return win32::QueryHandleAccess(ToHandle(m_fd), access);
}

long File::Close() {
  if (m_fd < 0) return Fail(kErrorInvalidHandle);
  const HANDLE handle = ToHandle(m_fd);
  m_fd = -1;
  if (!::CloseHandle(handle)) return FailLast();
  return kErrorSuccess;
}

namespace {

struct FindCloser {
  void operator()(HANDLE find) const noexcept { ::FindClose(find); }
};

}  // namespace

long FindFiles(const std::string& folder, std::string_view pattern, std::vector<DirEntry>& out) {
  out.clear();
  std::string base = folder.empty() ? std::string(".") : folder;
  if (!IsSeparator(base.back())) base.push_back(kPathSeparator);
  WIN32_FIND_DATAA data{};
  const HANDLE first = ::FindFirstFileA((base + "*").c_str(), &data);
  if (first == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return kErrorSuccess;
    return Fail(kErrorPathNotFound);
  }
  const std::unique_ptr<void, FindCloser> find(first);
  do {
    const std::string_view name = data.cFileName;
    if (name == "." || name == "..") continue;
    if (!MatchPattern(name, pattern)) continue;
    DirEntry item;
    item.name = std::string(name);
    item.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    item.isHidden = name.front() == '.' || (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN);
    item.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    out.push_back(std::move(item));
  } while (::FindNextFileA(first, &data));
  return kErrorSuccess;
}

long DeleteFile(const std::string& path) {
  if (IsDirectoryPath(path)) return Fail(kErrorAccessDenied);
  if (!::DeleteFileA(path.c_str())) return FailLast();
  return kErrorSuccess;
}

// The system refuses a file held open without sharing for delete whatever holders says.
long RenameFile(const std::string& from, const std::string& to, bool replace, Holders) {
  const DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
  if (!::MoveFileExA(from.c_str(), to.c_str(), flags)) {
    const long error = static_cast<long>(::GetLastError());
    return Fail(error == kErrorFileExists ? kErrorAlreadyExists : error);
  }
  return kErrorSuccess;
}

long CreateDirectory(const std::string& path) {
  if (!::CreateDirectoryA(path.c_str(), nullptr)) return FailLast();
  return kErrorSuccess;
}

// Created with the private DACL (access.h), or taken as it is when it is a folder (not a link
// to one) that the process's user owns.
long CreatePrivateDirectory(const std::string& path) {
  const long error = win32::CreatePrivateFolder(path);
  if (error != kErrorAlreadyExists) return error;
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FailLast();
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Fail(kErrorStoppedOnSymlink);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return Fail(kErrorAccessDenied);
  bool owned = false;
  if (const long ownerError = win32::FolderOwnedByProcessUser(path, owned)) return ownerError;
  if (!owned) return Fail(kErrorAccessDenied);
  return kErrorSuccess;
}

long RemoveDirectory(const std::string& path) {
  if (!::RemoveDirectoryA(path.c_str())) return FailLast();
  return kErrorSuccess;
}

bool FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path) { return IsDirectoryPath(path); }

bool DirectoryEnterable(const std::string& path) { return DirectoryExists(path); }

long GetModifiedTime(const std::string& path, std::uint64_t& seconds) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return FailLast();
  seconds = UnixSeconds(data.ftLastWriteTime);
  return kErrorSuccess;
}

// The file system journals its folders itself; there is nothing to sync a folder with.
long SyncDirectory(const std::string& folder) {
  if (!DirectoryExists(folder.empty() ? "." : folder)) return Fail(kErrorPathNotFound);
  return kErrorSuccess;
}

long AppendToFile(const std::string& path, std::string_view data) {
  const HANDLE handle =
      ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FailLast();
  // Appenders of every process take turns on a lock far past any real end of the file, then
  // write at the end they find: append access alone is not one step everywhere (Wine).
  OVERLAPPED turn{};
  turn.Offset = 0;
  turn.OffsetHigh = 0x40000000;
  const bool locked = ::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn) != 0;
  LARGE_INTEGER end{};
  DWORD n = 0;
  const bool wrote =
      locked && ::SetFilePointerEx(handle, LARGE_INTEGER{}, &end, FILE_END) &&
      ::WriteFile(handle, data.data(), static_cast<DWORD>(data.size()), &n, nullptr) != 0;
  const DWORD error = ::GetLastError();
  if (locked) ::UnlockFileEx(handle, 0, 1, 0, &turn);
  ::CloseHandle(handle);
  if (!wrote) return Fail(static_cast<long>(error));
  if (n != data.size()) return Fail(kErrorDiskFull);
  return kErrorSuccess;
}

// On Windows each append opens and closes the file as AppendToFile does. Keeping a handle would
// save nothing: the system tells a file's identity (volume and index) only through an open
// handle, so checking that the path still names the held file would cost the open that keeping
// it saves; and a held handle would stand in the way of whoever moves or removes the log.
AppendFile::~AppendFile() = default;

void AppendFile::Close() {}

long AppendFile::Append(const std::string& path, std::string_view data) {
  return AppendToFile(path, data);
}

std::string ParentFolder(const std::string& path) {
  const auto pos = path.find_last_of("\\/");
  if (pos == std::string::npos) return ".";
  if (pos == 0) return std::string(1, path[0]);
  // "C:\name" has the drive's root as its folder.
  if (pos == 2 && path[1] == ':') return path.substr(0, 3);
  return path.substr(0, pos);
}

namespace {

// A note is a named stream of the file ("name:faxmail.<tag>"), which goes where the file goes.
std::string TagStream(const std::string& path, std::string_view name) {
  return path + ":faxmail." + std::string(name);
}

}  // namespace

// Whether the volume of path keeps named streams (Wine's do not: a name with a colon there is
// a file of its own, which would not travel with the file).
bool KeepsNamedStreams(const std::string& path) {
  char full[MAX_PATH * 4] = {};
  char* namePart = nullptr;
  const DWORD n = ::GetFullPathNameA(path.c_str(), sizeof full, full, &namePart);
  if (n == 0 || n >= sizeof full) return false;
  std::string root(full, n);
  if (root.size() >= 3 && root[1] == ':')
    root = root.substr(0, 3);
  else
    return false;
  DWORD flags = 0;
  if (!::GetVolumeInformationA(root.c_str(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
    return false;
  return (flags & FILE_NAMED_STREAMS) != 0;
}

long SetFileTag(const std::string& path, std::string_view name, std::string_view value) {
  if (value.size() > kMaxFileTag) return Fail(kErrorInvalidParameter);
  if (!FileExists(path)) return Fail(kErrorFileNotFound);
  if (!KeepsNamedStreams(path)) return Fail(kErrorNotSupported);
  const HANDLE handle = ::CreateFileA(TagStream(path, name).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FailLast();
  DWORD n = 0;
  const bool wrote =
      ::WriteFile(handle, value.data(), static_cast<DWORD>(value.size()), &n, nullptr) != 0;
  const DWORD error = ::GetLastError();
  ::CloseHandle(handle);
  if (!wrote) return Fail(static_cast<long>(error));
  return kErrorSuccess;
}

std::optional<std::string> GetFileTag(const std::string& path, std::string_view name) {
  if (!KeepsNamedStreams(path)) return std::nullopt;
  const HANDLE handle = ::CreateFileA(TagStream(path, name).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  char value[kMaxFileTag + 1];
  DWORD n = 0;
  const bool read = ::ReadFile(handle, value, sizeof value, &n, nullptr) != 0;
  ::CloseHandle(handle);
  if (!read || n > kMaxFileTag) return std::nullopt;
  return std::string(value, n);
}

bool SameFile(const std::string& a, const std::string& b) {
  auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE handle = ::CreateFileA(
        path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool got = ::GetFileInformationByHandle(handle, &info) != 0;
    ::CloseHandle(handle);
    return got;
  };
  BY_HANDLE_FILE_INFORMATION first{};
  BY_HANDLE_FILE_INFORMATION second{};
  return identify(a, first) && identify(b, second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

}  // namespace faxmail::platform
