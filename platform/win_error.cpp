#include "platform/win_error.h"

#include <cerrno>
#include <string_view>

namespace faxmail::platform {

namespace {
thread_local long t_lastError = kErrorSuccess;
}

long LastError() noexcept { return t_lastError; }

void SetLastError(long error) noexcept { t_lastError = error; }

long SetLastErrorFromErrno() noexcept {
  t_lastError = ErrorFromErrno(errno);
  return t_lastError;
}

std::string_view SystemMessageText(long error) noexcept {
  // The service manager's sentences are ErrorText's own: the logs and the boxes word them alike.
  switch (error) {
    case kErrorSuccess: return "The operation completed successfully.";
    case kErrorFileNotFound: return "The system cannot find the file specified.";
    case kErrorPathNotFound: return "The system cannot find the path specified.";
    case kErrorTooManyOpenFiles: return "The system cannot open the file.";
    case kErrorAccessDenied: return "Access is denied.";
    case kErrorInvalidHandle: return "The handle is invalid.";
    case kErrorNotEnoughMemory:
      return "Not enough memory resources are available to process this command.";
    case kErrorWriteFault: return "The system cannot write to the specified device.";
    case kErrorReadFault: return "The system cannot read from the specified device.";
    case kErrorSharingViolation:
      return "The process cannot access the file because it is being used by another process.";
    case kErrorHandleEof: return "Reached the end of the file.";
    case kErrorFileExists: return "The file exists.";
    case kErrorInvalidParameter: return "The parameter is incorrect.";
    case kErrorDiskFull: return "There is not enough space on the disk.";
    case kErrorInsufficientBuffer: return "The data area passed to a system call is too small.";
    case kErrorInvalidName:
      return "The filename, directory name, or volume label syntax is incorrect.";
    case kErrorDirNotEmpty: return "The directory is not empty.";
    case kErrorAlreadyExists: return "Cannot create a file when that file already exists.";
    // The system leaves its insertion mark in place when it is asked for the bare sentence.
    case kErrorBadExeFormat: return "%1 is not a valid Win32 application.";
    case kErrorMoreData: return "More data is available.";
    case kErrorNoMoreItems: return "No more data is available.";
    case kErrorBadDb: return "The configuration registry database is corrupt.";
    case kErrorKeyDeleted:
      return "Illegal operation attempted on a registry key that has been marked for deletion.";
    default: return ErrorText(error);
  }
}

}  // namespace faxmail::platform
