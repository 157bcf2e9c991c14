// The service control manager: service records, starting and controlling service processes,
// and the service process's side (dispatcher, control handler, status reports).
//
// A stand-in without a daemon, with the system's semantics. A service is the key
// SYSTEM\CurrentControlSet\Services\<name> of the local machine hive (ImagePath, Start, Type,
// ErrorControl, DisplayName, ObjectName, DependOnService; DeleteFlag while a deletion waits for
// the service to stop). Its runtime state lives under $FAXMAIL_ROOT/scm/: the last status
// report, the reports of its current (or last) run, a lock its process holds for its whole
// life, and the private control channel (a Unix socket) on which its dispatcher takes
// controls. Any process may manage services; a process that is gone reads as stopped.
//
// Every function returns 0 or an error number (win_error.h and the kError constants below) and
// sets the calling thread's last error to it. Handles are plain names: they hold no resource,
// may be copied, and are closed by going out of scope. All functions may be called from any
// thread, except that the service side runs where the dispatcher puts it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace faxmail::platform {

// Error numbers of the service control manager.
inline constexpr long kErrorDependentServicesRunning = 1051;
inline constexpr long kErrorInvalidServiceControl = 1052;
inline constexpr long kErrorServiceRequestTimeout = 1053;
inline constexpr long kErrorServiceNoThread = 1054;
inline constexpr long kErrorServiceAlreadyRunning = 1056;
inline constexpr long kErrorServiceDisabled = 1058;
inline constexpr long kErrorCircularDependency = 1059;
inline constexpr long kErrorServiceDoesNotExist = 1060;
inline constexpr long kErrorServiceCannotAcceptCtrl = 1061;
inline constexpr long kErrorServiceNotActive = 1062;
inline constexpr long kErrorFailedServiceControllerConnect = 1063;
inline constexpr long kErrorServiceSpecificError = 1066;
inline constexpr long kErrorProcessAborted = 1067;
inline constexpr long kErrorServiceDependencyFail = 1068;
inline constexpr long kErrorServiceLogonFailed = 1069;
inline constexpr long kErrorServiceMarkedForDelete = 1072;
inline constexpr long kErrorServiceExists = 1073;
inline constexpr long kErrorServiceDependencyDeleted = 1075;
inline constexpr long kErrorInvalidServiceName = 123;  // same number as kErrorInvalidName

// Service types, start types and error controls as stored in the record.
inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceAutoStart = 2;
inline constexpr std::uint32_t kServiceDemandStart = 3;
inline constexpr std::uint32_t kServiceDisabled = 4;
inline constexpr std::uint32_t kServiceErrorNormal = 1;
// The account of services that run as the system itself (root here).
inline constexpr char kLocalSystemAccount[] = "LocalSystem";

// Current states.
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceContinuePending = 5;
inline constexpr std::uint32_t kServicePausePending = 6;
inline constexpr std::uint32_t kServicePaused = 7;

// Control codes.
inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceControlPause = 2;
inline constexpr std::uint32_t kServiceControlContinue = 3;
inline constexpr std::uint32_t kServiceControlInterrogate = 4;
inline constexpr std::uint32_t kServiceControlShutdown = 5;

// Controls accepted (bits).
inline constexpr std::uint32_t kServiceAcceptStop = 1;
inline constexpr std::uint32_t kServiceAcceptPauseContinue = 2;
inline constexpr std::uint32_t kServiceAcceptShutdown = 4;

// How long a started process has to connect its dispatcher, unless the value
// ServicesPipeTimeout (milliseconds) of SYSTEM\CurrentControlSet\Control says otherwise.
inline constexpr std::uint32_t kDefaultServicesPipeTimeoutMs = 30000;

struct ServiceStatus {
  std::uint32_t serviceType = kServiceWin32OwnProcess;
  std::uint32_t currentState = kServiceStopped;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceSpecificExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
  long processId = 0;  // 0 when no process runs
};

struct ServiceConfig {
  std::string name;         // the key's name; compared without regard to letter case
  std::string displayName;  // the name when empty
  std::string imagePath;    // the program, as the command line that starts it
  std::uint32_t serviceType = kServiceWin32OwnProcess;
  std::uint32_t startType = kServiceDemandStart;
  std::uint32_t errorControl = kServiceErrorNormal;
  std::string account = kLocalSystemAccount;  // ObjectName
  std::vector<std::string> dependencies;      // DependOnService
};

struct ServiceEntry {
  std::string name;
  std::string displayName;
  ServiceStatus status;
};

// Which services an enumeration lists.
enum class ServiceStateFilter { Active, Inactive, All };

// An open manager of the local machine.
class ScManager {
 public:
  bool IsOpen() const noexcept { return m_open; }

 private:
  friend long OpenSCManager(ScManager&);
  bool m_open = false;
};

// An open service: its name as stored.
class ScService {
 public:
  bool IsOpen() const noexcept { return !m_name.empty(); }
  const std::string& Name() const noexcept { return m_name; }

 private:
  friend long OpenService(const ScManager&, std::string_view, ScService&);
  friend long CreateService(const ScManager&, const ServiceConfig&, ScService&);
  std::string m_name;
};

// The manager of the local machine: kErrorAccessDenied when its records or its runtime folder
// cannot be written.
long OpenSCManager(ScManager& out);

// kErrorServiceExists when a service of that name exists (kErrorServiceMarkedForDelete when it
// is marked for deletion and its process still runs),
// kErrorInvalidServiceName for an empty name or one holding a backslash or a slash.
long CreateService(const ScManager& manager, const ServiceConfig& config, ScService& out);
// kErrorServiceDoesNotExist when there is none.
long OpenService(const ScManager& manager, std::string_view name, ScService& out);

// Deletes a stopped service's record at once; a running one is marked for deletion and its
// record goes when it stops. kErrorServiceMarkedForDelete when it already is.
long DeleteService(const ScService& service);

// Starts the service: its dependencies first (each started unless it runs), then its process,
// detached (own session, standard streams on /dev/null) as its account. Returns when the
// process's dispatcher has connected and the service main runs. Errors:
// kErrorServiceAlreadyRunning, kErrorServiceDisabled, kErrorServiceMarkedForDelete,
// kErrorServiceLogonFailed (the account does not exist or cannot be switched to),
// kErrorServiceDependencyFail (a dependency did not start), kErrorServiceDependencyDeleted
// (a dependency does not exist or is marked for deletion), kErrorCircularDependency,
// kErrorServiceRequestTimeout (no connection within the pipe time-out; the process is ended),
// kErrorFileNotFound and the like when the program cannot be run.
long StartService(const ScService& service, const std::vector<std::string>& args = {});

// Sends a control and returns the status after the service's handler has run. Errors:
// kErrorServiceNotActive (no process runs), kErrorInvalidServiceControl (a control the service
// does not accept, or an unknown code), kErrorServiceCannotAcceptCtrl (start or stop pending),
// kErrorDependentServicesRunning (stop while an active service depends on it).
long ControlService(const ScService& service, std::uint32_t control, ServiceStatus& status);

// The last status reported; a service whose process has gone reads as stopped, with
// kErrorProcessAborted as its exit code when it had not reported stopped.
long QueryServiceStatus(const ScService& service, ServiceStatus& out);
long QueryServiceConfig(const ScService& service, ServiceConfig& out);
// Changes the start type of the record (what the administrator's config command does).
long ChangeServiceStartType(const ScService& service, std::uint32_t startType);

// The services that depend on this one, directly or through others, in the order they must be
// stopped (every dependent before what it depends on).
long EnumDependentServices(const ScService& service, ServiceStateFilter filter,
                           std::vector<ServiceEntry>& out);
// Every service of the manager, in name order.
long EnumServicesStatus(const ScManager& manager, ServiceStateFilter filter,
                        std::vector<ServiceEntry>& out);

// Every status report of the service's current or last run, oldest first (at most
// kMaxStatusReportsKept; the oldest beyond it are dropped). Windows's manager keeps no earlier
// reports: there the list is the current status alone.
inline constexpr std::size_t kMaxStatusReportsKept = 1000;
long QueryServiceStatusReports(const ScService& service, std::vector<ServiceStatus>& out);

// --- The service process's side ---

// The service main runs on a thread of its own with the start arguments (the service name
// first).
using ServiceMainFunction = std::function<void(const std::vector<std::string>& args)>;
struct ServiceTableEntry {
  std::string name;
  ServiceMainFunction main;
};

// Connects to the manager through the channel of the start, runs each service's main on its
// own thread when the manager starts it, and delivers controls to the registered handlers on
// the calling thread. Returns 0 when every service has reported stopped (and its main has
// returned), or at once kErrorFailedServiceControllerConnect when this process was not started
// by the manager.
long StartServiceCtrlDispatcher(const std::vector<ServiceTableEntry>& table);

using HandlerFunction = std::function<void(std::uint32_t control)>;

class ServiceStatusHandle {
 public:
  bool IsValid() const noexcept { return !m_name.empty(); }
  const std::string& Name() const noexcept { return m_name; }

 private:
  friend long RegisterServiceCtrlHandler(std::string_view, HandlerFunction, ServiceStatusHandle&);
  std::string m_name;
};

// From a service main: the handler that receives the controls of that service.
// kErrorServiceDoesNotExist when no service of that name runs in this process.
long RegisterServiceCtrlHandler(std::string_view name, HandlerFunction handler,
                                ServiceStatusHandle& out);
// Publishes a status report (processId is filled in). kErrorInvalidHandle for a handle not
// registered; kErrorInvalidParameter for a state or accepted controls out of range.
long SetServiceStatus(const ServiceStatusHandle& handle, const ServiceStatus& status);

// The record key of a service.
std::string ServiceKeyPath(std::string_view name);
// The folder of the manager's runtime state.
std::string ServiceRuntimeFolder();

}  // namespace faxmail::platform
