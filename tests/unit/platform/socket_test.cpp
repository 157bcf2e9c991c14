// The sockets of the platform layer, the same cases on every backend: the error numbers the
// logs show (10060 time-out, 10061 refused), a shutdown that wakes a waiting accept, local
// pairs, and the strict dotted-address parser.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "platform/socket.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {
namespace {

constexpr std::uint32_t kLoopback = 0x7f000001;

// A listener on a free loopback port.
Socket Listener(std::uint16_t& port) {
  Socket listener;
  EXPECT_EQ(Socket::Create(0, listener), kErrorSuccess);
  port = test::FreeLoopbackPort();
  EXPECT_EQ(listener.Bind(MakeAddress(port, kLoopback)), kErrorSuccess);
  EXPECT_EQ(listener.Listen(5), kErrorSuccess);
  return listener;
}

TEST(Sockets, PairCarriesBytesBothWays) {
  Socket a;
  Socket b;
  ASSERT_EQ(Socket::CreatePair(a, b), kErrorSuccess);
  ASSERT_EQ(a.Send("HELO x\r\n", 8), 8);
  char buffer[16] = {};
  ASSERT_EQ(b.Recv(buffer, sizeof buffer), 8);
  EXPECT_EQ(std::string(buffer, 8), "HELO x\r\n");
  ASSERT_EQ(b.Send("250", 3), 3);
  ASSERT_EQ(a.Recv(buffer, sizeof buffer), 3);
  ASSERT_EQ(b.Close(), kErrorSuccess);
  EXPECT_EQ(a.Recv(buffer, sizeof buffer), 0);  // the peer's close
}

TEST(Sockets, ReceiveTimeOutIs10060) {
  Socket a;
  Socket b;
  ASSERT_EQ(Socket::CreatePair(a, b), kErrorSuccess);
  ASSERT_EQ(a.SetReceiveTimeout(200), kErrorSuccess);
  char byte = 0;
  EXPECT_EQ(a.Recv(&byte, 1), -1);
  EXPECT_EQ(LastError(), kWsaETimedOut);
}

TEST(Sockets, ConnectToAClosedPortIsRefused) {
  std::uint16_t port = 0;
  { Socket listener = Listener(port); }  // closed again: nobody listens there now
  Socket client;
  ASSERT_EQ(Socket::Create(0, client), kErrorSuccess);
  EXPECT_EQ(client.Connect(MakeAddress(port, kLoopback), 5000), kWsaEConnRefused);
  EXPECT_EQ(LastError(), kWsaEConnRefused);
}

TEST(Sockets, AcceptGivesThePeersAddressAndWaitingInputIsSeen) {
  std::uint16_t port = 0;
  Socket listener = Listener(port);
  Socket client;
  ASSERT_EQ(Socket::Create(0, client), kErrorSuccess);
  ASSERT_EQ(client.Connect(MakeAddress(port, kLoopback), 5000), kErrorSuccess);
  Socket served;
  SocketAddress peer;
  ASSERT_EQ(listener.Accept(served, peer), kErrorSuccess);
  EXPECT_EQ(peer.family, kAfInet);
  EXPECT_EQ(InetNtoa(peer.address), "127.0.0.1");
  SocketAddress local;
  ASSERT_EQ(client.LocalAddress(local), kErrorSuccess);
  EXPECT_EQ(peer.port, local.port);

  EXPECT_FALSE(served.HasWaitingInput());
  ASSERT_EQ(client.Send("QUIT\r\n", 6), 6);
  ASSERT_TRUE(test::WaitUntil([&] { return served.HasWaitingInput(); }, std::chrono::seconds(10)));
  EXPECT_EQ(served.AvailableBytes(), 6u);
}

TEST(Sockets, ShutdownWakesAnAcceptWaitingOnAnotherThread) {
  std::uint16_t port = 0;
  Socket listener = Listener(port);
  auto accepted = std::async(std::launch::async, [&] {
    Socket served;
    SocketAddress peer;
    return listener.Accept(served, peer);
  });
  // Given time to block first; the case holds however the threads meet.
  EXPECT_EQ(accepted.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  listener.Shutdown();
  ASSERT_EQ(accepted.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_NE(accepted.get(), kErrorSuccess);
}

// An accept on a socket that does not listen (its bind failed, or it never listened) is refused
// at once with 10022: the accept loop of a listener that could not bind ends instead of waiting.
TEST(Sockets, AcceptOnASocketThatDoesNotListenFailsAtOnce) {
  for (const bool bound : {false, true}) {
    SCOPED_TRACE(bound ? "bound" : "not bound");
    Socket socket;
    ASSERT_EQ(Socket::Create(0, socket), kErrorSuccess);
    if (bound) {
      ASSERT_EQ(socket.Bind(MakeAddress(0, kLoopback)), kErrorSuccess);
    }
    Socket accepted;
    SocketAddress peer{};
    EXPECT_EQ(socket.Accept(accepted, peer), kWsaEInval);
  }
}

TEST(Sockets, SecondListenerOnAPortIsAddressInUse) {
  std::uint16_t port = 0;
  Socket first = Listener(port);
  Socket second;
  ASSERT_EQ(Socket::Create(0, second), kErrorSuccess);
  EXPECT_EQ(second.Bind(MakeAddress(port, kLoopback)), kWsaEAddrInUse);
}

TEST(Sockets, InetAddrTakesOnlyFourDecimalNumbers) {
  struct Case {
    const char* text;
    bool valid;
    std::uint32_t hostOrder;
  };
  const Case cases[] = {
      {"127.0.0.1", true, 0x7f000001},
      {"192.0.2.255", true, 0xc00002ff},
      {"0.0.0.0", true, 0},
      {"255.255.255.255", true, 0xffffffff},
      {"256.0.0.1", false, 0},
      {"1.2.3", false, 0},
      {"1.2.3.4.5", false, 0},
      {"0x7f.0.0.1", false, 0},
      {"1..2.3", false, 0},
      {"localhost", false, 0},
      {"", false, 0},
      {" 1.2.3.4", false, 0},
      {"1.2.3.4 ", false, 0},
      {"1234.1.1.1", false, 0},
  };
  for (const Case& c : cases) {
    const auto parsed = InetAddr(c.text);
    EXPECT_EQ(parsed.has_value(), c.valid) << c.text;
    if (parsed && c.valid) {
      EXPECT_EQ(NetToHost32(*parsed), c.hostOrder) << c.text;
    }
  }
  EXPECT_EQ(InetNtoa(HostToNet32(0xc0000201)), "192.0.2.1");
}

TEST(Sockets, DottedNamesResolveToThemselves) {
  std::uint32_t address = 0;
  ASSERT_EQ(ResolveHostIPv4("127.0.0.1", address), kErrorSuccess);
  EXPECT_EQ(NetToHost32(address), kLoopback);
  EXPECT_EQ(ResolveHostIPv4("", address), kWsaHostNotFound);
}

}  // namespace
}  // namespace faxmail::platform
