#include "applet/service_ops.h"

#include <initializer_list>
#include <new>
#include <utility>

#include "base/text.h"
#include "platform/process.h"
#include "platform/win_error.h"

namespace faxmail::applet {
namespace {

namespace pf = faxmail::platform;

// The error number of the last platform call of one operation that failed. Calls that succeed
// after it leave it in place, and boxes shown in between cannot touch it, so the error check
// at the end judges the failure that happened, not the last call made.
class LastFailure {
 public:
  long Note(long error) noexcept {
    if (error != pf::kErrorSuccess) m_error = error;
    return error;
  }
  long Error() const noexcept { return m_error; }

 private:
  long m_error = pf::kErrorSuccess;
};

// The services whose start or stop is under way on this thread, outermost first. Records
// edited by hand can make two running services depend on each other; a dependent already in
// the chain is left to the call that handles it, so the recursion ends (the manager then
// refuses the stop, and the error box says why).
using Chain = std::vector<std::string>;

bool InChain(const Chain& chain, std::string_view name) {
  for (const std::string& held : chain)
    if (EqualsNoCase(held, name)) return true;
  return false;
}

int ControlInChain(Prompter& owner, std::string_view serviceName, bool start,
                   const ServiceWait& wait, Chain& chain);

// How a start or stop went on: its result so far, and whether the error check decides the end.
struct Outcome {
  int result = kServiceControlFailed;
  bool check = true;
};

// The pattern with each "%s" replaced by the next argument in turn.
std::string FillPattern(std::string_view pattern, std::initializer_list<std::string_view> args) {
  std::string text;
  auto arg = args.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 's') {
      if (arg != args.end()) text += *arg++;
      ++i;
      continue;
    }
    text += pattern[i];
  }
  return text;
}

void ShowServiceErrorBox(Prompter& prompter, bool start, std::string_view serviceName, long error) {
  std::string_view system = pf::SystemMessageText(error);
  if (system.size() > kSystemTextLimit) system = system.substr(0, kSystemTextLimit);
  MessageRequest request;
  request.caption = kServiceControlCaption;
  request.text =
      FillPattern(kServiceErrorPattern, {start ? "starting" : "stopping", serviceName, system});
  request.icon = MessageIcon::Error;
  request.buttons = MessageButtons::Ok;
  request.owned = false;
  prompter.Show(request);
}

void ShowCouldNotStart(Prompter& owner) {
  ShowMessage(owner, kMsgCouldNotStart, true, MessageButtons::Ok, MessageIcon::Error);
}

Outcome StartWithDependents(Prompter& owner, const pf::ScService& service, const ServiceWait& wait,
                            LastFailure& failure, Chain& chain) {
  pf::ServiceStatus status;
  if (failure.Note(pf::QueryServiceStatus(service, status)) == pf::kErrorSuccess &&
      status.currentState == pf::kServiceRunning)
    return {kServiceControlSuccess, true};
  if (failure.Note(pf::StartService(service)) != pf::kErrorSuccess) {
    ShowCouldNotStart(owner);
    return {kServiceControlFailed, true};
  }
  const int result = WaitForServiceState(service, pf::kServiceRunning, wait);
  failure.Note(pf::LastError());
  if (result == kServiceControlTimedOut) {
    ShowCouldNotStart(owner);
    return {result, true};
  }
  std::vector<std::string> dependents;
  const bool listed =
      EnumerateDependents(owner, service, pf::ServiceStateFilter::Inactive, dependents);
  if (!listed) failure.Note(pf::LastError());
  // Each dependent reports its own failures; they do not make this start fail.
  for (const std::string& name : dependents)
    if (!InChain(chain, name)) ControlInChain(owner, name, true, wait, chain);
  return {result, !listed};
}

Outcome StopAfterDependents(Prompter& owner, const pf::ScService& service, const ServiceWait& wait,
                            LastFailure& failure, Chain& chain) {
  std::vector<std::string> dependents;
  const bool listed =
      EnumerateDependents(owner, service, pf::ServiceStateFilter::Active, dependents);
  if (!listed) failure.Note(pf::LastError());
  // A dependent that does not stop is reported by its own call; the service is stopped all the
  // same (the manager refuses then, and the error check shows why).
  for (const std::string& name : dependents)
    if (!InChain(chain, name)) ControlInChain(owner, name, false, wait, chain);
  pf::ServiceStatus status;
  if (failure.Note(pf::QueryServiceStatus(service, status)) == pf::kErrorSuccess &&
      status.currentState == pf::kServiceStopped)
    return {kServiceControlSuccess, !listed};
  if (failure.Note(pf::ControlService(service, pf::kServiceControlStop, status)) !=
      pf::kErrorSuccess)
    return {kServiceControlFailed, true};
  const int result = WaitForServiceState(service, pf::kServiceStopped, wait);
  failure.Note(pf::LastError());
  return {result, !(result == kServiceControlSuccess && listed)};
}

int ControlInChain(Prompter& owner, std::string_view serviceName, bool start,
                   const ServiceWait& wait, Chain& chain) {
  pf::SetLastError(pf::kErrorSuccess);
  LastFailure failure;
  pf::ScManager manager;
  if (failure.Note(pf::OpenSCManager(manager)) != pf::kErrorSuccess) return kServiceControlFailed;
  pf::ScService service;
  if (failure.Note(pf::OpenService(manager, serviceName, service)) != pf::kErrorSuccess)
    return kServiceControlFailed;

  chain.emplace_back(serviceName);
  Outcome outcome = start ? StartWithDependents(owner, service, wait, failure, chain)
                          : StopAfterDependents(owner, service, wait, failure, chain);
  chain.pop_back();
  if (outcome.check) {
    const long error = failure.Error();
    if (error == pf::kErrorSuccess) {
      // nothing failed (a time-out keeps its result)
    } else if (error == pf::kErrorServiceNotActive && !start) {
      outcome.result = kServiceControlSuccess;
    } else if (error == pf::kErrorServiceAlreadyRunning && start) {
      outcome.result = kServiceControlSuccess;
    } else if (error == pf::kErrorServiceLogonFailed) {
      outcome.result = kServiceControlLogonFailed;
    } else {
      ShowServiceErrorBox(owner, start, serviceName, error);
    }
  }
  // The caller finds the failure that decided, as the thread's last error.
  pf::SetLastError(failure.Error());
  return outcome.result;
}

}  // namespace

std::uint32_t QueryServiceState(Prompter& owner) {
  pf::ScManager manager;
  if (pf::OpenSCManager(manager) != pf::kErrorSuccess) {
    ShowMessage(owner, kMsgNoServiceManager, true);
    return 0;
  }
  pf::ScService service;
  if (pf::OpenService(manager, kGatewayServiceName, service) != pf::kErrorSuccess) {
    ShowMessage(owner, kMsgServiceNotInstalled, true);
    return 0;
  }
  pf::ServiceStatus status;
  if (pf::QueryServiceStatus(service, status) != pf::kErrorSuccess) return 0;
  return status.currentState;
}

int ServiceControl(Prompter& owner, std::string_view serviceName, bool start,
                   const ServiceWait& wait) {
  Chain chain;
  return ControlInChain(owner, serviceName, start, wait, chain);
}

int WaitForServiceState(const pf::ScService& service, std::uint32_t state,
                        const ServiceWait& wait) {
  LastFailure failure;
  const std::uint32_t started = pf::ReadClock().seconds;
  for (;;) {
    pf::ServiceStatus status;
    // A query that fails counts as not there yet.
    const bool reached =
        failure.Note(pf::QueryServiceStatus(service, status)) == pf::kErrorSuccess &&
        status.currentState == state;
    if (!reached) pf::SleepMs(wait.pauseMs);
    const std::uint32_t now = pf::ReadClock().seconds;
    if (reached) break;
    // A clock set back could otherwise keep the wait going for ever.
    if (now < started || now - started >= wait.limitSeconds) {
      pf::SetLastError(failure.Error());
      return kServiceControlTimedOut;
    }
  }
  pf::SetLastError(failure.Error());
  return kServiceControlSuccess;
}

bool EnumerateDependents(Prompter& owner, const pf::ScService& service,
                         pf::ServiceStateFilter which, std::vector<std::string>& names) {
  names.clear();
  try {
    std::vector<pf::ServiceEntry> entries;
    if (pf::EnumDependentServices(service, which, entries) != pf::kErrorSuccess) return false;
    names.reserve(entries.size());
    for (pf::ServiceEntry& entry : entries) names.push_back(std::move(entry.name));
    return true;
  } catch (const std::bad_alloc&) {
    names.clear();
    ShowMessage(owner, kMsgAllocationFailed, true, MessageButtons::Ok, MessageIcon::Error);
    pf::SetLastError(pf::kErrorNotEnoughMemory);
    return false;
  }
}

}  // namespace faxmail::applet
