#include "platform/win_error.h"

#include <cerrno>
#include <string_view>

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

std::string_view ErrorText(long error) noexcept {
  switch (error) {
    case kErrorSuccess: return "No error";
    case kErrorFileNotFound: return "No such file or directory";
    case kErrorPathNotFound: return "No such file or directory";
    case kErrorTooManyOpenFiles: return "Too many open files";
    case kErrorAccessDenied: return "Permission denied";
    case kErrorInvalidHandle: return "Bad file descriptor";
    case kErrorNotEnoughMemory: return "Cannot allocate memory";
    case kErrorWriteFault: return "Input/output error";
    case kErrorReadFault: return "Input/output error";
    case kErrorSharingViolation: return "File is in use by another process";
    case kErrorFileExists:
    case kErrorAlreadyExists: return "File exists";
    case kErrorInvalidParameter: return "Invalid argument";
    case kErrorDiskFull: return "No space left on device";
    case kErrorInvalidName: return "File name too long";
    case kErrorDirNotEmpty: return "Directory not empty";
    case kErrorStoppedOnSymlink: return "Is a symbolic link";
    default: return "Unknown error";
  }
}

}  // namespace faxmail::platform
