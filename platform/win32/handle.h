// The system's handles kept in the platform layer's int slots (File, DirectoryWatch). Kernel
// handles are small numbers that the system guarantees to fit in 32 bits (so that 32- and
// 64-bit processes can share them); INVALID_HANDLE_VALUE is -1, the slots' "none".
#pragma once

#include <cstdint>

namespace faxmail::platform::win32 {

inline void* ToHandle(int slot) noexcept {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(slot));
}

inline int FromHandle(void* handle) noexcept {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

}  // namespace faxmail::platform::win32
