// Error numbers of the platform layer.
//
// Every platform operation reports failure with the system's own small error numbers, the
// ones administrators find in the logs and that the gateway's rules test for (a sharing
// violation is 32 whatever the backend). errno values are translated once, here.
#pragma once

#include <string_view>

namespace faxmail::platform {

inline constexpr long kErrorSuccess = 0;
inline constexpr long kErrorFileNotFound = 2;
inline constexpr long kErrorPathNotFound = 3;
inline constexpr long kErrorTooManyOpenFiles = 4;
inline constexpr long kErrorAccessDenied = 5;
inline constexpr long kErrorInvalidHandle = 6;
inline constexpr long kErrorNotEnoughMemory = 8;
inline constexpr long kErrorWriteFault = 29;
inline constexpr long kErrorReadFault = 30;
inline constexpr long kErrorSharingViolation = 32;
inline constexpr long kErrorHandleEof = 38;
// The file system cannot do what was asked (a note kept with a file, where it keeps none).
inline constexpr long kErrorNotSupported = 50;
inline constexpr long kErrorFileExists = 80;
inline constexpr long kErrorInvalidParameter = 87;
inline constexpr long kErrorDiskFull = 112;
inline constexpr long kErrorInsufficientBuffer = 122;
inline constexpr long kErrorInvalidName = 123;
inline constexpr long kErrorDirNotEmpty = 145;
inline constexpr long kErrorAlreadyExists = 183;
inline constexpr long kErrorBadExeFormat = 193;
inline constexpr long kErrorMoreData = 234;
inline constexpr long kErrorNoMoreItems = 259;
// An open that was told not to follow symbolic links met one.
inline constexpr long kErrorStoppedOnSymlink = 681;
inline constexpr long kErrorBadDb = 1009;
// An open that asked for a regular file met something else (a FIFO, device, socket, folder).
inline constexpr long kErrorCantAccessFile = 1920;
inline constexpr long kErrorKeyDeleted = 1018;

// Error numbers with this bit are the backend's own (an errno value without a system number).
inline constexpr long kErrorApplicationBit = 0x20000000;

// The error number for an errno value.
long ErrorFromErrno(int err) noexcept;
// A short text for an error number, as logs and events show it.
std::string_view ErrorText(long error) noexcept;
// The system's own sentence for an error number, as it words it in message boxes ("Access is
// denied.", "The service has not been started."); a number it has no sentence for gives
// ErrorText's.
std::string_view SystemMessageText(long error) noexcept;

// The calling thread's last error: every platform operation that fails sets it (sockets
// included), so callers that log "the last error" after a failure find the right number.
long LastError() noexcept;
void SetLastError(long error) noexcept;
// Sets the last error from errno and returns it.
long SetLastErrorFromErrno() noexcept;

}  // namespace faxmail::platform
