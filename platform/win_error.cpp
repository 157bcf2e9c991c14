#include "platform/win_error.h"

#include <cerrno>

namespace faxmail::platform {

long ErrorFromErrno(int err) noexcept {
  switch (err) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EWOULDBLOCK: return kErrorSharingViolation;
    case EEXIST: return kErrorFileExists;
    case EINVAL: return kErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case ENAMETOOLONG: return kErrorInvalidName;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case EIO: return kErrorWriteFault;
    default: return 1000 + err;  // still unique and visible in a log line
  }
}

namespace {
thread_local long t_lastError = kErrorSuccess;
}

long LastError() noexcept { return t_lastError; }

void SetLastError(long error) noexcept { t_lastError = error; }

long SetLastErrorFromErrno() noexcept {
  t_lastError = ErrorFromErrno(errno);
  return t_lastError;
}

}  // namespace faxmail::platform
