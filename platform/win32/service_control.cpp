// The service control manager of the system itself. Handles stay plain names, as on the other
// backend: each call opens the manager and the service with the access it needs and closes
// them again. The service process's side keeps its registered handlers and status handles in
// one table for the process, since the system calls plain functions.
#include "platform/service_control.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <mutex>
#include <vector>

#include "platform/process.h"
#include "platform/win32/windows_api.h"
#include "platform/win_error.h"

namespace faxmail::platform {

namespace {

long Fail(long error) {
  SetLastError(error);
  return error;
}

long FailLast() { return Fail(static_cast<long>(::GetLastError())); }

// A service manager handle for the scope it lives in.
class ScHandle {
 public:
  ScHandle() = default;
  explicit ScHandle(SC_HANDLE handle) : m_handle(handle) {}
  ~ScHandle() {
    if (m_handle) ::CloseServiceHandle(m_handle);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE Get() const noexcept { return m_handle; }
  explicit operator bool() const noexcept { return m_handle != nullptr; }
  void Reset(SC_HANDLE handle) {
    if (m_handle) ::CloseServiceHandle(m_handle);
    m_handle = handle;
  }

 private:
  SC_HANDLE m_handle = nullptr;
};

long OpenNative(const std::string& name, DWORD access, ScHandle& manager, ScHandle& service) {
  manager.Reset(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return FailLast();
  service.Reset(::OpenServiceA(manager.Get(), name.c_str(), access));
  if (!service) return FailLast();
  return kErrorSuccess;
}

ServiceStatus FromNative(const SERVICE_STATUS& native, long processId) {
  ServiceStatus status;
  status.serviceType = native.dwServiceType;
  status.currentState = native.dwCurrentState;
  status.controlsAccepted = native.dwControlsAccepted;
  status.win32ExitCode = native.dwWin32ExitCode;
  status.serviceSpecificExitCode = native.dwServiceSpecificExitCode;
  status.checkPoint = native.dwCheckPoint;
  status.waitHint = native.dwWaitHint;
  status.processId = processId;
  return status;
}

ServiceStatus FromNative(const SERVICE_STATUS_PROCESS& native) {
  ServiceStatus status;
  status.serviceType = native.dwServiceType;
  status.currentState = native.dwCurrentState;
  status.controlsAccepted = native.dwControlsAccepted;
  status.win32ExitCode = native.dwWin32ExitCode;
  status.serviceSpecificExitCode = native.dwServiceSpecificExitCode;
  status.checkPoint = native.dwCheckPoint;
  status.waitHint = native.dwWaitHint;
  status.processId = static_cast<long>(native.dwProcessId);
  return status;
}

// The dependencies as the system takes them: names each ended by a zero, and one more zero.
std::string DependencyList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) {
    list += name;
    list.push_back('\0');
  }
  list.push_back('\0');
  return list;
}

std::vector<std::string> SplitMultiString(const char* list) {
  std::vector<std::string> names;
  if (!list) return names;
  while (*list) {
    names.emplace_back(list);
    list += names.back().size() + 1;
  }
  return names;
}

bool ValidServiceName(std::string_view name) {
  return !name.empty() && name.find_first_of("\\/") == std::string_view::npos;
}

DWORD EnumState(ServiceStateFilter filter) {
  switch (filter) {
    case ServiceStateFilter::Active: return SERVICE_ACTIVE;
    case ServiceStateFilter::Inactive: return SERVICE_INACTIVE;
    case ServiceStateFilter::All: return SERVICE_STATE_ALL;
  }
  return SERVICE_STATE_ALL;
}

}  // namespace

std::string ServiceKeyPath(std::string_view name) {
  return "SYSTEM\\CurrentControlSet\\Services\\" + std::string(name);
}

std::string ServiceRuntimeFolder() { return FaxmailRoot() + "\\scm"; }

long OpenSCManager(ScManager& out) {
  const ScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return FailLast();
  out.m_open = true;
  return kErrorSuccess;
}

long CreateService(const ScManager& manager, const ServiceConfig& config, ScService& out) {
  if (!manager.IsOpen()) return Fail(kErrorInvalidHandle);
  if (!ValidServiceName(config.name)) return Fail(kErrorInvalidServiceName);
  const ScHandle native(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!native) return FailLast();
  const std::string dependencies = DependencyList(config.dependencies);
  // The system's own account is named by leaving the account out.
  const bool localSystem = config.account.empty() || config.account == kLocalSystemAccount;
  const ScHandle service(::CreateServiceA(
      native.Get(), config.name.c_str(),
      config.displayName.empty() ? config.name.c_str() : config.displayName.c_str(),
      SERVICE_ALL_ACCESS, config.serviceType, config.startType, config.errorControl,
      config.imagePath.c_str(), nullptr, nullptr, dependencies.data(),
      localSystem ? nullptr : config.account.c_str(), nullptr));
  if (!service) return FailLast();
  out.m_name = config.name;
  return kErrorSuccess;
}

long OpenService(const ScManager& manager, std::string_view name, ScService& out) {
  if (!manager.IsOpen()) return Fail(kErrorInvalidHandle);
  if (name.empty()) return Fail(kErrorInvalidServiceName);
  ScHandle native;
  ScHandle service;
  if (const long error = OpenNative(std::string(name), SERVICE_QUERY_CONFIG, native, service))
    return error;
  // The name as the system keeps it.
  out.m_name = std::string(name);
  char stored[257] = {};
  DWORD length = sizeof stored;
  if (::GetServiceKeyNameA(native.Get(), std::string(name).c_str(), stored, &length) &&
      stored[0] != '\0')
    out.m_name = stored;
  return kErrorSuccess;
}

long DeleteService(const ScService& service) {
  if (!service.IsOpen()) return Fail(kErrorInvalidHandle);
  ScHandle native;
  ScHandle handle;
  if (const long error = OpenNative(service.Name(), DELETE, native, handle)) return error;
  if (!::DeleteService(handle.Get())) return FailLast();
  return kErrorSuccess;
}

long StartService(const ScService& service, const std::vector<std::string>& args) {
  if (!service.IsOpen()) return Fail(kErrorInvalidHandle);
  ScHandle native;
  ScHandle handle;
  if (const long error = OpenNative(service.Name(), SERVICE_START, native, handle)) return error;
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  if (!::StartServiceA(handle.Get(), static_cast<DWORD>(argv.size()),
                       argv.empty() ? nullptr : argv.data()))
    return FailLast();
  return kErrorSuccess;
}

long ControlService(const ScService& service, std::uint32_t control, ServiceStatus& status) {
  if (!service.IsOpen()) return Fail(kErrorInvalidHandle);
  ScHandle native;
  ScHandle handle;
  const DWORD access = SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                       (control == kServiceControlStop ? SERVICE_STOP : 0) |
                       (control == kServiceControlPause || control == kServiceControlContinue
                            ? SERVICE_PAUSE_CONTINUE
                            : 0);
  if (const long error = OpenNative(service.Name(), access, native, handle)) return error;
  SERVICE_STATUS result{};
  if (!::ControlService(handle.Get(), control, &result)) return FailLast();
  status = FromNative(result, 0);
  SERVICE_STATUS_PROCESS process{};
  DWORD needed = 0;
  if (::QueryServiceStatusEx(handle.Get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<LPBYTE>(&process), sizeof process, &needed))
    status.processId = static_cast<long>(process.dwProcessId);
  return kErrorSuccess;
}

long QueryServiceStatus(const ScService& service, ServiceStatus& out) {
  if (!service.IsOpen()) return Fail(kErrorInvalidHandle);
  ScHandle native;
  ScHandle handle;
  if (const long error = OpenNative(service.Name(), SERVICE_QUERY_STATUS, native, handle))
    return error;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(handle.Get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(&status), sizeof status, &needed))
    return FailLast();
  out = FromNative(status);
  return kErrorSuccess;
}

long QueryServiceConfig(const ScService& service, ServiceConfig& out) {
  if (!service.IsOpen()) return Fail(kErrorInvalidHandle);
  ScHandle native;
  ScHandle handle;
  if (const long error = OpenNative(service.Name(), SERVICE_QUERY_CONFIG, native, handle))
    return error;
  DWORD needed = 0;
  ::QueryServiceConfigA(handle.Get(), nullptr, 0, &needed);
  if (needed == 0) return FailLast();
  // The record with its texts behind it, aligned as the structure needs.
  std::vector<std::uint64_t> buffer(needed / sizeof(std::uint64_t) + 1);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  if (!::QueryServiceConfigA(handle.Get(), config,
                             static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)), &needed))
    return FailLast();
  out = ServiceConfig{};
  out.name = service.Name();
  out.displayName = config->lpDisplayName ? config->lpDisplayName : "";
  out.imagePath = config->lpBinaryPathName ? config->lpBinaryPathName : "";
  out.serviceType = config->dwServiceType;
  out.startType = config->dwStartType;
  out.errorControl = config->dwErrorControl;
  out.account = config->lpServiceStartName && *config->lpServiceStartName
                    ? config->lpServiceStartName
                    : kLocalSystemAccount;
  out.dependencies = SplitMultiString(config->lpDependencies);
  return kErrorSuccess;
}

long ChangeServiceStartType(const ScService& service, std::uint32_t startType) {
  if (!service.IsOpen()) return Fail(kErrorInvalidHandle);
  ScHandle native;
  ScHandle handle;
  if (const long error = OpenNative(service.Name(), SERVICE_CHANGE_CONFIG, native, handle))
    return error;
  if (!::ChangeServiceConfigA(handle.Get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE,
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
    return FailLast();
  return kErrorSuccess;
}

namespace {

template <typename Enumerate>
long CollectEntries(Enumerate enumerate, std::vector<ServiceEntry>& out) {
  out.clear();
  DWORD needed = 0;
  DWORD count = 0;
  std::vector<std::uint64_t> buffer(1);
  for (int tries = 0; tries < 4; ++tries) {
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
    if (enumerate(reinterpret_cast<ENUM_SERVICE_STATUSA*>(buffer.data()), size, needed, count))
      break;
    const DWORD error = ::GetLastError();
    if (error != ERROR_MORE_DATA && error != ERROR_INSUFFICIENT_BUFFER)
      return Fail(static_cast<long>(error));
    buffer.resize(needed / sizeof(std::uint64_t) + 1);
    count = 0;
  }
  const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUSA*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) {
    ServiceEntry entry;
    entry.name = entries[i].lpServiceName ? entries[i].lpServiceName : "";
    entry.displayName = entries[i].lpDisplayName ? entries[i].lpDisplayName : entry.name;
    entry.status = FromNative(entries[i].ServiceStatus, 0);
    out.push_back(std::move(entry));
  }
  return kErrorSuccess;
}

}  // namespace

long EnumDependentServices(const ScService& service, ServiceStateFilter filter,
                           std::vector<ServiceEntry>& out) {
  if (!service.IsOpen()) return Fail(kErrorInvalidHandle);
  ScHandle native;
  ScHandle handle;
  if (const long error = OpenNative(service.Name(), SERVICE_ENUMERATE_DEPENDENTS, native, handle))
    return error;
  // The system lists them in the order they must be stopped.
  return CollectEntries(
      [&](ENUM_SERVICE_STATUSA* entries, DWORD size, DWORD& needed, DWORD& count) {
        return ::EnumDependentServicesA(handle.Get(), EnumState(filter), entries, size, &needed,
                                        &count) != 0;
      },
      out);
}

long EnumServicesStatus(const ScManager& manager, ServiceStateFilter filter,
                        std::vector<ServiceEntry>& out) {
  if (!manager.IsOpen()) return Fail(kErrorInvalidHandle);
  const ScHandle native(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
  if (!native) return FailLast();
  DWORD resume = 0;
  const long result = CollectEntries(
      [&](ENUM_SERVICE_STATUSA* entries, DWORD size, DWORD& needed, DWORD& count) {
        resume = 0;
        return ::EnumServicesStatusA(native.Get(), SERVICE_WIN32, EnumState(filter), entries, size,
                                     &needed, &count, &resume) != 0;
      },
      out);
  if (result != kErrorSuccess) return result;
  std::sort(out.begin(), out.end(), [](const ServiceEntry& a, const ServiceEntry& b) {
    return std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
                                        [](char x, char y) {
                                          return std::tolower(static_cast<unsigned char>(x)) <
                                                 std::tolower(static_cast<unsigned char>(y));
                                        });
  });
  return kErrorSuccess;
}

// The system's manager keeps no earlier reports of a service: its current status is the one
// report there is.
long QueryServiceStatusReports(const ScService& service, std::vector<ServiceStatus>& out) {
  out.clear();
  ServiceStatus status;
  if (const long error = QueryServiceStatus(service, status)) return error;
  out.push_back(status);
  return kErrorSuccess;
}

// --- The service process's side ---

namespace {

// Services one process can hold: the system calls each main through a plain function, one
// per entry of the table.
constexpr std::size_t kMaxServicesPerProcess = 4;

struct Running {
  std::string name;
  ServiceMainFunction main;
  HandlerFunction handler;
  SERVICE_STATUS_HANDLE status = nullptr;
};

std::mutex g_lock;
std::array<Running, kMaxServicesPerProcess> g_services;
std::size_t g_count = 0;

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

template <std::size_t N>
void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
  std::vector<std::string> args;
  for (DWORD i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  ServiceMainFunction main;
  {
    const std::lock_guard lock(g_lock);
    main = g_services[N].main;
    if (args.empty()) args.push_back(g_services[N].name);
  }
  if (main) main(args);
}

DWORD WINAPI HandlerEntry(DWORD control, DWORD, LPVOID, LPVOID context) {
  const auto index = reinterpret_cast<std::uintptr_t>(context);
  HandlerFunction handler;
  {
    const std::lock_guard lock(g_lock);
    if (index < g_count) handler = g_services[index].handler;
  }
  if (!handler) return ERROR_CALL_NOT_IMPLEMENTED;
  handler(control);
  return NO_ERROR;
}

constexpr LPSERVICE_MAIN_FUNCTIONA kMainEntries[kMaxServicesPerProcess] = {
    ServiceMainEntry<0>, ServiceMainEntry<1>, ServiceMainEntry<2>, ServiceMainEntry<3>};

}  // namespace

long StartServiceCtrlDispatcher(const std::vector<ServiceTableEntry>& table) {
  if (table.empty() || table.size() > kMaxServicesPerProcess) return Fail(kErrorInvalidParameter);
  std::vector<std::vector<char>> names;
  std::vector<SERVICE_TABLE_ENTRYA> native;
  {
    const std::lock_guard lock(g_lock);
    g_count = table.size();
    for (std::size_t i = 0; i < table.size(); ++i) {
      g_services[i] = Running{table[i].name, table[i].main, {}, nullptr};
      names.emplace_back(table[i].name.begin(), table[i].name.end());
      names.back().push_back('\0');
    }
  }
  for (std::size_t i = 0; i < table.size(); ++i)
    native.push_back({names[i].data(), kMainEntries[i]});
  native.push_back({nullptr, nullptr});
  if (!::StartServiceCtrlDispatcherA(native.data())) return FailLast();
  return kErrorSuccess;
}

long RegisterServiceCtrlHandler(std::string_view name, HandlerFunction handler,
                                ServiceStatusHandle& out) {
  std::size_t index = kMaxServicesPerProcess;
  {
    const std::lock_guard lock(g_lock);
    for (std::size_t i = 0; i < g_count; ++i)
      if (SameName(g_services[i].name, name)) index = i;
    if (index == kMaxServicesPerProcess) return Fail(kErrorServiceDoesNotExist);
    g_services[index].handler = std::move(handler);
  }
  const SERVICE_STATUS_HANDLE status = ::RegisterServiceCtrlHandlerExA(
      std::string(name).c_str(), HandlerEntry, reinterpret_cast<LPVOID>(index));
  if (!status) return FailLast();
  {
    const std::lock_guard lock(g_lock);
    g_services[index].status = status;
  }
  out.m_name = std::string(name);
  return kErrorSuccess;
}

long SetServiceStatus(const ServiceStatusHandle& handle, const ServiceStatus& status) {
  if (status.currentState < kServiceStopped || status.currentState > kServicePaused)
    return Fail(kErrorInvalidParameter);
  constexpr std::uint32_t kKnownControls =
      kServiceAcceptStop | kServiceAcceptPauseContinue | kServiceAcceptShutdown;
  if (status.controlsAccepted & ~kKnownControls) return Fail(kErrorInvalidParameter);
  SERVICE_STATUS_HANDLE native = nullptr;
  {
    const std::lock_guard lock(g_lock);
    for (std::size_t i = 0; i < g_count; ++i)
      if (handle.IsValid() && SameName(g_services[i].name, handle.Name()))
        native = g_services[i].status;
  }
  if (!native) return Fail(kErrorInvalidHandle);
  SERVICE_STATUS report{};
  report.dwServiceType = status.serviceType;
  report.dwCurrentState = status.currentState;
  report.dwControlsAccepted = status.controlsAccepted;
  report.dwWin32ExitCode = status.win32ExitCode;
  report.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
  report.dwCheckPoint = status.checkPoint;
  report.dwWaitHint = status.waitHint;
  if (!::SetServiceStatus(native, &report)) return FailLast();
  return kErrorSuccess;
}

}  // namespace faxmail::platform
