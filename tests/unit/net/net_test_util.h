// Helpers of the connection-layer tests: a private FAXMAIL_ROOT with the main log on, loopback
// socket pairs, and a sender that makes the reader see its bytes in separate pieces.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::test {

// A test with its own root and the main log channel writing to Root()/main.log.
class LoggedTest : public RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    ASSERT_EQ(platform::RegSetString(key, "logfile", LogPath()), 0);
    platform::RegCloseKey(key);
    GetDebugSettings2();
    ASSERT_TRUE(IsMainLogOn());
  }
  std::string LogPath() const { return Root() + "/main.log"; }
  std::string Log() const { return ReadWholeFile(LogPath()); }
  // How many entries of the log begin with message.
  int CountEntries(const std::string& message) const {
    const std::string log = Log();
    int count = 0;
    std::size_t at = 0;
    while ((at = log.find(message, at)) != std::string::npos) {
      if (at == 0 || log[at - 1] == '\n') ++count;
      at += message.size();
    }
    return count;
  }
};

// Waits until done() holds, for at most timeout; whether it held.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A connected pair of loopback sockets.
struct LoopbackPair {
  platform::Socket client;
  platform::Socket server;
  platform::SocketAddress peer{};

  LoopbackPair() {
    platform::Socket listening;
    EXPECT_EQ(platform::Socket::Create(0, listening), 0);
    EXPECT_EQ(listening.Bind(platform::MakeAddress(0, 0x7F000001)), 0);
    EXPECT_EQ(listening.Listen(1), 0);
    platform::SocketAddress bound;
    EXPECT_EQ(listening.LocalAddress(bound), 0);
    EXPECT_EQ(platform::Socket::Create(0, client), 0);
    EXPECT_EQ(client.Connect(bound), 0);
    EXPECT_EQ(listening.Accept(server, peer), 0);
  }
};

// A loopback listener that never answers a connection, as a host that drops every packet
// would, without leaving loopback: its accept queue (backlog 0) is filled and never taken
// from, so the system drops every further connection request to it.
struct UnansweringListener {
  platform::Socket listening;
  std::vector<platform::Socket> queued;
  std::uint16_t port = 0;

  UnansweringListener() {
    EXPECT_EQ(platform::Socket::Create(0, listening), 0);
    EXPECT_EQ(listening.Bind(platform::MakeAddress(0, 0x7F000001)), 0);
    EXPECT_EQ(listening.Listen(0), 0);
    platform::SocketAddress bound;
    EXPECT_EQ(listening.LocalAddress(bound), 0);
    port = platform::NetToHost16(bound.port);
    // The first fills the queue; the others stay unanswered, like every connection after them.
    for (int i = 0; i < 3; ++i) {
      platform::Socket socket;
      EXPECT_EQ(platform::Socket::Create(0, socket), 0);
      socket.Connect(bound, 200);
      queued.push_back(std::move(socket));
    }
  }
};

// Sends each piece on its own, waiting after each until the reading side has taken every byte
// from its socket (so that the reader receives the pieces separately), then closes when asked.
inline std::jthread SendInPieces(platform::Socket& to, const platform::Socket& readerSide,
                                 std::vector<std::string> pieces, bool closeAfter) {
  return std::jthread([&to, &readerSide, pieces = std::move(pieces), closeAfter] {
    for (const std::string& piece : pieces) {
      if (!piece.empty()) to.Send(piece.data(), piece.size());
      WaitFor([&] { return readerSide.AvailableBytes() == 0; }, std::chrono::milliseconds(500));
    }
    if (closeAfter) to.Shutdown();
  });
}

}  // namespace faxmail::test
