#include "platform/service_control.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_channel.h"
#include "platform/service_process.h"
#include "platform/service_runtime.h"
#include "platform/win_error.h"

namespace faxmail::platform {
namespace {

using scm::ServiceFiles;
using scm::UniqueFd;

constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
constexpr char kControlKey[] = "SYSTEM\\CurrentControlSet\\Control";
constexpr char kPipeTimeoutValue[] = "ServicesPipeTimeout";
constexpr char kDeleteFlagValue[] = "DeleteFlag";

// A record's texts are paths, names and short lists; anything larger was not written by us.
constexpr std::uint32_t kMaxRecordValueBytes = 32 * 1024;
// The system's limit on service names.
constexpr std::size_t kMaxServiceNameLength = 256;
// A started dependency has this long to report running (it has already connected).
constexpr int kDependencyRunningWaitMs = 30000;
// A process that has reported stopped is given this long to end before a new start gives up.
constexpr int kExitingProcessWaitMs = 5000;
// A killed process frees its lock within moments; this bounds the wait for it.
constexpr int kKilledProcessWaitMs = 5000;
// How often the waits above look again.
constexpr std::uint32_t kPollIntervalMs = 10;
// Accepted-control bits the system defines (stop up to pre-shutdown).
constexpr std::uint32_t kKnownAcceptBits = 0x1ff;
// User-defined control codes.
constexpr std::uint32_t kFirstUserControl = 128;
constexpr std::uint32_t kLastUserControl = 255;

long Fail(long error) {
  SetLastError(error);
  return error;
}

// --- Records ---

struct Record {
  ServiceConfig config;
  std::vector<std::string> environment;
  bool deleteFlag = false;
};

bool ValidServiceName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxServiceNameLength &&
         name.find_first_of("\\/") == std::string_view::npos;
}

long ReadValue(const RegKey& key, std::string_view name, std::uint32_t& type, std::string& out) {
  out.clear();
  std::uint32_t size = 0;
  long rc = RegQueryValue(key, name, &type, nullptr, &size);
  if (rc != kErrorSuccess) return rc;
  if (size > kMaxRecordValueBytes) return kErrorMoreData;
  out.resize(size);
  rc = RegQueryValue(key, name, &type, out.data(), &size);
  if (rc != kErrorSuccess) return rc;
  out.resize(size);
  return kErrorSuccess;
}

std::string TextOf(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view part = text.substr(start, end - start);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
    if (!part.empty()) parts.emplace_back(part);
    start = end + 1;
  }
  return parts;
}

std::vector<std::string> ListOf(std::uint32_t type, const std::string& bytes) {
  if (type == kRegMultiSz) return Split(bytes, '\0');
  return Split(TextOf(bytes), '/');  // hand-written records list names as "A/B"
}

std::string MultiString(const std::vector<std::string>& items) {
  std::string bytes;
  for (const std::string& item : items) {
    bytes += item;
    bytes += '\0';
  }
  bytes += '\0';
  return bytes;
}

long OpenServicesKey(RegKey& key) { return RegOpenKey(Hive::LocalMachine, kServicesKey, key); }

// The stored spelling of a service key's name, or nothing.
std::optional<std::string> StoredName(std::string_view name) {
  RegKey services;
  if (OpenServicesKey(services) != kErrorSuccess) return std::nullopt;
  std::vector<std::string> names;
  if (RegEnumSubKeys(services, names) != kErrorSuccess) return std::nullopt;
  for (const std::string& stored : names) {
    if (scm::SameName(stored, name)) return stored;
  }
  return std::nullopt;
}

long ReadRecord(std::string_view name, Record& out) {
  out = Record{};
  if (!ValidServiceName(name)) return kErrorServiceDoesNotExist;
  RegKey key;
  long rc = RegOpenKey(Hive::LocalMachine, ServiceKeyPath(name), key);
  if (rc == kErrorFileNotFound) return kErrorServiceDoesNotExist;
  if (rc != kErrorSuccess) return rc;
  std::uint32_t type = 0;
  std::string bytes;
  rc = ReadValue(key, "ImagePath", type, bytes);
  if (rc == kErrorFileNotFound) return kErrorServiceDoesNotExist;  // a key, not a service
  if (rc != kErrorSuccess) return rc;
  ServiceConfig& config = out.config;
  config.imagePath = TextOf(bytes);
  config.name = StoredName(name).value_or(std::string(name));
  std::uint32_t number = 0;
  if (RegQueryDword(key, "Start", number) == kErrorSuccess) config.startType = number;
  if (RegQueryDword(key, "Type", number) == kErrorSuccess) config.serviceType = number;
  if (RegQueryDword(key, "ErrorControl", number) == kErrorSuccess) config.errorControl = number;
  if (RegQueryDword(key, kDeleteFlagValue, number) == kErrorSuccess) out.deleteFlag = number != 0;
  if (ReadValue(key, "DisplayName", type, bytes) == kErrorSuccess)
    config.displayName = TextOf(bytes);
  if (config.displayName.empty()) config.displayName = config.name;
  if (ReadValue(key, "ObjectName", type, bytes) == kErrorSuccess) config.account = TextOf(bytes);
  if (ReadValue(key, "DependOnService", type, bytes) == kErrorSuccess)
    config.dependencies = ListOf(type, bytes);
  if (ReadValue(key, "Environment", type, bytes) == kErrorSuccess)
    out.environment = Split(bytes, '\0');
  return kErrorSuccess;
}

// Every service of the hive (subkeys with an ImagePath), in name order.
long ReadAllRecords(std::vector<Record>& out) {
  out.clear();
  RegKey services;
  long rc = OpenServicesKey(services);
  if (rc == kErrorFileNotFound) return kErrorSuccess;
  if (rc != kErrorSuccess) return rc;
  std::vector<std::string> names;
  rc = RegEnumSubKeys(services, names);
  if (rc != kErrorSuccess) return rc;
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return scm::FoldName(a) < scm::FoldName(b);
  });
  for (const std::string& name : names) {
    Record record;
    if (ReadRecord(name, record) == kErrorSuccess) out.push_back(std::move(record));
  }
  return kErrorSuccess;
}

void RemoveService(const std::string& name) {
  RegDeleteTree(Hive::LocalMachine, ServiceKeyPath(name));
  ServiceFiles(name).RemoveAll();
}

int PipeTimeoutMs() {
  RegKey key;
  std::uint32_t value = 0;
  if (RegOpenKey(Hive::LocalMachine, kControlKey, key) == kErrorSuccess &&
      RegQueryDword(key, kPipeTimeoutValue, value) == kErrorSuccess && value > 0 &&
      value <= 0x7fffffffU)
    return static_cast<int>(value);
  return static_cast<int>(kDefaultServicesPipeTimeoutMs);
}

// --- Status ---

ServiceStatus StoppedStatus(std::uint32_t exitCode = 0) {
  ServiceStatus status;
  status.currentState = kServiceStopped;
  status.win32ExitCode = exitCode;
  return status;
}

// The status of a service by its stored name. A process that has gone reads as stopped;
// when it had not reported so, its runtime files are put right (unless a start runs now).
ServiceStatus CurrentStatus(const std::string& name, bool deleteFlag) {
  const ServiceFiles files(name);
  if (scm::IsProcessAlive(files)) return scm::ReadStatus(files).value_or(StoppedStatus());
  // Read only once the process is known gone: its last report, stopped, may have come just
  // before it ended.
  const std::optional<ServiceStatus> last = scm::ReadStatus(files);
  if (!last || last->currentState == kServiceStopped) {
    // Marked for deletion while its process was ending: after the dispatcher had looked for
    // the mark, and before the process was gone. Nothing of the service runs any more, so the
    // record goes now (a marked service is never started again).
    UniqueFd startLock;
    if (deleteFlag && scm::TryStartLock(files, startLock) && !scm::IsProcessAlive(files))
      RemoveService(name);
  }
  if (!last) return StoppedStatus();
  if (last->currentState == kServiceStopped) {
    ServiceStatus status = *last;
    status.processId = 0;
    status.controlsAccepted = 0;
    return status;
  }
  const ServiceStatus status = StoppedStatus(kErrorProcessAborted);
  UniqueFd startLock;
  if (scm::TryStartLock(files, startLock) && !scm::IsProcessAlive(files)) {
    // A start may have run and ended between the reads; what it left stands.
    if (const auto again = scm::ReadStatus(files); !again || again->currentState == kServiceStopped)
      return again ? *again : StoppedStatus();
    ::unlink(files.ChannelPath().c_str());
    scm::WriteStatus(files, status);
    if (deleteFlag) RemoveService(name);
  }
  return status;
}

bool IsActive(const ServiceStatus& status) { return status.currentState != kServiceStopped; }

bool Matches(ServiceStateFilter filter, const ServiceStatus& status) {
  switch (filter) {
    case ServiceStateFilter::Active: return IsActive(status);
    case ServiceStateFilter::Inactive: return !IsActive(status);
    case ServiceStateFilter::All: return true;
  }
  return true;
}

// Dependents of name in stop order: each after everything that depends on it.
void CollectDependents(const std::vector<Record>& all, const std::string& name,
                       std::vector<std::string>& visited, std::vector<const Record*>& order) {
  for (const Record& record : all) {
    const auto& deps = record.config.dependencies;
    const bool depends = std::any_of(deps.begin(), deps.end(),
                                     [&](const std::string& d) { return scm::SameName(d, name); });
    if (!depends) continue;
    const std::string folded = scm::FoldName(record.config.name);
    if (std::find(visited.begin(), visited.end(), folded) != visited.end()) continue;
    visited.push_back(folded);
    CollectDependents(all, record.config.name, visited, order);
    order.push_back(&record);
  }
}

long Dependents(const std::string& name, ServiceStateFilter filter,
                std::vector<ServiceEntry>& out) {
  out.clear();
  std::vector<Record> all;
  const long rc = ReadAllRecords(all);
  if (rc != kErrorSuccess) return rc;
  std::vector<std::string> visited{scm::FoldName(name)};
  std::vector<const Record*> order;
  CollectDependents(all, name, visited, order);
  for (const Record* record : order) {
    ServiceEntry entry{record->config.name, record->config.displayName,
                       CurrentStatus(record->config.name, record->deleteFlag)};
    if (Matches(filter, entry.status)) out.push_back(std::move(entry));
  }
  return kErrorSuccess;
}

bool WaitUntilDead(const ServiceFiles& files, int limitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (scm::IsProcessAlive(files)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    SleepMs(kPollIntervalMs);
  }
  return true;
}

// --- Start ---

long StartOne(const std::string& name, const std::vector<std::string>& args,
              std::vector<std::string>& visiting);

// Waits until a started dependency reports running; 0, or kErrorServiceDependencyFail.
long WaitUntilRunning(const Record& record) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kDependencyRunningWaitMs);
  for (;;) {
    const ServiceStatus status = CurrentStatus(record.config.name, record.deleteFlag);
    if (status.currentState == kServiceRunning) return kErrorSuccess;
    if (status.currentState == kServiceStopped) return kErrorServiceDependencyFail;
    if (std::chrono::steady_clock::now() >= deadline) return kErrorServiceDependencyFail;
    SleepMs(kPollIntervalMs);
  }
}

long StartDependencies(const Record& record, std::vector<std::string>& visiting) {
  for (const std::string& dependency : record.config.dependencies) {
    if (std::find(visiting.begin(), visiting.end(), scm::FoldName(dependency)) != visiting.end())
      return kErrorCircularDependency;
    Record dep;
    if (ReadRecord(dependency, dep) != kErrorSuccess || dep.deleteFlag)
      return kErrorServiceDependencyDeleted;
    const ServiceStatus status = CurrentStatus(dep.config.name, dep.deleteFlag);
    if (status.currentState == kServiceRunning) continue;
    if (!IsActive(status)) {
      const long rc = StartOne(dep.config.name, {}, visiting);
      if (rc == kErrorCircularDependency) return rc;
      if (rc != kErrorSuccess && rc != kErrorServiceAlreadyRunning)
        return kErrorServiceDependencyFail;
    }
    const long rc = WaitUntilRunning(dep);
    if (rc != kErrorSuccess) return rc;
  }
  return kErrorSuccess;
}

std::vector<std::string> ServiceEnvironment(const Record& record,
                                            const scm::ServiceAccount& account) {
  std::vector<std::string> env = {
      "FAXMAIL_ROOT=" + FaxmailRoot(), scm::kServicePath,         "HOME=" + account.home,
      "USER=" + account.user,          "LOGNAME=" + account.user,
  };
  for (const std::string& entry : record.environment) {
    const std::size_t equals = entry.find('=');
    if (equals == 0 || equals == std::string::npos) continue;  // not "NAME=value"
    const std::string prefix = entry.substr(0, equals + 1);
    std::erase_if(env,
                  [&](const std::string& e) { return e.compare(0, prefix.size(), prefix) == 0; });
    env.push_back(entry);
  }
  env.push_back(std::string(scm::kServiceNameVariable) + "=" + record.config.name);
  return env;
}

std::string AbsoluteProgram(const std::string& program) {
  if (program.empty() || program.front() == '/') return program;
  char cwd[4096];
  if (!::getcwd(cwd, sizeof cwd)) return program;
  return std::string(cwd) + "/" + program;
}

// A start that did not come through: the process (if any) is ended and the service reads as
// stopped with the start's error.
void AbandonStart(const ServiceFiles& files, long pid, long error) {
  scm::KillServiceProcess(pid);
  WaitUntilDead(files, kKilledProcessWaitMs);
  ::unlink(files.ChannelPath().c_str());
  scm::WriteStatus(files, StoppedStatus(static_cast<std::uint32_t>(error)));
}

long Launch(const Record& record, const ServiceFiles& files, const std::vector<std::string>& args) {
  scm::ServiceAccount account;
  long rc = scm::ResolveAccount(record.config.account, account);
  if (rc != kErrorSuccess) return rc;

  UniqueFd life;
  rc = scm::AcquireLifeLock(files, life);
  if (rc != kErrorSuccess) return rc;
  UniqueFd channel;
  rc = scm::BindControlChannel(files.ChannelPath(), channel);
  if (rc != kErrorSuccess) return rc;
  scm::ResetReports(files);
  ServiceStatus pending;
  pending.currentState = kServiceStartPending;
  scm::WriteStatus(files, pending);
  if (account.switchUser) {
    rc = scm::GiveToAccount(files, account.uid, account.gid);
    if (rc != kErrorSuccess) {
      AbandonStart(files, 0, rc);
      return rc;
    }
  }

  const scm::ImageCommand command =
      scm::ParseImagePath(scm::ExpandEnvironmentStrings(record.config.imagePath));
  scm::LaunchSpec spec;
  spec.program = AbsoluteProgram(command.program);
  spec.argv.push_back(spec.program);
  spec.argv.insert(spec.argv.end(), command.args.begin(), command.args.end());
  spec.env = ServiceEnvironment(record, account);
  spec.account = account;
  spec.lockFd = life.Get();
  spec.channelFd = channel.Get();
  long pid = 0;
  rc = scm::LaunchDetached(spec, pid);
  if (rc != kErrorSuccess) {
    life.Reset();
    channel.Reset();
    AbandonStart(files, pid, rc);
    return rc;
  }
  pending.processId = pid;
  scm::WriteStatus(files, pending);
  // From here on only the process holds the lock and the channel: its death frees both.
  life.Reset();
  channel.Reset();

  std::string request = "start\n";
  for (const std::string& arg : args) request += scm::EncodeLine(arg) + "\n";
  std::string reply;
  const scm::ChannelResult result =
      scm::ChannelRequest(files.ChannelPath(), request, PipeTimeoutMs(), reply);
  if (result == scm::ChannelResult::Replied) {
    if (reply.rfind("ok ", 0) == 0) return kErrorSuccess;
    long error = kErrorServiceRequestTimeout;
    if (reply.rfind("error ", 0) == 0) error = std::strtol(reply.c_str() + 6, nullptr, 10);
    if (error <= 0) error = kErrorServiceRequestTimeout;
    AbandonStart(files, pid, error);
    return error;
  }
  // A process that ended before its dispatcher answered, or one that never answers.
  const long error =
      result == scm::ChannelResult::Closed ? kErrorProcessAborted : kErrorServiceRequestTimeout;
  AbandonStart(files, pid, error);
  return error;
}

long StartOne(const std::string& name, const std::vector<std::string>& args,
              std::vector<std::string>& visiting) {
  Record record;
  long rc = ReadRecord(name, record);
  if (rc != kErrorSuccess) return rc;
  if (record.deleteFlag) return kErrorServiceMarkedForDelete;
  if (record.config.startType == kServiceDisabled) return kErrorServiceDisabled;
  const ServiceFiles files(record.config.name);
  rc = files.Ensure();
  if (rc != kErrorSuccess) return rc;
  UniqueFd startLock;
  rc = scm::AcquireStartLock(files, startLock);
  if (rc != kErrorSuccess) return rc;
  if (scm::IsProcessAlive(files)) {
    // A process that has reported stopped is on its way out: give it a moment.
    const auto last = scm::ReadStatus(files);
    if (!last || last->currentState != kServiceStopped ||
        !WaitUntilDead(files, kExitingProcessWaitMs))
      return kErrorServiceAlreadyRunning;
  }
  visiting.push_back(scm::FoldName(record.config.name));
  rc = StartDependencies(record, visiting);
  visiting.pop_back();
  if (rc != kErrorSuccess) return rc;
  return Launch(record, files, args);
}

// --- The service process's side ---

struct Dispatcher {
  std::mutex mutex;
  bool active = false;
  std::string serviceName;
  HandlerFunction handler;
  ServiceStatus last;
  bool reportedStopped = false;
  bool mainReturned = false;
  std::size_t reportCount = 0;
  scm::WakePipe wake;
};

Dispatcher& TheDispatcher() {
  static Dispatcher dispatcher;
  return dispatcher;
}

std::optional<int> DescriptorFromEnvironment(const char* variable) {
  const std::optional<std::string> text = GetEnv(variable);
  if (!text || text->empty() || text->size() > 9) return std::nullopt;
  int fd = 0;
  for (char c : *text) {
    if (c < '0' || c > '9') return std::nullopt;
    fd = fd * 10 + (c - '0');
  }
  return fd;
}

const ServiceTableEntry* FindEntry(const std::vector<ServiceTableEntry>& table,
                                   const std::string& name) {
  for (const ServiceTableEntry& entry : table) {
    if (scm::SameName(entry.name, name)) return &entry;
  }
  // A process of its own runs the one service it has, whatever the record calls it.
  return table.size() == 1 ? &table.front() : nullptr;
}

std::string ErrorReply(long error) { return "error " + std::to_string(error) + "\n"; }

}  // namespace

std::string ServiceKeyPath(std::string_view name) {
  return std::string(kServicesKey) + "\\" + std::string(name);
}

std::string ServiceRuntimeFolder() { return FaxmailRoot() + "/scm/"; }

long OpenSCManager(ScManager& out) {
  out.m_open = false;
  if (!EnsureDirectories(ServiceRuntimeFolder()) ||
      ::access(ServiceRuntimeFolder().c_str(), W_OK) != 0)
    return Fail(kErrorAccessDenied);
  RegKey services;
  long rc = OpenServicesKey(services);
  if (rc == kErrorFileNotFound) rc = RegCreateKey(Hive::LocalMachine, kServicesKey, services);
  if (rc != kErrorSuccess) return Fail(rc);
  out.m_open = true;
  return Fail(kErrorSuccess);
}

long CreateService(const ScManager& manager, const ServiceConfig& config, ScService& out) {
  out.m_name.clear();
  if (!manager.IsOpen()) return Fail(kErrorInvalidHandle);
  if (!ValidServiceName(config.name)) return Fail(kErrorInvalidServiceName);
  if (config.startType > kServiceDisabled) return Fail(kErrorInvalidParameter);
  Record existing;
  long rc = ReadRecord(config.name, existing);
  if (rc == kErrorSuccess)
    return Fail(existing.deleteFlag ? kErrorServiceMarkedForDelete : kErrorServiceExists);
  if (rc != kErrorServiceDoesNotExist) return Fail(rc);
  RegKey key;
  rc = RegCreateKey(Hive::LocalMachine, ServiceKeyPath(config.name), key);
  if (rc != kErrorSuccess) return Fail(rc);
  const std::string image = config.imagePath + '\0';
  rc = RegSetValue(key, "ImagePath", kRegExpandSz, image.data(),
                   static_cast<std::uint32_t>(image.size()));
  if (rc == kErrorSuccess) rc = RegSetDword(key, "Type", config.serviceType);
  if (rc == kErrorSuccess) rc = RegSetDword(key, "Start", config.startType);
  if (rc == kErrorSuccess) rc = RegSetDword(key, "ErrorControl", config.errorControl);
  if (rc == kErrorSuccess)
    rc = RegSetString(key, "DisplayName",
                      config.displayName.empty() ? config.name : config.displayName);
  if (rc == kErrorSuccess)
    rc = RegSetString(key, "ObjectName",
                      config.account.empty() ? std::string(kLocalSystemAccount) : config.account);
  if (rc == kErrorSuccess && !config.dependencies.empty()) {
    const std::string deps = MultiString(config.dependencies);
    rc = RegSetValue(key, "DependOnService", kRegMultiSz, deps.data(),
                     static_cast<std::uint32_t>(deps.size()));
  }
  if (rc != kErrorSuccess) {
    RegDeleteTree(Hive::LocalMachine, ServiceKeyPath(config.name));
    return Fail(rc);
  }
  ServiceFiles(config.name).RemoveAll();  // anything an earlier service of the name left
  out.m_name = config.name;
  return Fail(kErrorSuccess);
}

long OpenService(const ScManager& manager, std::string_view name, ScService& out) {
  out.m_name.clear();
  if (!manager.IsOpen()) return Fail(kErrorInvalidHandle);
  if (name.empty() || name.size() > kMaxServiceNameLength) return Fail(kErrorInvalidServiceName);
  Record record;
  const long rc = ReadRecord(name, record);
  if (rc != kErrorSuccess) return Fail(rc);
  out.m_name = record.config.name;
  return Fail(kErrorSuccess);
}

long DeleteService(const ScService& service) {
  if (!service.IsOpen()) return Fail(kErrorInvalidHandle);
  Record record;
  long rc = ReadRecord(service.Name(), record);
  if (rc != kErrorSuccess) return Fail(rc);
  if (record.deleteFlag) return Fail(kErrorServiceMarkedForDelete);
  const ServiceFiles files(record.config.name);
  UniqueFd startLock;
  if (files.Ensure() == kErrorSuccess) scm::AcquireStartLock(files, startLock);
  if (scm::IsProcessAlive(files)) {
    RegKey key;
    rc = RegOpenKey(Hive::LocalMachine, ServiceKeyPath(record.config.name), key);
    if (rc == kErrorSuccess) rc = RegSetDword(key, kDeleteFlagValue, 1);
    return Fail(rc);
  }
  rc = RegDeleteTree(Hive::LocalMachine, ServiceKeyPath(record.config.name));
  if (rc != kErrorSuccess) return Fail(rc);
  files.RemoveAll();
  return Fail(kErrorSuccess);
}

long StartService(const ScService& service, const std::vector<std::string>& args) {
  if (!service.IsOpen()) return Fail(kErrorInvalidHandle);
  std::vector<std::string> visiting;
  return Fail(StartOne(service.Name(), args, visiting));
}

long ControlService(const ScService& service, std::uint32_t control, ServiceStatus& status) {
  if (!service.IsOpen()) return Fail(kErrorInvalidHandle);
  Record record;
  long rc = ReadRecord(service.Name(), record);
  if (rc != kErrorSuccess) return Fail(rc);
  const ServiceFiles files(record.config.name);
  if (!scm::IsProcessAlive(files)) {
    status = CurrentStatus(record.config.name, record.deleteFlag);
    return Fail(kErrorServiceNotActive);
  }
  const bool user = control >= kFirstUserControl && control <= kLastUserControl;
  if (!user && (control < kServiceControlStop || control > kServiceControlShutdown))
    return Fail(kErrorInvalidServiceControl);
  const ServiceStatus current = scm::ReadStatus(files).value_or(StoppedStatus());
  // A service that has reported stopped takes no controls, though its process may still be
  // finishing its dispatcher.
  if (current.currentState == kServiceStopped) {
    status = current;
    return Fail(kErrorServiceNotActive);
  }
  if (control != kServiceControlInterrogate) {
    status = current;
    if (current.currentState == kServiceStartPending || current.currentState == kServiceStopPending)
      return Fail(kErrorServiceCannotAcceptCtrl);
    std::uint32_t needed = 0;
    switch (control) {
      case kServiceControlStop: needed = kServiceAcceptStop; break;
      case kServiceControlPause:
      case kServiceControlContinue: needed = kServiceAcceptPauseContinue; break;
      case kServiceControlShutdown: needed = kServiceAcceptShutdown; break;
      default: break;
    }
    if (needed != 0 && (current.controlsAccepted & needed) == 0)
      return Fail(kErrorInvalidServiceControl);
    if (control == kServiceControlStop) {
      std::vector<ServiceEntry> active;
      rc = Dependents(record.config.name, ServiceStateFilter::Active, active);
      if (rc != kErrorSuccess) return Fail(rc);
      if (!active.empty()) return Fail(kErrorDependentServicesRunning);
    }
  }
  std::string reply;
  const scm::ChannelResult result = scm::ChannelRequest(
      files.ChannelPath(), "control " + std::to_string(control) + "\n", PipeTimeoutMs(), reply);
  switch (result) {
    case scm::ChannelResult::Replied: break;
    case scm::ChannelResult::NoListener:
    case scm::ChannelResult::Closed:
      status = CurrentStatus(record.config.name, record.deleteFlag);
      return Fail(kErrorServiceNotActive);
    case scm::ChannelResult::TimedOut:
    case scm::ChannelResult::Failed: return Fail(kErrorServiceRequestTimeout);
  }
  if (reply.rfind("ok ", 0) == 0) {
    if (auto reported = scm::ParseStatus(std::string_view(reply).substr(3))) {
      status = *reported;
      return Fail(kErrorSuccess);
    }
  }
  if (reply.rfind("error ", 0) == 0) {
    const long error = std::strtol(reply.c_str() + 6, nullptr, 10);
    if (error > 0) return Fail(error);
  }
  return Fail(kErrorServiceRequestTimeout);  // an answer that is none of ours
}

long QueryServiceStatus(const ScService& service, ServiceStatus& out) {
  if (!service.IsOpen()) return Fail(kErrorInvalidHandle);
  Record record;
  const long rc = ReadRecord(service.Name(), record);
  if (rc != kErrorSuccess) return Fail(rc);
  out = CurrentStatus(record.config.name, record.deleteFlag);
  return Fail(kErrorSuccess);
}

long QueryServiceConfig(const ScService& service, ServiceConfig& out) {
  if (!service.IsOpen()) return Fail(kErrorInvalidHandle);
  Record record;
  const long rc = ReadRecord(service.Name(), record);
  if (rc != kErrorSuccess) return Fail(rc);
  out = record.config;
  return Fail(kErrorSuccess);
}

long ChangeServiceStartType(const ScService& service, std::uint32_t startType) {
  if (!service.IsOpen()) return Fail(kErrorInvalidHandle);
  if (startType > kServiceDisabled) return Fail(kErrorInvalidParameter);
  Record record;
  long rc = ReadRecord(service.Name(), record);
  if (rc != kErrorSuccess) return Fail(rc);
  if (record.deleteFlag) return Fail(kErrorServiceMarkedForDelete);
  RegKey key;
  rc = RegOpenKey(Hive::LocalMachine, ServiceKeyPath(record.config.name), key);
  if (rc == kErrorSuccess) rc = RegSetDword(key, "Start", startType);
  return Fail(rc);
}

long EnumDependentServices(const ScService& service, ServiceStateFilter filter,
                           std::vector<ServiceEntry>& out) {
  out.clear();
  if (!service.IsOpen()) return Fail(kErrorInvalidHandle);
  Record record;
  const long rc = ReadRecord(service.Name(), record);
  if (rc != kErrorSuccess) return Fail(rc);
  return Fail(Dependents(record.config.name, filter, out));
}

long EnumServicesStatus(const ScManager& manager, ServiceStateFilter filter,
                        std::vector<ServiceEntry>& out) {
  out.clear();
  if (!manager.IsOpen()) return Fail(kErrorInvalidHandle);
  std::vector<Record> all;
  const long rc = ReadAllRecords(all);
  if (rc != kErrorSuccess) return Fail(rc);
  for (const Record& record : all) {
    ServiceEntry entry{record.config.name, record.config.displayName,
                       CurrentStatus(record.config.name, record.deleteFlag)};
    if (Matches(filter, entry.status)) out.push_back(std::move(entry));
  }
  return Fail(kErrorSuccess);
}

long QueryServiceStatusReports(const ScService& service, std::vector<ServiceStatus>& out) {
  out.clear();
  if (!service.IsOpen()) return Fail(kErrorInvalidHandle);
  Record record;
  const long rc = ReadRecord(service.Name(), record);
  if (rc != kErrorSuccess) return Fail(rc);
  return Fail(scm::ReadReports(ServiceFiles(record.config.name), out));
}

long StartServiceCtrlDispatcher(const std::vector<ServiceTableEntry>& table) {
  const std::optional<int> channelFd = DescriptorFromEnvironment(scm::kChannelFdVariable);
  const std::optional<int> lockFd = DescriptorFromEnvironment(scm::kLockFdVariable);
  const std::optional<std::string> name = GetEnv(scm::kServiceNameVariable);
  if (!channelFd || !lockFd || !name || !scm::IsListeningSocket(*channelFd))
    return Fail(kErrorFailedServiceControllerConnect);
  // What this process runs must not find the channel, nor hold the lock after it ends.
  ::unsetenv(scm::kChannelFdVariable);
  ::unsetenv(scm::kLockFdVariable);
  ::unsetenv(scm::kServiceNameVariable);
  UniqueFd channel(*channelFd);
  scm::SetCloseOnExec(*channelFd);
  scm::SetCloseOnExec(*lockFd);  // held, on purpose, until the process ends

  Dispatcher& d = TheDispatcher();
  {
    std::lock_guard lock(d.mutex);
    if (d.active) return Fail(kErrorServiceAlreadyRunning);
    const long rc = d.wake.Open();
    if (rc != kErrorSuccess) return Fail(rc);
    d.active = true;
    d.serviceName = *name;
    d.handler = nullptr;
    d.last = StoppedStatus();
    d.reportedStopped = false;
    d.mainReturned = false;
    d.reportCount = 0;
  }

  std::thread mainThread;
  for (;;) {
    {
      std::lock_guard lock(d.mutex);
      if (mainThread.joinable() && d.reportedStopped && d.mainReturned) break;
    }
    UniqueFd connection;
    std::string request;
    if (!scm::AcceptRequest(channel.Get(), d.wake.ReadFd(), connection, request)) {
      d.wake.Drain();
      continue;
    }
    if (request.rfind("start\n", 0) == 0) {
      std::vector<std::string> args{*name};
      std::string_view rest = std::string_view(request).substr(6);
      bool good = true;
      while (!rest.empty() && good) {
        const std::size_t end = rest.find('\n');
        if (end == std::string_view::npos) break;
        std::string arg;
        good = scm::DecodeLine(rest.substr(0, end), arg);
        args.push_back(std::move(arg));
        rest.remove_prefix(end + 1);
      }
      const ServiceTableEntry* entry = FindEntry(table, *name);
      if (mainThread.joinable()) {
        scm::SendReply(connection.Get(), ErrorReply(kErrorServiceAlreadyRunning));
      } else if (!good || !entry || !entry->main) {
        scm::SendReply(connection.Get(),
                       ErrorReply(good ? kErrorServiceDoesNotExist : kErrorInvalidParameter));
      } else {
        try {
          mainThread = std::thread([&d, entry, args = std::move(args)] {
            entry->main(args);
            std::lock_guard lock(d.mutex);
            d.mainReturned = true;
            d.wake.Wake();
          });
        } catch (const std::system_error&) {
          scm::SendReply(connection.Get(), ErrorReply(kErrorServiceNoThread));
          continue;
        }
        std::lock_guard lock(d.mutex);
        scm::SendReply(connection.Get(), "ok " + scm::FormatStatus(d.last));
      }
      continue;
    }
    if (request.rfind("control ", 0) == 0) {
      const long code = std::strtol(request.c_str() + 8, nullptr, 10);
      HandlerFunction handler;
      {
        std::lock_guard lock(d.mutex);
        handler = d.handler;
      }
      if (!handler || code < 0 || code > static_cast<long>(kLastUserControl)) {
        scm::SendReply(connection.Get(), ErrorReply(kErrorServiceCannotAcceptCtrl));
        continue;
      }
      handler(static_cast<std::uint32_t>(code));
      std::lock_guard lock(d.mutex);
      scm::SendReply(connection.Get(), "ok " + scm::FormatStatus(d.last));
      continue;
    }
    scm::SendReply(connection.Get(), ErrorReply(kErrorInvalidParameter));
  }
  mainThread.join();

  const ServiceFiles files(*name);
  channel.Reset();
  ::unlink(files.ChannelPath().c_str());
  Record record;
  if (ReadRecord(*name, record) == kErrorSuccess && record.deleteFlag)
    RemoveService(record.config.name);
  {
    std::lock_guard lock(d.mutex);
    d.active = false;
    d.handler = nullptr;
  }
  return Fail(kErrorSuccess);
}

long RegisterServiceCtrlHandler(std::string_view name, HandlerFunction handler,
                                ServiceStatusHandle& out) {
  out.m_name.clear();
  Dispatcher& d = TheDispatcher();
  std::lock_guard lock(d.mutex);
  if (!d.active || !scm::SameName(name, d.serviceName)) return Fail(kErrorServiceDoesNotExist);
  d.handler = std::move(handler);
  out.m_name = d.serviceName;
  return Fail(kErrorSuccess);
}

long SetServiceStatus(const ServiceStatusHandle& handle, const ServiceStatus& status) {
  if (!handle.IsValid()) return Fail(kErrorInvalidHandle);
  Dispatcher& d = TheDispatcher();
  std::lock_guard lock(d.mutex);
  if (!d.active || !scm::SameName(handle.Name(), d.serviceName)) return Fail(kErrorInvalidHandle);
  if (status.currentState < kServiceStopped || status.currentState > kServicePaused ||
      (status.controlsAccepted & ~kKnownAcceptBits) != 0)
    return Fail(kErrorInvalidParameter);
  ServiceStatus report = status;
  report.processId = report.currentState == kServiceStopped ? 0 : ProcessId();
  const ServiceFiles files(d.serviceName);
  // The journal first: whoever reads a state from the status finds its report already there.
  const long journal = scm::AppendReport(files, report, d.reportCount);
  long rc = scm::WriteStatus(files, report);
  if (rc == kErrorSuccess) rc = journal;
  d.last = report;
  if (report.currentState == kServiceStopped) {
    d.reportedStopped = true;
    d.wake.Wake();
  }
  return Fail(rc);
}

}  // namespace faxmail::platform
