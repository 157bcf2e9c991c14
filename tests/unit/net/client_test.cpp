// C_WSClient: dotted addresses only, refused connections, name resolution into the caller's
// buffer, closing, receive time-outs and draining.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "gateway/net/client.h"
#include "tests/unit/net/net_test_util.h"

namespace faxmail::test {
namespace {

class ClientTest : public LoggedTest {
 protected:
  // A loopback listening socket on a free port.
  std::uint16_t Listen(platform::Socket& listening) {
    EXPECT_EQ(platform::Socket::Create(0, listening), 0);
    EXPECT_EQ(listening.Bind(platform::MakeAddress(0, 0x7F000001)), 0);
    EXPECT_EQ(listening.Listen(5), 0);
    platform::SocketAddress bound;
    EXPECT_EQ(listening.LocalAddress(bound), 0);
    return platform::NetToHost16(bound.port);
  }
};

TEST_F(ClientTest, ConnectTakesDottedAddressesOnly) {
  platform::Socket listening;
  const std::uint16_t port = Listen(listening);
  for (const char* notAnAddress : {"localhost", "", "127.1", "127.0.0.1.", "256.0.0.1"}) {
    C_WSClient client;
    EXPECT_EQ(client.Connect(port, notAnAddress), 2) << notAnAddress;
    EXPECT_FALSE(client.IsConnected());
  }
  EXPECT_EQ(CountEntries("WSA Socket Error: (10049)"), 5);
  C_WSClient client;
  EXPECT_EQ(client.Connect(port, "127.0.0.1"), 0);
  EXPECT_TRUE(client.IsConnected());
  EXPECT_EQ(platform::InetNtoa(client.PeerAddress().address), "127.0.0.1");
  EXPECT_EQ(platform::NetToHost16(client.PeerAddress().port), port);
  EXPECT_EQ(client.Close(), 0);
}

TEST_F(ClientTest, RefusedConnectionIsTwoWithTheRefusedError) {
  const std::uint16_t port = FreeLoopbackPort();
  C_WSClient client;
  EXPECT_EQ(client.Connect(port, "127.0.0.1"), 2);
  EXPECT_EQ(platform::LastError(), platform::kWsaEConnRefused);
  EXPECT_EQ(CountEntries("WSA Socket Error: (10061)"), 1);
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(client.SendText("x"), -1);
}

TEST_F(ClientTest, PeerThatNeverAnswersIsGivenUpAtTheConnectTimeout) {
  UnansweringListener silent;
  C_WSClient client;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Connect(silent.port, "127.0.0.1", 300), 2);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(CountEntries("WSA Socket Error: (10060)"), 1);
  // The socket is blocking again once connected: a receive waits for its time-out.
  platform::Socket listening;
  EXPECT_EQ(client.Connect(Listen(listening), "127.0.0.1", 300), 0);
  client.SetReceiveTimeout(200);
  char buffer[8];
  EXPECT_EQ(client.ReceiveBytes(buffer, sizeof buffer), -1);
  EXPECT_EQ(platform::LastError(), platform::kWsaETimedOut);
}

TEST_F(ClientTest, ResolveHostAddressReplacesTheNameInPlace) {
  C_WSClient client;
  char buffer[80] = "localhost";
  EXPECT_EQ(client.ResolveHostAddress(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "127.0.0.1");
  // A dotted address stays itself.
  char dotted[80] = "192.0.2.1";
  EXPECT_EQ(client.ResolveHostAddress(dotted, sizeof dotted), 0);
  EXPECT_STREQ(dotted, "192.0.2.1");
}

TEST_F(ClientTest, ResolveHostAddressLeavesTheBufferWhenTheAddressDoesNotFit) {
  C_WSClient client;
  // "127.0.0.1" needs 10 bytes with its zero.
  char buffer[80] = "localhost";
  EXPECT_EQ(client.ResolveHostAddress(buffer, 9), 1);
  EXPECT_STREQ(buffer, "localhost");
  EXPECT_EQ(client.ResolveHostAddress(buffer, 10), 0);
  EXPECT_STREQ(buffer, "127.0.0.1");
}

TEST_F(ClientTest, ResolveHostAddressOfAnUnknownNameIsTwo) {
  C_WSClient client;
  char buffer[80] = "no-such-host.invalid";
  EXPECT_EQ(client.ResolveHostAddress(buffer, sizeof buffer), 2);
  EXPECT_STREQ(buffer, "no-such-host.invalid");
  char empty[8] = "";
  EXPECT_EQ(client.ResolveHostAddress(empty, sizeof empty), 2);
}

TEST_F(ClientTest, CloseWithoutConnectionLogsAndSucceeds) {
  C_WSClient client;
  EXPECT_EQ(client.Close(), 0);
  EXPECT_EQ(CountEntries("Closing connection"), 1);
  EXPECT_NE(Log().find("(C_WSCLNT - "), std::string::npos);
}

TEST_F(ClientTest, SameClientConnectsAgainAfterClose) {
  platform::Socket listening;
  const std::uint16_t port = Listen(listening);
  C_WSClient client;
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(client.Connect(port, "127.0.0.1"), 0);
    platform::Socket server;
    platform::SocketAddress peer;
    ASSERT_EQ(listening.Accept(server, peer), 0);
    const std::string line = "round " + std::to_string(round) + "\r\n";
    ASSERT_EQ(server.Send(line.data(), line.size()), static_cast<long>(line.size()));
    char buffer[201];
    EXPECT_EQ(client.ReceiveLine(buffer, 200), 7);
    EXPECT_EQ(std::string(buffer), "round " + std::to_string(round));
    EXPECT_EQ(client.SendText("ok\r\n"), 4);
    char reply[8] = {};
    EXPECT_EQ(server.Recv(reply, sizeof reply), 4);
    EXPECT_EQ(client.Close(), 0);
    EXPECT_FALSE(client.IsConnected());
    // The peer sees the close.
    EXPECT_EQ(server.Recv(reply, sizeof reply), 0);
  }
}

TEST_F(ClientTest, ReceiveTimeOutEndsALineReadWithZero) {
  platform::Socket listening;
  const std::uint16_t port = Listen(listening);
  C_WSClient client;
  ASSERT_EQ(client.Connect(port, "127.0.0.1"), 0);
  platform::Socket server;
  platform::SocketAddress peer;
  ASSERT_EQ(listening.Accept(server, peer), 0);
  EXPECT_EQ(client.ReceiveTimeout(), 0u);
  client.SetReceiveTimeout(150);
  EXPECT_EQ(client.ReceiveTimeout(), 150u);
  const std::string partial = "220 half a line";
  server.Send(partial.data(), partial.size());
  char buffer[201];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.ReceiveLine(buffer, 200), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(platform::LastError(), platform::kWsaETimedOut);
  // The client does not log its receive failures.
  EXPECT_EQ(CountEntries("WSA Socket Error:"), 0);
  client.Close();
}

TEST_F(ClientTest, DrainInputThrowsAwayWhatHasArrived) {
  platform::Socket listening;
  const std::uint16_t port = Listen(listening);
  C_WSClient client;
  ASSERT_EQ(client.Connect(port, "127.0.0.1"), 0);
  platform::Socket server;
  platform::SocketAddress peer;
  ASSERT_EQ(listening.Accept(server, peer), 0);
  EXPECT_EQ(client.DrainInput(), 0);  // nothing there: no waiting
  const std::string burst = "250-first\r\n250-second\r\n" + std::string(500, 'q');
  server.Send(burst.data(), burst.size());
  char buffer[201];
  ASSERT_EQ(client.ReceiveLine(buffer, 200), 9);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(client.DrainInput(), 0);
  server.Send("250 last\r\n", 10);
  EXPECT_EQ(client.ReceiveLine(buffer, 200), 8);
  EXPECT_STREQ(buffer, "250 last");
  client.Close();
}

}  // namespace
}  // namespace faxmail::test
