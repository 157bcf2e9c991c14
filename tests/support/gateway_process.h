// The real faxmailgw in console mode, started by a test in its own FAXMAIL_ROOT with a data
// directory, a free receive port and both diagnostic logs on; stopped with "q".
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/spool_check.h"

namespace faxmail::test {

// The gateway's configuration in the registry of root (the test's FAXMAIL_ROOT): a data
// directory root/data/ with OUT and IN, a free receive port, the domain and sender names, and
// with logs both diagnostic logs (root/main.log, root/secondary.log).
struct GatewayConfig {
  std::string data;  // ends with '/'
  std::uint16_t port = 0;
};
GatewayConfig ConfigureGateway(const std::string& root, bool logs = true);

// Values of the gateway's key in the hive of this process's FAXMAIL_ROOT, as another program
// reading the key sees them: none when the value (or the key) is missing.
std::optional<std::uint32_t> GatewayNumber(const std::string& name);
std::optional<std::string> GatewayText(const std::string& name);
void SetGatewayNumber(const std::string& name, std::uint32_t value);
void SetGatewayText(const std::string& name, const std::string& value);

// The numbers a gateway has taken, as far as a stopped gateway's folder and key show them: the
// files in out (NumbersInSpool) and the last envelope and attachment names in the key
// (FileName, FileNameAtt).
SpoolNumbers NumbersTaken(const std::string& out);
// The counters (TmpIndex, OUTIndex, OUTIndexAtt) that do not stand above every number of used
// of their kind, so that one could be handed out again: "OUTIndex 7, used 9". A kind with no
// number used is not looked at. Tests stay far below the wrap at 65534.
std::vector<std::string> CountersNotAbove(const SpoolNumbers& used);

// Sends SIGKILL to pid without waiting for it: for a thread other than the one that owns the
// GatewayProcess, with the pid that Pid() gave, while the owner has not reaped the process yet
// (so the pid cannot have been reused).
void SendKill(pid_t pid);

class GatewayProcess {
 public:
  // root: the test's FAXMAIL_ROOT. Writes the configuration into the registry there; logs:
  // whether both diagnostic logs are on.
  explicit GatewayProcess(const std::string& root, bool logs = true);
  ~GatewayProcess();
  GatewayProcess(const GatewayProcess&) = delete;
  GatewayProcess& operator=(const GatewayProcess&) = delete;

  // Starts it and waits until its port accepts connections (its start-up recovery of the spool
  // is done by then); false when it ended or did not listen within a generous bound.
  bool Start();
  // Types "q" and waits for the process; its exit status.
  int Stop();
  // Ends it at once with SIGKILL, as a crash would. False when it had ended otherwise first (it
  // exited, or died of another signal): then the gateway itself failed.
  bool Kill();
  // What it wrote to its standard output and error since its last start.
  std::string ConsoleOutput() const;

  std::uint16_t Port() const { return m_port; }
  pid_t Pid() const { return m_pid; }
  // The peak resident memory of the running process in KiB (VmHWM), 0 when unknown.
  long PeakMemoryKiB() const;
  const std::string& Data() const { return m_data; }  // ends with '/'
  std::string MainLog() const;
  std::string SecondaryLog() const;
  // Names of the files in the data directory's folder matching pattern.
  std::vector<std::string> Files(const std::string& folder, const std::string& pattern) const;

 private:
  std::string m_root;
  std::string m_data;
  std::uint16_t m_port = 0;
  pid_t m_pid = -1;
  int m_stdin = -1;
};

}  // namespace faxmail::test
