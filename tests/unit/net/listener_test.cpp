// The listener over real loopback TCP: the limit of 20 served connections and the refusal of
// the 21st, the default operations, time-outs, the stop flag and a port that is taken.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "gateway/net/client.h"
#include "gateway/net/listener.h"
#include "tests/unit/net/net_test_util.h"

namespace faxmail::test {
namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

// Answers each line with "<length>:<text>" until an empty line, a close or a time-out.
class EchoConnection : public C_WSTHREAD {
 public:
  explicit EchoConnection(bool silentRefuse) : m_silentRefuse(silentRefuse) {}
  void Run() override {
    char line[101];
    for (;;) {
      const int length = ReceiveLine(line, 100);
      if (length == 0) break;
      const std::string reply = std::to_string(length) + ":" + line + "\r\n";
      SendText(reply.c_str());
    }
  }
  // As a mail server does: close a connection over the limit without a word.
  void Refuse() override {
    if (!m_silentRefuse) C_WSTHREAD::Refuse();
  }

 private:
  bool m_silentRefuse;
};

enum class Serve { Echo, EchoSilentRefuse, Default };

class TestListener : public C_WINSOCK {
 public:
  explicit TestListener(Serve serve) : m_serve(serve) {}
  ~TestListener() override { Shutdown(); }
  std::unique_ptr<C_WSTHREAD> CreateConnection() override {
    ++created;
    if (m_serve == Serve::Default) return std::make_unique<C_WSTHREAD>();
    return std::make_unique<EchoConnection>(m_serve == Serve::EchoSilentRefuse);
  }
  void ReleaseConnection(std::unique_ptr<C_WSTHREAD> connection) override {
    ++released;
    C_WINSOCK::ReleaseConnection(std::move(connection));
  }
  std::atomic<int> created{0};
  std::atomic<int> released{0};

 private:
  Serve m_serve;
};

class ListenerTest : public LoggedTest {
 protected:
  std::uint16_t Start(TestListener& listener) {
    const std::uint16_t port = FreeLoopbackPort();
    EXPECT_EQ(listener.ConnectToPort(port, 5, platform::kAfInet, kLoopback), 0);
    EXPECT_EQ(listener.StartAcceptThread(), 0);
    EXPECT_TRUE(listener.IsAccepting());
    return port;
  }
  static std::string Exchange(C_WSClient& client, const std::string& line) {
    client.SendText((line + "\r\n").c_str());
    char reply[201];
    client.ReceiveLine(reply, 200);
    return reply;
  }
  // Everything the server sends until it closes.
  static std::string ReadToClose(C_WSClient& client) {
    std::string got;
    char block[256];
    for (int n; (n = client.ReceiveBytes(block, sizeof block)) > 0;)
      got.append(block, static_cast<std::size_t>(n));
    return got;
  }
};

TEST_F(ListenerTest, ServesTwentyAndRefusesTheTwentyFirst) {
  TestListener listener(Serve::Echo);
  const std::uint16_t port = Start(listener);
  EXPECT_EQ(listener.MaxConnections(), 20);
  std::vector<std::unique_ptr<C_WSClient>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(std::make_unique<C_WSClient>());
    ASSERT_EQ(clients.back()->Connect(port, "127.0.0.1"), 0);
    clients.back()->SetReceiveTimeout(5000);
    // An answer means the connection's thread has put itself on the list.
    ASSERT_EQ(Exchange(*clients.back(), "hello " + std::to_string(i)),
              std::to_string(6 + (i < 10 ? 1 : 2)) + ":hello " + std::to_string(i));
  }
  EXPECT_EQ(listener.ActiveCount(), 20);

  C_WSClient extra;
  ASSERT_EQ(extra.Connect(port, "127.0.0.1"), 0);
  extra.SetReceiveTimeout(5000);
  extra.SendText("hello\r\n");
  EXPECT_EQ(ReadToClose(extra), "Too Many Connections, Please Try Later.");
  EXPECT_EQ(extra.Close(), 0);
  EXPECT_EQ(CountEntries("ClientThreadEntry : exceeded the max. no. of connections."), 1);

  // A connection that ends frees its place at once.
  ASSERT_TRUE(WaitFor([&] { return listener.ActiveCount() == 20; }));
  clients.front()->Close();
  ASSERT_TRUE(WaitFor([&] { return listener.ActiveCount() == 19; }));
  C_WSClient next;
  ASSERT_EQ(next.Connect(port, "127.0.0.1"), 0);
  next.SetReceiveTimeout(5000);
  EXPECT_EQ(Exchange(next, "again"), "5:again");
  EXPECT_EQ(CountEntries("ClientThreadEntry : exceeded the max. no. of connections."), 1);
  next.Close();
  for (auto& client : clients) client->Close();
  ASSERT_TRUE(WaitFor([&] { return listener.ActiveCount() == 0; }));
  EXPECT_EQ(listener.created.load(), 22);
  ASSERT_TRUE(WaitFor([&] { return listener.released.load() == 22; }));
  // Each thread logs its release after giving the connection back: the last lines may follow.
  EXPECT_TRUE(WaitFor([&] {
    return CountEntries("ClientThreadEntry : Thread instance released.") == 22;
  })) << CountEntries("ClientThreadEntry : Thread instance released.");
}

TEST_F(ListenerTest, ConnectionOverTheLimitIsCountedWhileRefusedAndGetsNoByte) {
  TestListener listener(Serve::EchoSilentRefuse);
  ASSERT_EQ(listener.SetMaxConnections(1), 0);
  const std::uint16_t port = Start(listener);
  C_WSClient first;
  ASSERT_EQ(first.Connect(port, "127.0.0.1"), 0);
  first.SetReceiveTimeout(5000);
  ASSERT_EQ(Exchange(first, "x"), "1:x");
  C_WSClient second;
  ASSERT_EQ(second.Connect(port, "127.0.0.1"), 0);
  second.SetReceiveTimeout(5000);
  second.SendText("HELO there\r\n");
  EXPECT_EQ(ReadToClose(second), "");
  EXPECT_EQ(CountEntries("ClientThreadEntry : exceeded the max. no. of connections."), 1);
  first.Close();
}

TEST_F(ListenerTest, RefusingConnectionIsOnTheListWhileItWaits) {
  TestListener listener(Serve::Echo);
  ASSERT_EQ(listener.SetMaxConnections(1), 0);
  const std::uint16_t port = Start(listener);
  C_WSClient first;
  ASSERT_EQ(first.Connect(port, "127.0.0.1"), 0);
  first.SetReceiveTimeout(5000);
  ASSERT_EQ(Exchange(first, "x"), "1:x");
  // The default refusal waits for the client to say something first.
  C_WSClient second;
  ASSERT_EQ(second.Connect(port, "127.0.0.1"), 0);
  second.SetReceiveTimeout(5000);
  EXPECT_TRUE(WaitFor([&] { return listener.ActiveCount() == 2; }));
  second.SendText("?");
  char reply[100];
  EXPECT_EQ(second.ReceiveBytes(reply, sizeof reply), 39);
  EXPECT_TRUE(WaitFor([&] { return listener.ActiveCount() == 1; }));
  first.Close();
  second.Close();
}

TEST_F(ListenerTest, MaximumAcceptsOnlyOneTo32000) {
  TestListener listener(Serve::Echo);
  for (const int bad : {0, -1, 32001}) EXPECT_EQ(listener.SetMaxConnections(bad), -1) << bad;
  EXPECT_EQ(listener.MaxConnections(), 20);
  EXPECT_EQ(listener.SetMaxConnections(32000), 0);
  EXPECT_EQ(listener.MaxConnections(), 32000);
  EXPECT_EQ(listener.SetMaxConnections(1), 0);
  EXPECT_EQ(listener.MaxConnections(), 1);
}

// Where the socket library counts its users, a listener gives back only the start-ups it took:
// listeners that never listened, or whose listening failed, leave every other socket working.
TEST_F(ListenerTest, ListenersGoneLeaveTheSocketLibraryToTheOthers) {
  { TestListener never(Serve::Echo); }
  {
    TestListener first(Serve::Echo);
    const std::uint16_t port = Start(first);
    TestListener second(Serve::Echo);
    EXPECT_EQ(second.ConnectToPort(port, 5, platform::kAfInet, kLoopback), 3);
  }
  { TestListener again(Serve::Echo); }
  LoopbackPair pair;
  ASSERT_TRUE(pair.client.IsValid());
  EXPECT_EQ(pair.client.Send("x", 1), 1);
  char got = 0;
  EXPECT_EQ(pair.server.Recv(&got, 1), 1);
  EXPECT_EQ(got, 'x');
}

TEST_F(ListenerTest, DefaultRunAnswersTheFirstLineAndDisconnects) {
  TestListener listener(Serve::Default);
  const std::uint16_t port = Start(listener);
  C_WSClient client;
  ASSERT_EQ(client.Connect(port, "127.0.0.1"), 0);
  client.SetReceiveTimeout(5000);
  client.SendText("first line\r\nand more that is thrown away\r\n");
  EXPECT_EQ(ReadToClose(client), "Connect Successful ... Now Disconnecting.");
}

TEST_F(ListenerTest, SilentPeerEndsItsSessionAtTheTimeOut) {
  TestListener listener(Serve::Echo);
  EXPECT_EQ(listener.ConnectionTimeout(), 30000u);
  listener.SetConnectionTimeout(200);
  const std::uint16_t port = Start(listener);
  C_WSClient client;
  ASSERT_EQ(client.Connect(port, "127.0.0.1"), 0);
  client.SetReceiveTimeout(5000);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadToClose(client), "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  ASSERT_TRUE(WaitFor([&] { return listener.released.load() == 1; }));
  EXPECT_EQ(CountEntries("WSA Socket Error: (10060)"), 1);
}

TEST_F(ListenerTest, StopFlagEndsTheLoopWhenTheNextAcceptReturns) {
  TestListener listener(Serve::Echo);
  const std::uint16_t port = Start(listener);
  listener.SetStopFlag();
  listener.ReleaseAcceptThread();
  EXPECT_TRUE(listener.IsAccepting());
  C_WSClient client;
  ASSERT_EQ(client.Connect(port, "127.0.0.1"), 0);
  client.SetReceiveTimeout(5000);
  client.SendText("hello\r\n");
  EXPECT_EQ(ReadToClose(client), "");
  // The accept thread's last step is its log line, after the flags are cleared.
  ASSERT_TRUE(WaitFor([&] {
    return CountEntries("AcceptConnections: closed the connection & exit the accept thread") == 1;
  }));
  EXPECT_FALSE(listener.IsAccepting());
  EXPECT_EQ(listener.StopFlag(), 0);
  EXPECT_EQ(listener.created.load(), 0);
  const std::string log = Log();
  const auto about = log.find("AcceptConnections: about to shut down the connection");
  const auto invalid = log.find("AcceptConnections: invalid client - so shut down the connection");
  const auto closed = log.find("AcceptConnections: closed the connection & exit the accept thread");
  ASSERT_NE(about, std::string::npos);
  ASSERT_NE(invalid, std::string::npos);
  ASSERT_NE(closed, std::string::npos);
  EXPECT_LT(about, invalid);
  EXPECT_LT(invalid, closed);
  EXPECT_EQ(CountEntries("AcceptConnections: Got a connect request"), 0);
}

TEST_F(ListenerTest, TakenPortFailsTheBindAndTheAcceptThreadEndsAtOnce) {
  platform::Socket other;
  ASSERT_EQ(platform::Socket::Create(0, other), 0);
  ASSERT_EQ(other.Bind(platform::MakeAddress(0, kLoopback)), 0);
  ASSERT_EQ(other.Listen(1), 0);
  platform::SocketAddress taken;
  ASSERT_EQ(other.LocalAddress(taken), 0);

  TestListener listener(Serve::Echo);
  EXPECT_EQ(
      listener.ConnectToPort(platform::NetToHost16(taken.port), 5, platform::kAfInet, kLoopback),
      3);
  EXPECT_EQ(CountEntries("ConnectToPort : unable to bind to the required address."), 1);
  EXPECT_EQ(CountEntries("WSA Socket Error: (10048)"), 1);
  EXPECT_EQ(listener.StartAcceptThread(), 0);
  ASSERT_TRUE(WaitFor([&] { return !listener.IsAccepting(); }));
  EXPECT_EQ(CountEntries("AcceptConnections: invalid client, so exit the accept thread"), 1);
  // A client reaches the other program's socket; the listener serves nothing.
  C_WSClient client;
  EXPECT_EQ(client.Connect(platform::NetToHost16(taken.port), "127.0.0.1"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(listener.created.load(), 0);
}

TEST_F(ListenerTest, StartingTwiceStartsOneAcceptThread) {
  TestListener listener(Serve::Echo);
  Start(listener);
  EXPECT_EQ(listener.StartAcceptThread(), 0);
  ASSERT_TRUE(WaitFor(
      [&] { return CountEntries("AcceptConnections: waiting for next connection request") > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(CountEntries("AcceptConnections: waiting for next connection request"), 1);
}

TEST_F(ListenerTest, LogEntriesCarryTheListenerTag) {
  TestListener listener(Serve::Echo);
  Start(listener);
  ASSERT_TRUE(WaitFor([&] { return CountEntries("AcceptConnections: waiting") == 1; }));
  EXPECT_NE(Log().find("(C_WINSOC - "), std::string::npos);
}

}  // namespace
}  // namespace faxmail::test
