#include "tools/faxmailsc/boot.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "tools/faxmailsc/sc_text.h"

namespace faxmail::sc {

namespace pf = faxmail::platform;

namespace {

using Clock = std::chrono::steady_clock;

// A waiting run asks for the status every tenth of the wait hint, within these bounds: often
// enough that a quick service is not kept waiting, seldom enough to leave the machine alone.
constexpr std::uint32_t kMinPollMs = 50;
constexpr std::uint32_t kMaxPollMs = 1000;

enum class Step { Untouched, Waiting, Done, Failed };

struct Service {
  pf::ScService handle;
  pf::ServiceConfig config;
  std::vector<std::size_t> dependencies;  // the services it depends on that exist
  std::vector<std::size_t> dependents;    // the services that depend on it directly
  bool wasActive = false;                 // when the run began
  Step step = Step::Untouched;
};

struct Machine {
  std::vector<Service> services;  // in the manager's (name) order
  bool complete = true;           // false when the manager or a record could not be read
};

void PrintFailure(std::string_view name, long error, const std::string& detail = {}) {
  std::cerr << name << ": FAILED " << error << ": " << ErrorMessage(error);
  if (!detail.empty()) std::cerr << " (" << detail << ")";
  std::cerr << '\n';
}

std::string StatusDetail(const pf::ServiceStatus& status) {
  char hex[64];
  std::snprintf(hex, sizeof hex, ", CHECKPOINT 0x%x, WAIT_HINT 0x%x",
                static_cast<unsigned>(status.checkPoint), static_cast<unsigned>(status.waitHint));
  return StateName(status.currentState) + hex;
}

// Every service record and the dependency edges between them.
Machine LoadMachine() {
  Machine machine;
  pf::ScManager manager;
  long error = pf::OpenSCManager(manager);
  std::vector<pf::ServiceEntry> entries;
  if (error == 0) error = pf::EnumServicesStatus(manager, pf::ServiceStateFilter::All, entries);
  if (error != 0) {
    std::cerr << FailureText("EnumServicesStatus", error) << '\n';
    machine.complete = false;
    return machine;
  }
  std::map<std::string, std::size_t> byName;  // lower-cased name to index
  for (const auto& entry : entries) {
    Service service;
    error = pf::OpenService(manager, entry.name, service.handle);
    if (error == 0) error = pf::QueryServiceConfig(service.handle, service.config);
    if (error != 0) {
      PrintFailure(entry.name, error, "its record cannot be read");
      machine.complete = false;
      continue;
    }
    service.wasActive = entry.status.currentState != pf::kServiceStopped;
    byName.emplace(LowerAscii(entry.name), machine.services.size());
    machine.services.push_back(std::move(service));
  }
  for (std::size_t i = 0; i < machine.services.size(); ++i) {
    for (const auto& name : machine.services[i].config.dependencies) {
      // A dependency without a record is left to the start, which reports it.
      const auto found = byName.find(LowerAscii(name));
      if (found == byName.end() || found->second == i) continue;
      machine.services[i].dependencies.push_back(found->second);
      machine.services[found->second].dependents.push_back(i);
    }
  }
  return machine;
}

// Every service after the services it depends on. A cycle is broken at an arbitrary edge; the
// start of a service in it reports the cycle. Without recursion: a hand-written hive may hold
// a long chain.
std::vector<std::size_t> DependencyOrder(const std::vector<Service>& services) {
  enum class Mark { Unseen, OnPath, Placed };
  std::vector<Mark> marks(services.size(), Mark::Unseen);
  std::vector<std::size_t> order;
  std::vector<std::pair<std::size_t, std::size_t>> path;  // service, next dependency to visit
  for (std::size_t root = 0; root < services.size(); ++root) {
    if (marks[root] != Mark::Unseen) continue;
    marks[root] = Mark::OnPath;
    path.emplace_back(root, 0);
    while (!path.empty()) {
      auto& [index, next] = path.back();
      const auto& dependencies = services[index].dependencies;
      if (next < dependencies.size()) {
        const std::size_t dependency = dependencies[next++];
        if (marks[dependency] == Mark::Unseen) {
          marks[dependency] = Mark::OnPath;
          path.emplace_back(dependency, 0);
        }
        continue;
      }
      marks[index] = Mark::Placed;
      order.push_back(index);
      path.pop_back();
    }
  }
  return order;
}

std::chrono::milliseconds ProgressWindow(const pf::ServiceStatus& status) {
  return std::chrono::milliseconds(std::max(status.waitHint, kMinProgressWaitMs));
}

std::uint32_t PollMs(const pf::ServiceStatus& status) {
  return std::clamp(status.waitHint / 10, kMinPollMs, kMaxPollMs);
}

bool Starting(std::uint32_t state) {
  return state != pf::kServiceRunning && state != pf::kServiceStopped;
}
bool Stopping(std::uint32_t state) { return state != pf::kServiceStopped; }
bool Settling(std::uint32_t state) {
  return state == pf::kServiceStartPending || state == pf::kServiceContinuePending ||
         state == pf::kServicePausePending;
}

// Waits while busy(state) holds and the service makes progress: each new check point or state
// gives it another wait hint. kErrorServiceRequestTimeout when it stalls or the run's limit
// comes; status is the last one read.
long WaitWhile(const pf::ScService& service, bool (*busy)(std::uint32_t), Clock::time_point limit,
               pf::ServiceStatus& status) {
  long error = pf::QueryServiceStatus(service, status);
  if (error != 0) return error;
  std::uint32_t checkPoint = status.checkPoint;
  std::uint32_t state = status.currentState;
  auto stall = Clock::now() + ProgressWindow(status);
  while (busy(status.currentState)) {
    const auto now = Clock::now();
    if (now >= stall || now >= limit) return pf::kErrorServiceRequestTimeout;
    pf::SleepMs(PollMs(status));
    if ((error = pf::QueryServiceStatus(service, status)) != 0) return error;
    if (status.checkPoint != checkPoint || status.currentState != state) {
      checkPoint = status.checkPoint;
      state = status.currentState;
      stall = Clock::now() + ProgressWindow(status);
    }
  }
  return 0;
}

// Why a service that was to start reads as stopped: its exit code, or, when it stopped
// without one, that it is not running.
long StoppedError(const pf::ServiceStatus& status) {
  return status.win32ExitCode != 0 ? static_cast<long>(status.win32ExitCode)
                                   : pf::kErrorServiceNotActive;
}

std::string RunningText(const pf::ServiceStatus& status) {
  return StateName(status.currentState) + ", PID " + std::to_string(status.processId);
}

int Summary(std::string_view operation, const Machine& machine) {
  int failed = 0;
  for (const auto& service : machine.services) failed += service.step == Step::Failed ? 1 : 0;
  if (failed == 0 && machine.complete) {
    std::cout << "[SC] " << operation << " SUCCESS\n";
    return 0;
  }
  std::cerr << "[SC] " << operation << " FAILED: " << failed << " service"
            << (failed == 1 ? "" : "s") << " failed"
            << (machine.complete ? "" : ", and not every record could be read") << '\n';
  return 1;
}

}  // namespace

int Boot() {
  Machine machine = LoadMachine();
  const auto limit = Clock::now() + std::chrono::milliseconds(kBootLimitMs);
  auto fail = [](Service& service, long error, const std::string& detail = {}) {
    PrintFailure(service.config.name, error, detail);
    service.step = Step::Failed;
  };
  // Waits for a service this run started (or found starting) until it runs.
  auto settle = [&](Service& service) {
    pf::ServiceStatus status;
    const long error = WaitWhile(service.handle, Starting, limit, status);
    if (error != 0) {
      fail(service, error, error == pf::kErrorServiceRequestTimeout ? StatusDetail(status) : "");
    } else if (status.currentState != pf::kServiceRunning) {
      const long why = StoppedError(status);
      fail(service, why,
           why == pf::kErrorServiceSpecificError
               ? "SERVICE_EXIT_CODE " + std::to_string(status.serviceSpecificExitCode)
               : "STOPPED during its start");
    } else {
      std::cout << service.config.name << ": " << RunningText(status) << '\n';
      service.step = Step::Done;
    }
  };

  for (const std::size_t index : DependencyOrder(machine.services)) {
    Service& service = machine.services[index];
    if (service.config.startType != pf::kServiceAutoStart) continue;
    pf::ServiceStatus status;
    if (const long error = pf::QueryServiceStatus(service.handle, status); error != 0) {
      fail(service, error);
      continue;
    }
    if (status.currentState != pf::kServiceStopped) {
      if (Starting(status.currentState) && status.currentState != pf::kServiceStopPending) {
        service.step = Step::Waiting;
      } else {
        std::cout << service.config.name << ": already " << RunningText(status) << '\n';
        service.step = Step::Done;
      }
      continue;
    }
    // The start would start a stopped dependency itself; one that this run started must be
    // running first, and one that failed fails its dependents.
    bool dependencyFailed = false;
    for (const std::size_t dependency : service.dependencies) {
      if (machine.services[dependency].step == Step::Waiting) settle(machine.services[dependency]);
      dependencyFailed |= machine.services[dependency].step == Step::Failed;
    }
    if (dependencyFailed) {
      fail(service, pf::kErrorServiceDependencyFail);
      continue;
    }
    const long error = pf::StartService(service.handle);
    if (error == 0 || error == pf::kErrorServiceAlreadyRunning)
      service.step = Step::Waiting;
    else
      fail(service, error);
  }
  for (const std::size_t index : DependencyOrder(machine.services))
    if (machine.services[index].step == Step::Waiting) settle(machine.services[index]);
  return Summary("boot", machine);
}

int Shutdown() {
  Machine machine = LoadMachine();
  const auto limit = Clock::now() + std::chrono::milliseconds(kShutdownLimitMs);
  auto fail = [](Service& service, long error, const std::string& detail = {}) {
    PrintFailure(service.config.name, error, detail);
    service.step = Step::Failed;
  };
  auto stopped = [](Service& service, const pf::ServiceStatus& status) {
    std::cout << service.config.name << ": " << StateName(status.currentState);
    if (status.win32ExitCode != 0) std::cout << ", WIN32_EXIT_CODE " << status.win32ExitCode;
    std::cout << '\n';
    service.step = Step::Done;
  };
  // Waits for a service this run sent its control (or found stopping) until it has stopped.
  auto settle = [&](Service& service) {
    pf::ServiceStatus status;
    const long error = WaitWhile(service.handle, Stopping, limit, status);
    if (error != 0)
      fail(service, error, error == pf::kErrorServiceRequestTimeout ? StatusDetail(status) : "");
    else
      stopped(service, status);
  };

  std::vector<std::size_t> order = DependencyOrder(machine.services);
  std::reverse(order.begin(), order.end());
  for (const std::size_t index : order) {
    Service& service = machine.services[index];
    if (!service.wasActive) continue;
    // Every dependent first: a stop is refused while one is active.
    for (const std::size_t dependent : service.dependents)
      if (machine.services[dependent].step == Step::Waiting) settle(machine.services[dependent]);
    pf::ServiceStatus status;
    long error = pf::QueryServiceStatus(service.handle, status);
    if (error == 0 && Settling(status.currentState))
      error = WaitWhile(service.handle, Settling, limit, status);
    if (error != 0) {
      fail(service, error, error == pf::kErrorServiceRequestTimeout ? StatusDetail(status) : "");
      continue;
    }
    if (status.currentState == pf::kServiceStopped) {
      stopped(service, status);
      continue;
    }
    if (status.currentState == pf::kServiceStopPending) {
      service.step = Step::Waiting;
      continue;
    }
    std::uint32_t control = 0;
    if (status.controlsAccepted & pf::kServiceAcceptShutdown)
      control = pf::kServiceControlShutdown;
    else if (status.controlsAccepted & pf::kServiceAcceptStop)
      control = pf::kServiceControlStop;
    if (control == 0) {
      fail(service, pf::kErrorInvalidServiceControl, "it accepts neither shutdown nor stop");
      continue;
    }
    error = pf::ControlService(service.handle, control, status);
    if (error == pf::kErrorServiceNotActive) error = 0;  // it stopped by itself meanwhile
    if (error != 0)
      fail(service, error);
    else
      service.step = Step::Waiting;
  }
  for (const std::size_t index : order)
    if (machine.services[index].step == Step::Waiting) settle(machine.services[index]);
  return Summary("shutdown", machine);
}

}  // namespace faxmail::sc
