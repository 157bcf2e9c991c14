// The stop request of a tool that runs until it is told to end: SIGINT and SIGTERM are caught
// and only recorded, so that the tool finishes the file it is working on and leaves nothing
// half-written. The tool looks at StopRequested() between steps; a wait of its own should be
// short (or be woken by other means), since the signal does not cut it short.
#pragma once

namespace faxmail::platform {

// Installs the handlers (once per process; a second call does nothing new).
void InstallStopSignals();
bool StopRequested() noexcept;

}  // namespace faxmail::platform
