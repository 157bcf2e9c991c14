// The machine's start and stop of its services: what the boot unit runs.
//
// Boot starts every automatic service that is not already active, each after the services it
// depends on, and waits until each reports running. Shutdown sends every active service the
// shutdown control (stop to one that accepts only stop), each after the services that depend
// on it have stopped, and waits until each reports stopped. A wait ends when a service's
// check point stops advancing for longer than its wait hint (kMinProgressWaitMs at least),
// and all waits of one run end at kBootLimitMs or kShutdownLimitMs.
//
// Both print one line per service they act on, on standard output (failures on standard
// error), then a summary line, and return the exit status: 0 when every service did as asked,
// 1 when one failed or when the manager or a record could not be read.
#pragma once

#include <cstdint>

namespace faxmail::sc {

// The whole boot, start to every service running; the boot unit's start time-out is above it.
inline constexpr std::uint32_t kBootLimitMs = 120000;
// The whole shutdown; the boot unit's stop time-out is above it.
inline constexpr std::uint32_t kShutdownLimitMs = 60000;
// A service that reports a wait hint of 0 (or none yet) still gets this long to move on, so a
// busy machine's scheduling delay is not taken for a hung service.
inline constexpr std::uint32_t kMinProgressWaitMs = 5000;

int Boot();
int Shutdown();

}  // namespace faxmail::sc
