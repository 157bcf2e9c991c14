// StartGateway: builds the running gateway once, in its fixed order, and the process entry's
// choice of mode.
//
// The objects it builds live until the process ends. It runs on the main thread in console
// mode and on the service's start thread in service mode.
#pragma once

#include <string_view>

namespace faxmail {

class CService;

// Builds and starts the gateway; returns the sender's start result (0 started).
int StartGateway(CService* service);

enum class GatewayMode { Console, Install, Remove, Service };

// The mode from the command line: its last two characters after every double quote is removed
// and every "/" read as "-", compared without regard to letter case.
GatewayMode ModeFromCommandLine(std::string_view commandLine);

}  // namespace faxmail
