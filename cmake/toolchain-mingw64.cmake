# Cross build for 64-bit Windows with MinGW-w64 (the posix threads model, so that std::thread
# and std::mutex work). Executables are linked static: nothing to find at run time but the
# system's own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FAXMAIL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FAXMAIL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FAXMAIL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${FAXMAIL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FAXMAIL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
