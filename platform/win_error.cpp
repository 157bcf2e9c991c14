#include "platform/win_error.h"

#include <cerrno>
#include <string_view>

#include "platform/service_control.h"

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
    // Others keep their errno value in the range the system leaves to applications (bit 29
    // set), where no system error number lies: 1000 + errno would read as a service error.
    default: return kErrorApplicationBit | err;
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
    case kErrorDependentServicesRunning:
      return "A stop control has been sent to a service that other running services are dependent "
             "on.";
    case kErrorInvalidServiceControl: return "The requested control is not valid for this service.";
    case kErrorServiceRequestTimeout:
      return "The service did not respond to the start or control request in a timely fashion.";
    case kErrorServiceNoThread: return "A thread could not be created for the service.";
    case kErrorServiceAlreadyRunning: return "An instance of the service is already running.";
    case kErrorServiceDisabled:
      return "The service cannot be started, either because it is disabled or because it has no "
             "enabled devices associated with it.";
    case kErrorCircularDependency: return "Circular service dependency was specified.";
    case kErrorServiceDoesNotExist:
      return "The specified service does not exist as an installed service.";
    case kErrorServiceCannotAcceptCtrl:
      return "The service cannot accept control messages at this time.";
    case kErrorServiceNotActive: return "The service has not been started.";
    case kErrorFailedServiceControllerConnect:
      return "The service process could not connect to the service controller.";
    case kErrorServiceSpecificError:
      return "The service has returned a service-specific error code.";
    case kErrorProcessAborted: return "The process terminated unexpectedly.";
    case kErrorServiceDependencyFail: return "The dependency service or group failed to start.";
    case kErrorServiceLogonFailed: return "The service did not start due to a logon failure.";
    case kErrorServiceMarkedForDelete: return "The specified service has been marked for deletion.";
    case kErrorServiceExists: return "The specified service already exists.";
    case kErrorServiceDependencyDeleted:
      return "The dependency service does not exist or has been marked for deletion.";
    default: return "Unknown error";
  }
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
