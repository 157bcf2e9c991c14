// The scheduler tests' fixture: a sender with short waits, ready files addressed to loopback,
// and a server that takes connections and says nothing.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/socket.h"
#include "tests/unit/net/net_test_util.h"
#include "tests/unit/smtp_out/scripted_server.h"
#include "tests/unit/smtp_out/sender_test_util.h"

namespace faxmail::test {

// Accepts every connection; closes it at once, or holds it silent until the server goes.
class MuteServer {
 public:
  explicit MuteServer(bool hold) : m_hold(hold) {
    m_listening = ListenOnLoopback(8, m_port);
    m_thread = std::thread([this] {
      std::vector<platform::Socket> held;
      while (!m_stop) {
        platform::Socket connection;
        platform::SocketAddress peer;
        if (m_listening.Accept(connection, peer) != 0) continue;
        ++m_accepted;
        if (m_hold) held.push_back(std::move(connection));
      }
    });
  }
  ~MuteServer() {
    m_stop = true;
    m_listening.Shutdown();  // wakes the accepting thread
    m_thread.join();
  }
  std::uint16_t Port() const { return m_port; }
  int Accepted() const { return m_accepted; }

 private:
  bool m_hold;
  platform::Socket m_listening;
  std::uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_accepted{0};
  std::thread m_thread;
};

class SchedulerTest : public SenderTest {
 protected:
  void SetUp() override {
    SenderTest::SetUp();
    m_timings.idlePoll = std::chrono::milliseconds(100);
    m_timings.inUsePause = std::chrono::milliseconds(100);
    m_timings.destroyWait = std::chrono::seconds(2);
    m_timings.receiveTimeoutMs = 2000;
  }
  bool WaitForFile(const std::string& name,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return WaitFor([&] { return platform::FileExists(In(name)); }, timeout);
  }
  static std::string ReadyTo(const std::string& recipient) {
    ReadyFile ready;
    ready.header = {"FROM: Fax Server <fax@fax.example>", "TO: <" + recipient + ">"};
    ready.attachments = {"<<fax.tif:img1.tif>>"};
    return ready.Text();
  }
};

}  // namespace faxmail::test
