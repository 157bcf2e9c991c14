// StartGateway: builds the running gateway once, in its fixed order, and the process entry's
// choice of mode.
//
// The objects it builds live until the process ends. It runs on the main thread in console
// mode and on the service's start thread in service mode.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace faxmail {

class CService;

// Builds and starts the gateway; returns the sender's start result (0 started), or
// kGatewayNotStarted.
int StartGateway(CService* service);

// StartGateway's result when the gateway does not start at all: its settings cannot be read
// (a damaged hive) or its receive port cannot be listened on. A gateway that ran on would do
// so without its receiver, or on another port than configured, and nobody would notice.
inline constexpr int kGatewayNotStarted = 3;
// The event reported then: error, with the service name and the reason.
inline constexpr std::uint32_t kStartFailedEvent = 424;
// The reason of the last start that did not happen, empty otherwise.
std::string StartGatewayProblem();

enum class GatewayMode { Console, Install, Remove, Service };

// The mode from the command line: its last two characters after every double quote is removed
// and every "/" read as "-", compared without regard to letter case.
GatewayMode ModeFromCommandLine(std::string_view commandLine);

}  // namespace faxmail
