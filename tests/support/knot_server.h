// A private Knot DNS server for a test: its own configuration, zones, run folder and storage
// in a temporary folder, listening on one loopback address at port 53 (TCP and UDP), started
// by the test and stopped when the object goes.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "tests/support/test_support.h"

namespace faxmail::test {

inline constexpr char kKnotd[] = "/usr/sbin/knotd";

inline bool KnotInstalled() { return ::access(kKnotd, X_OK) == 0; }

// The zone of a test domain: its name server at nsAddress and one mail exchanger, a host of
// its own at mxAddress.
inline std::string OneExchangerZone(const std::string& origin, const std::string& nsAddress,
                                    const std::string& mxAddress) {
  return "$ORIGIN " + origin +
         "\n$TTL 3600\n@ SOA ns hostmaster 1 3600 600 86400 300\n@ NS ns\nns A " + nsAddress +
         "\n@ MX 10 " + mxAddress + ".\n";
}

struct Zone {
  std::string origin;  // "." or "mail.test."
  std::string text;    // the zone file
};

class KnotServer {
 public:
  KnotServer(const std::string& address, const std::vector<Zone>& zones) : m_address(address) {
    std::string config = "server:\n    rundir: \"" + m_dir.Path() + "\"\n    listen: " + address +
                         "@53\n    tcp-workers: 2\n    udp-workers: 1\n    background-workers: 1\n"
                         "log:\n  - target: stderr\n    any: info\n"
                         "database:\n    storage: \"" +
                         m_dir.Path() +
                         "\"\n"
                         "template:\n  - id: default\n    storage: \"" +
                         m_dir.Path() +
                         "\"\n"
                         "    zonefile-sync: -1\n    zonefile-load: whole\n"
                         "    journal-content: none\n"
                         "zone:\n";
    for (std::size_t i = 0; i < zones.size(); ++i) {
      const std::string file = m_dir / ("zone" + std::to_string(i) + ".zone");
      WriteWholeFile(file, zones[i].text);
      config += "  - domain: \"" + zones[i].origin + "\"\n    file: \"" + file + "\"\n";
    }
    WriteWholeFile(m_dir / "knot.conf", config);
    m_pid = ::fork();
    if (m_pid == 0) {
      // A test that dies must not leave its server behind.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      const std::string log = m_dir / "knotd.log";
      std::FILE* out = std::freopen(log.c_str(), "w", stderr);
      if (out) ::dup2(::fileno(stderr), 1);
      const std::string conf = m_dir / "knot.conf";
      ::execl(kKnotd, kKnotd, "-c", conf.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // Ready once every zone is loaded and the port takes connections.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
      if (Loaded() >= zones.size() && Accepts()) {
        m_ready = true;
        break;
      }
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~KnotServer() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
  KnotServer(const KnotServer&) = delete;
  KnotServer& operator=(const KnotServer&) = delete;

  bool Ready() const { return m_ready; }
  std::string Log() const { return ReadWholeFile(m_dir / "knotd.log"); }

 private:
  std::size_t Loaded() const {
    const std::string log = Log();
    std::size_t count = 0;
    for (std::size_t at = 0; (at = log.find("] loaded, serial", at)) != std::string::npos; ++at)
      ++count;
    return count;
  }
  bool Accepts() const {
    platform::Socket probe;
    const auto address = platform::InetAddr(m_address);
    if (!address || platform::Socket::Create(0, probe) != 0) return false;
    platform::SocketAddress target{};
    target.family = platform::kAfInet;
    target.port = platform::HostToNet16(53);
    target.address = *address;
    return probe.Connect(target) == 0;
  }

  std::string m_address;
  TempDir m_dir;
  pid_t m_pid = -1;
  bool m_ready = false;
};

}  // namespace faxmail::test
