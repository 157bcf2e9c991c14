// The error numbers' short texts and the translation of errno values: the same on every
// backend, so that a log line reads alike wherever the gateway runs. The runtime library's
// errno values meet the Windows backend only in its C streams (tests and tools); there the
// system's own calls report its numbers directly.
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
#ifdef EDQUOT
    case EDQUOT:
#endif
      return kErrorDiskFull;
    case ENAMETOOLONG: return kErrorInvalidName;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case EIO: return kErrorWriteFault;
    // Others keep their errno value in the range the system leaves to applications (bit 29
    // set), where no system error number lies: 1000 + errno would read as a service error.
    default: return kErrorApplicationBit | err;
  }
}

std::string_view ErrorText(long error) noexcept {
  // The short texts of the logs are the same on both backends, so that a log line reads alike
  // wherever the gateway runs.
  switch (error) {
    case kErrorSuccess: return "No error";
    case kErrorFileNotFound:
    case kErrorPathNotFound: return "No such file or directory";
    case kErrorTooManyOpenFiles: return "Too many open files";
    case kErrorAccessDenied: return "Permission denied";
    case kErrorInvalidHandle: return "Bad file descriptor";
    case kErrorNotEnoughMemory: return "Cannot allocate memory";
    case kErrorWriteFault:
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

}  // namespace faxmail::platform
