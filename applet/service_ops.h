// The applet's service operations: the gateway service's state, stopping a service after the
// services that depend on it, starting it and then its dependents, and waiting for a state.
//
// Everything runs on the caller's thread and blocks it: each wait for a state lasts up to
// ServiceWait::limitSeconds (100 s), polling every millisecond on a clock of whole seconds.
// Each operation opens the manager and the service itself and holds nothing afterwards.
// Messages go through the caller's prompter: boxes that belong to the caller's window are
// shown owned, the "Service control" error box without an owner.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "applet/messages.h"
#include "platform/service_control.h"

namespace faxmail::applet {

// The name under which the gateway installs its service.
inline constexpr char kGatewayServiceName[] = "Corvane SMTP Server";

// Results of ServiceControl and WaitForServiceState.
inline constexpr int kServiceControlSuccess = 0;
inline constexpr int kServiceControlFailed = -1;  // manager or service not opened, or refused
inline constexpr int kServiceControlLogonFailed = -2;
inline constexpr int kServiceControlTimedOut = -3;

// The error box: "starting" or "stopping", the service name, then the system's text for the
// error number, cut to kSystemTextLimit characters.
inline constexpr char kServiceControlCaption[] = "Service control";
inline constexpr char kServiceErrorPattern[] = "ERROR %s service %s:\n\n%s";
inline constexpr std::size_t kSystemTextLimit = 200;  // the box's room for the system's text

// How long a wait for a state may last, and the pause between two queries.
struct ServiceWait {
  // A start or stop of the gateway finishes well within it; beyond it the service is stuck.
  std::uint32_t limitSeconds = 100;
  std::uint32_t pauseMs = 1;
};

// The current state of the gateway service, or 0 when it cannot be read (messages 8 and 9,
// owned by the prompter's window, when the manager or the service cannot be opened).
std::uint32_t QueryServiceState(Prompter& owner);

// start: starts the service, then each of its dependents that is not running.
// !start: stops each active dependent (depth first), then the service.
// Returns one of the kServiceControl results.
int ServiceControl(Prompter& owner, std::string_view serviceName, bool start,
                   const ServiceWait& wait = {});

// 0 once the service is in the state, kServiceControlTimedOut when the limit passed first
// (or the clock went back).
int WaitForServiceState(const platform::ScService& service, std::uint32_t state,
                        const ServiceWait& wait = {});

// The names of the service's dependents that are active (for a stop) or inactive (for a
// start), in the order the manager lists them. False, with an empty list, when the listing
// fails (message 12 with an error icon when memory runs out).
bool EnumerateDependents(Prompter& owner, const platform::ScService& service,
                         platform::ServiceStateFilter which, std::vector<std::string>& names);

}  // namespace faxmail::applet
