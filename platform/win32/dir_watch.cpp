#include "platform/dir_watch.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/handle.h"
#include "platform/win32/windows_api.h"
#include "platform/win_error.h"

namespace faxmail::platform {
namespace {

using win32::FromHandle;
using win32::ToHandle;

// Room for many notices per read; the system keeps what comes between two reads of a handle
// in a buffer of the same size, and reports a burst beyond it as an empty read.
constexpr DWORD kNoticeBuffer = 64 * 1024;

constexpr DWORD kNameNotices = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
// Arrivals also wake on a file written and closed.
constexpr DWORD kArrivalNotices = kNameNotices | FILE_NOTIFY_CHANGE_LAST_WRITE;

DWORD NoticesFor(bool names) { return names ? kNameNotices : kArrivalNotices; }

// What the system answers, in place of notices, when it has lost some.
constexpr DWORD kErrorNotifyEnumDir = ERROR_NOTIFY_ENUM_DIR;

std::string Narrow(const wchar_t* text, std::size_t length) {
  if (length == 0) return {};
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    ::WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), out.data(), size, nullptr,
                          nullptr);
  return out;
}

// One read of the folder's notices, in flight while it lives: its destructor cancels it and
// waits until the system has let go of the buffer.
class PendingRead {
 public:
  PendingRead(HANDLE folder, HANDLE event, DWORD notices)
      : m_folder(folder), m_buffer(kNoticeBuffer / 4) {
    m_overlapped.hEvent = event;
    ::ResetEvent(event);
    m_started = ::ReadDirectoryChangesW(folder, m_buffer.data(), kNoticeBuffer, FALSE, notices,
                                        nullptr, &m_overlapped, nullptr) != 0;
  }
  ~PendingRead() {
    if (m_started && !m_done) {
      ::CancelIoEx(m_folder, &m_overlapped);
      DWORD ignored = 0;
      ::GetOverlappedResult(m_folder, &m_overlapped, &ignored, TRUE);
    }
  }
  PendingRead(const PendingRead&) = delete;
  PendingRead& operator=(const PendingRead&) = delete;

  bool Started() const noexcept { return m_started; }
  // The bytes of notices once the read has completed (0: notices were lost), or -1 with the
  // system's error in *error.
  long Finish(DWORD* error = nullptr) {
    DWORD length = 0;
    m_done = true;
    if (!::GetOverlappedResult(m_folder, &m_overlapped, &length, FALSE)) {
      if (error) *error = ::GetLastError();
      return -1;
    }
    return static_cast<long>(length);
  }
  // Cancels a read that has not completed and waits until the system lets go of it: the bytes
  // of notices when it completed after all, 0 when it was cancelled with nothing, or -1 with
  // the system's error in *error.
  long Cancel(DWORD* error) {
    m_done = true;
    ::CancelIoEx(m_folder, &m_overlapped);
    DWORD length = 0;
    if (!::GetOverlappedResult(m_folder, &m_overlapped, &length, TRUE)) {
      *error = ::GetLastError();
      return *error == ERROR_OPERATION_ABORTED ? 0 : -1;
    }
    // A read that completed empty before the cancel reached it lost its notices.
    return length == 0 ? (*error = kErrorNotifyEnumDir, -1) : static_cast<long>(length);
  }
  const unsigned char* Data() const noexcept {
    return reinterpret_cast<const unsigned char*>(m_buffer.data());
  }

 private:
  HANDLE m_folder;
  OVERLAPPED m_overlapped{};
  std::vector<std::uint32_t> m_buffer;  // DWORD-aligned, as the notices must be
  bool m_started = false;
  bool m_done = false;
};

// Calls each(action, name) for every notice of a completed read, in order; stops at a notice
// that does not fit in what was read.
template <typename Each>
void ForEachNotice(const unsigned char* data, std::size_t length, Each each) {
  std::size_t offset = 0;
  const std::size_t nameOffset = offsetof(FILE_NOTIFY_INFORMATION, FileName);
  while (length - offset >= sizeof(FILE_NOTIFY_INFORMATION)) {
    FILE_NOTIFY_INFORMATION header;
    std::memcpy(&header, data + offset, sizeof header);
    if (header.FileNameLength > length - offset - nameOffset) break;
    std::wstring wide(header.FileNameLength / sizeof(wchar_t), L'\0');
    std::memcpy(wide.data(), data + offset + nameOffset, wide.size() * sizeof(wchar_t));
    if (!each(header.Action, Narrow(wide.data(), wide.size()))) return;
    if (header.NextEntryOffset == 0 || header.NextEntryOffset > length - offset) break;
    offset += header.NextEntryOffset;
  }
}

// The identity of an open folder (volume and file number), for Watches.
bool IdentityOf(HANDLE handle, std::uint64_t& volume, std::uint64_t& index) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(handle, &information)) return false;
  volume = information.dwVolumeSerialNumber;
  index = std::uint64_t{information.nFileIndexHigh} << 32 | information.nFileIndexLow;
  return true;
}

}  // namespace

void DirectoryWatch::Close() noexcept {
  if (m_notify >= 0) ::CloseHandle(ToHandle(m_notify));
  if (m_interrupt >= 0) ::CloseHandle(ToHandle(m_interrupt));
  m_notify = m_interrupt = -1;
}

long DirectoryWatch::Open(const std::string& folder, DirectoryWatch& out, Events events) {
  const DWORD attributes = ::GetFileAttributesA(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetLastError(kErrorPathNotFound);
    return kErrorPathNotFound;
  }
  const HANDLE handle = ::CreateFileA(
      folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const long error = static_cast<long>(::GetLastError());
    SetLastError(error);
    return error;
  }
  DirectoryWatch watch;
  watch.m_notify = FromHandle(handle);
  watch.m_names = events == Events::Names;
  watch.m_folder = folder;
  if (!IdentityOf(handle, watch.m_device, watch.m_inode)) {
    const long error = static_cast<long>(::GetLastError());
    SetLastError(error);
    return error;
  }
  const HANDLE interrupt = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!interrupt) {
    const long error = static_cast<long>(::GetLastError());
    SetLastError(error);
    return error;
  }
  watch.m_interrupt = FromHandle(interrupt);
  // The system keeps the notices of a folder handle from its first read on, also while no read
  // is waiting: one read started and cancelled here, so that nothing from now on is missed.
  {
    const HANDLE started = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (started) {
      { const PendingRead first(handle, started, NoticesFor(watch.m_names)); }
      ::CloseHandle(started);
    }
  }
  out = std::move(watch);
  return kErrorSuccess;
}

DirectoryWatch::Woken DirectoryWatch::Wait(std::chrono::milliseconds timeout,
                                           const std::function<bool(std::string_view)>& wanted,
                                           std::vector<std::string>* arrived) {
  if (!IsOpen()) return Woken::Timeout;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const HANDLE done = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!done) return Woken::Timeout;
  struct EventCloser {
    HANDLE event;
    ~EventCloser() { ::CloseHandle(event); }
  } closer{done};
  std::size_t names = 0;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Woken::Timeout;
    PendingRead read(ToHandle(m_notify), done, NoticesFor(m_names));
    if (!read.Started()) return Woken::Overflow;
    const HANDLE handles[2] = {done, ToHandle(m_interrupt)};
    const DWORD ready = ::WaitForMultipleObjects(
        2, handles, FALSE, static_cast<DWORD>(std::min<std::int64_t>(left.count(), 0x7fffffff)));
    if (ready == WAIT_TIMEOUT) return Woken::Timeout;
    if (ready == WAIT_OBJECT_0 + 1) return Woken::Interrupted;
    if (ready != WAIT_OBJECT_0) return Woken::Timeout;
    const long length = read.Finish();
    if (length <= 0) return Woken::Overflow;
    bool arrival = false;
    bool tooMany = false;
    ForEachNotice(
        read.Data(), static_cast<std::size_t>(length), [&](DWORD action, const std::string& name) {
          if (!wanted(name)) return true;
          arrival = true;
          if (++names > kMaxArrivedNames) {
            tooMany = true;
            return false;
          }
          if (arrived && (action == FILE_ACTION_ADDED || action == FILE_ACTION_RENAMED_NEW_NAME))
            arrived->push_back(name);
          return true;
        });
    if (tooMany) return Woken::Overflow;
    if (arrival) return Woken::Arrival;
  }
}

void DirectoryWatch::Interrupt() {
  if (m_interrupt < 0) return;
  ::SetEvent(ToHandle(m_interrupt));
}

// Reads the notices the system has kept since the last read: each read that finds some
// completes at once, and one that finds none is cancelled, so nothing is waited for. Lost
// notices (ERROR_NOTIFY_ENUM_DIR, or an empty read) and a folder that has gone end the watch.
DirectoryWatch::Drained DirectoryWatch::DrainNames(std::vector<NameChange>& changes) {
  if (!IsOpen() || m_lost || !m_names) return Drained::Lost;
  const HANDLE done = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!done) return Drained::Lost;
  struct EventCloser {
    HANDLE event;
    ~EventCloser() { ::CloseHandle(event); }
  } closer{done};
  const std::string base = m_folder.empty() || m_folder.back() == '\\' || m_folder.back() == '/'
                               ? m_folder
                               : m_folder + "\\";
  for (;;) {
    PendingRead read(ToHandle(m_notify), done, NoticesFor(m_names));
    if (!read.Started()) {
      m_lost = true;
      return Drained::Lost;
    }
    DWORD error = 0;
    const long length =
        ::WaitForSingleObject(done, 0) == WAIT_OBJECT_0 ? read.Finish(&error) : read.Cancel(&error);
    if (length < 0 || (length == 0 && error != ERROR_OPERATION_ABORTED)) {
      m_lost = true;
      return Drained::Lost;
    }
    if (length == 0) return Drained::Complete;  // nothing kept: all has been read
    ForEachNotice(
        read.Data(), static_cast<std::size_t>(length), [&](DWORD action, const std::string& name) {
          NameChange change;
          change.name = name;
          change.added = action == FILE_ACTION_ADDED || action == FILE_ACTION_RENAMED_NEW_NAME;
          if (!change.added && action != FILE_ACTION_REMOVED &&
              action != FILE_ACTION_RENAMED_OLD_NAME)
            return true;  // a change of a name's file, not of the names
          // The notice does not tell a folder from a file: an added name is looked
          // at (gone again by now, its removal follows and the kind does not matter).
          if (change.added) {
            const DWORD attributes = ::GetFileAttributesA((base + name).c_str());
            change.isDirectory =
                attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
          }
          changes.push_back(std::move(change));
          return true;
        });
  }
}

bool DirectoryWatch::Watches(const std::string& folder) const {
  if (!IsOpen() || m_lost) return false;
  const HANDLE handle = ::CreateFileA(folder.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  const bool known = IdentityOf(handle, volume, index);
  ::CloseHandle(handle);
  return known && volume == m_device && index == m_inode;
}

}  // namespace faxmail::platform
