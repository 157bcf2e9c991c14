#include "platform/dir_watch.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

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

constexpr DWORD kNotices =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;

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
  PendingRead(HANDLE folder, HANDLE event) : m_folder(folder), m_buffer(kNoticeBuffer / 4) {
    m_overlapped.hEvent = event;
    ::ResetEvent(event);
    m_started = ::ReadDirectoryChangesW(folder, m_buffer.data(), kNoticeBuffer, FALSE, kNotices,
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
  // The bytes of notices once the read has completed (0: notices were lost), or -1.
  long Finish() {
    DWORD length = 0;
    m_done = true;
    if (!::GetOverlappedResult(m_folder, &m_overlapped, &length, FALSE)) return -1;
    return static_cast<long>(length);
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

}  // namespace

DirectoryWatch::~DirectoryWatch() { Close(); }

DirectoryWatch::DirectoryWatch(DirectoryWatch&& other) noexcept
    : m_notify(std::exchange(other.m_notify, -1)),
      m_interrupt(std::exchange(other.m_interrupt, -1)) {}

DirectoryWatch& DirectoryWatch::operator=(DirectoryWatch&& other) noexcept {
  if (this != &other) {
    Close();
    m_notify = std::exchange(other.m_notify, -1);
    m_interrupt = std::exchange(other.m_interrupt, -1);
  }
  return *this;
}

void DirectoryWatch::Close() noexcept {
  if (m_notify >= 0) ::CloseHandle(ToHandle(m_notify));
  if (m_interrupt >= 0) ::CloseHandle(ToHandle(m_interrupt));
  m_notify = m_interrupt = -1;
}

// XXX: a watch of names (Events::Names) is not built on Windows; callers that mirror a
// folder's names list it instead.
long DirectoryWatch::Open(const std::string& folder, DirectoryWatch& out, Events events) {
  if (events == Events::Names) {
    SetLastError(kErrorNotSupported);
    return kErrorNotSupported;
  }
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
      { const PendingRead first(handle, started); }
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
    PendingRead read(ToHandle(m_notify), done);
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
    std::size_t offset = 0;
    const unsigned char* data = read.Data();
    while (static_cast<std::size_t>(length) - offset >= sizeof(FILE_NOTIFY_INFORMATION)) {
      FILE_NOTIFY_INFORMATION header;
      std::memcpy(&header, data + offset, sizeof header);
      const std::size_t nameOffset = offsetof(FILE_NOTIFY_INFORMATION, FileName);
      if (header.FileNameLength > static_cast<std::size_t>(length) - offset - nameOffset) break;
      std::wstring wide(header.FileNameLength / sizeof(wchar_t), L'\0');
      std::memcpy(wide.data(), data + offset + nameOffset, wide.size() * sizeof(wchar_t));
      const std::string name = Narrow(wide.data(), wide.size());
      if (wanted(name)) {
        arrival = true;
        if (++names > kMaxArrivedNames) return Woken::Overflow;
        if (arrived &&
            (header.Action == FILE_ACTION_ADDED || header.Action == FILE_ACTION_RENAMED_NEW_NAME))
          arrived->push_back(name);
      }
      if (header.NextEntryOffset == 0) break;
      offset += header.NextEntryOffset;
    }
    if (arrival) return Woken::Arrival;
  }
}

void DirectoryWatch::Interrupt() {
  if (m_interrupt < 0) return;
  ::SetEvent(ToHandle(m_interrupt));
}

DirectoryWatch::Drained DirectoryWatch::DrainNames(std::vector<NameChange>&) {
  return Drained::Lost;
}

bool DirectoryWatch::Watches(const std::string&) const { return false; }

}  // namespace faxmail::platform
