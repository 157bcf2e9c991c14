// The Windows headers for the win32 backend, included by its .cpp files only (after their own
// header). The headers turn many system names into macros for their A and W forms; where such
// a name is also one of the platform layer's own functions, the macro is removed here, so the
// layer's definitions keep their names. The backend calls the system's A forms by their full
// names (CreateFileA, RegOpenKeyExA ...).
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#undef CopyFile
#undef CreateDirectory
#undef CreateService
#undef DeleteFile
#undef EnumDependentServices
#undef EnumServicesStatus
#undef ExpandEnvironmentStrings
#undef OpenSCManager
#undef OpenService
#undef QueryServiceConfig
#undef ReadEventLog
#undef RegCreateKey
#undef RegDeleteTree
#undef RegDeleteValue
#undef RegOpenKey
#undef RegQueryValue
#undef RegSetValue
#undef RegisterEventSource
#undef RegisterServiceCtrlHandler
#undef RemoveDirectory
#undef ReportEvent
#undef StartService
#undef StartServiceCtrlDispatcher
