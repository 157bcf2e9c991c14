// Line I/O of server-side connections (C_WSTHREAD) and clients (C_WSClient) over real loopback
// TCP: lines split into separately received pieces at every byte, limits, line ends, buffer
// refills, draining and the passing of bytes between line and block reads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "gateway/net/client.h"
#include "gateway/net/connection.h"
#include "tests/unit/net/net_test_util.h"

namespace faxmail::test {
namespace {

enum class Read { Line, RawLine };

struct Expected {
  int result;
  std::string text;
};

struct LineCase {
  const char* name;
  Read read;
  int limit;
  std::string input;  // sent, then the connection is closed
  std::vector<Expected> reads;
};

std::string Repeat(char c, int n) { return std::string(static_cast<std::size_t>(n), c); }

const std::vector<LineCase>& LineCases() {
  static const std::vector<LineCase> cases = {
      {"crlf", Read::Line, 100, "HELO a.example\r\n", {{14, "HELO a.example"}, {0, ""}}},
      {"bare_lf", Read::Line, 100, "HELO a.example\n", {{14, "HELO a.example"}, {0, ""}}},
      {"empty_line", Read::Line, 100, "\r\nNOOP\r\n", {{0, ""}, {4, "NOOP"}, {0, ""}}},
      {"lone_lf", Read::Line, 100, "\nx\n", {{0, ""}, {1, "x"}, {0, ""}}},
      {"cr_inside", Read::Line, 100, "a\rb\r\n", {{3, "a\rb"}, {0, ""}}},
      {"two_lines",
       Read::Line,
       100,
       "MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\n",
       {{15, "MAIL FROM:<a@b>"}, {13, "RCPT TO:<c@d>"}, {0, ""}}},
      {"pieces_of_limit",
       Read::Line,
       100,
       Repeat('x', 150) + "\r\n",
       {{100, Repeat('x', 100)}, {50, Repeat('x', 50)}, {0, ""}}},
      {"exactly_limit", Read::Line, 4, "abcd\r\nef\r\n", {{4, "abcd"}, {0, ""}, {2, "ef"}}},
      {"cr_at_limit", Read::Line, 3, "abc\r\n", {{3, "abc"}, {0, ""}}},
      {"closed_mid_line", Read::Line, 100, "QUIT", {{0, ""}}},
      {"raw_crlf",
       Read::RawLine,
       100,
       "Subject: x\r\n.\r\n",
       {{12, "Subject: x\r\n"}, {3, ".\r\n"}}},
      {"raw_bare_lf", Read::RawLine, 100, "x\n\n", {{2, "x\n"}, {1, "\n"}, {0, ""}}},
      {"raw_pieces",
       Read::RawLine,
       100,
       Repeat('y', 150) + "\r\n",
       {{100, Repeat('y', 100)}, {52, Repeat('y', 50) + "\r\n"}}},
      {"raw_closed_mid_line", Read::RawLine, 100, "partial", {{0, ""}}},
  };
  return cases;
}

// Every way of cutting input in two, plus the whole input at once.
std::vector<std::vector<std::string>> Splits(const std::string& input) {
  std::vector<std::vector<std::string>> splits;
  for (std::size_t at = 0; at <= input.size(); ++at)
    splits.push_back({input.substr(0, at), input.substr(at)});
  return splits;
}

// Every byte its own piece.
std::vector<std::string> BytesApart(const std::string& input) {
  std::vector<std::string> pieces;
  for (const char c : input) pieces.emplace_back(1, c);
  return pieces;
}

// What text line reads of the given limit make of a whole stream, worked out on the string: up
// to limit bytes, or up to and including the first line feed among them; a line feed ends the
// text, with a carriage return just before it.
std::vector<Expected> ExpectedLineReads(const std::string& stream, int limit) {
  std::vector<Expected> reads;
  std::size_t at = 0;
  const auto room = static_cast<std::size_t>(limit);
  while (at < stream.size()) {
    const std::size_t lf = stream.find('\n', at);
    if (lf == std::string::npos || lf - at >= room) {
      reads.push_back({limit, stream.substr(at, room)});
      at += room;
      continue;
    }
    std::string text = stream.substr(at, lf - at);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    reads.push_back({static_cast<int>(text.size()), text});
    at = lf + 1;
  }
  return reads;
}

class ServerLineTest : public LoggedTest {};

void CheckServerReads(const LineCase& c, const std::vector<std::string>& pieces,
                      const std::string& how) {
  LoopbackPair pair;
  C_WSTHREAD connection;
  connection.Attach(pair.server, pair.peer, nullptr, nullptr);
  std::jthread sender = SendInPieces(pair.client, pair.server, pieces, true);
  std::vector<char> buffer(static_cast<std::size_t>(c.limit) + 1, '#');
  for (std::size_t i = 0; i < c.reads.size(); ++i) {
    const int got = c.read == Read::Line ? connection.ReceiveLine(buffer.data(), c.limit)
                                         : connection.ReceiveRawLine(buffer.data(), c.limit);
    EXPECT_EQ(got, c.reads[i].result) << c.name << " " << how << " read " << i;
    EXPECT_EQ(std::string(buffer.data()), c.reads[i].text) << c.name << " " << how << " read " << i;
  }
}

TEST_F(ServerLineTest, LinesSplitAtEveryByteReadAsWhole) {
  for (const LineCase& c : LineCases()) {
    for (const auto& split : Splits(c.input))
      CheckServerReads(c, split, "split at " + std::to_string(split[0].size()));
    CheckServerReads(c, BytesApart(c.input), "byte by byte");
  }
}

TEST_F(ServerLineTest, LineReadClearsBufferButRawReadDoesNot) {
  LoopbackPair pair;
  C_WSTHREAD connection;
  connection.Attach(pair.server, pair.peer, nullptr, nullptr);
  const std::string data = "ab\nc\n";
  ASSERT_EQ(pair.client.Send(data.data(), data.size()), 5);
  char buffer[9];
  std::memset(buffer, '#', sizeof buffer);
  ASSERT_EQ(connection.ReceiveLine(buffer, 8), 2);
  // The whole of the first limit bytes was cleared, the byte after them was not.
  EXPECT_EQ(std::string(buffer, 8), std::string("ab\0\0\0\0\0\0", 8));
  EXPECT_EQ(buffer[8], '#');
  std::memset(buffer, '#', sizeof buffer);
  ASSERT_EQ(connection.ReceiveRawLine(buffer, 8), 2);
  EXPECT_EQ(std::string(buffer, 4), std::string("c\n\0#", 4));
}

TEST_F(ServerLineTest, NoByteIsLostAcrossBufferRefillsAndBlockReads) {
  LoopbackPair pair;
  C_WSTHREAD connection;
  connection.Attach(pair.server, pair.peer, nullptr, nullptr);
  // Lines of every length from 0 to 120 several times over: several buffer refills, lines
  // straddling them, and pieces of limit bytes.
  std::string stream;
  for (int round = 0; round < 6; ++round)
    for (int length = 0; length <= 120; ++length) {
      for (int i = 0; i < length; ++i) stream.push_back(static_cast<char>('a' + (i + round) % 26));
      stream += (length + round) % 2 ? "\r\n" : "\n";
    }
  const std::string tail = "TAIL-BYTES-AFTER-THE-LINES";
  stream += tail;
  std::jthread sender([&] {
    std::size_t sent = 0;
    while (sent < stream.size()) {
      const long n =
          pair.client.Send(stream.data() + sent, std::min<std::size_t>(1000, stream.size() - sent));
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    pair.client.Shutdown();
  });
  constexpr int kLimit = 100;
  char buffer[kLimit + 1];
  for (const Expected& expected :
       ExpectedLineReads(stream.substr(0, stream.size() - tail.size()), kLimit)) {
    ASSERT_EQ(connection.ReceiveLine(buffer, kLimit), expected.result);
    ASSERT_EQ(std::string(buffer), expected.text);
  }
  std::string rest;
  char block[7];
  for (int n; (n = connection.ReceiveBytes(block, sizeof block)) > 0;)
    rest.append(block, static_cast<std::size_t>(n));
  EXPECT_EQ(rest, tail);
}

TEST_F(ServerLineTest, DrainInputDropsWaitingBytesOnlyAndDoesNotWait) {
  LoopbackPair pair;
  C_WSTHREAD connection;
  connection.Attach(pair.server, pair.peer, nullptr, nullptr);
  // Nothing waiting: returns at once (there is no time-out that would end a blocking read).
  EXPECT_EQ(connection.DrainInput(), 0);
  const std::string first = "HELO x\r\nleft over in the buffer\r\n";
  ASSERT_EQ(pair.client.Send(first.data(), first.size()), static_cast<long>(first.size()));
  char buffer[101];
  ASSERT_EQ(connection.ReceiveLine(buffer, 100), 6);
  // More than one discarding receive's worth waits in the socket itself.
  const std::string waiting(300, 'z');
  ASSERT_EQ(pair.client.Send(waiting.data(), waiting.size()), 300);
  ASSERT_TRUE(WaitFor([&] { return pair.server.AvailableBytes() == 300; }));
  EXPECT_EQ(connection.DrainInput(), 0);
  EXPECT_EQ(pair.server.AvailableBytes(), 0u);
  const std::string next = "NOOP\r\n";
  ASSERT_EQ(pair.client.Send(next.data(), next.size()), 6);
  ASSERT_EQ(connection.ReceiveLine(buffer, 100), 4);
  EXPECT_STREQ(buffer, "NOOP");
}

TEST_F(ServerLineTest, SendBytesSendsGivenLengthOrWholeText) {
  LoopbackPair pair;
  C_WSTHREAD connection;
  connection.Attach(pair.server, pair.peer, nullptr, nullptr);
  EXPECT_EQ(connection.SendBytes("abcdef", 3), 3);
  EXPECT_EQ(connection.SendBytes("250 OK\r\n", 0), 8);
  EXPECT_EQ(connection.SendText("354 go\r\n"), 8);
  pair.server.Shutdown();
  std::string got;
  char block[64];
  for (long n; (n = pair.client.Recv(block, sizeof block)) > 0;)
    got.append(block, static_cast<std::size_t>(n));
  EXPECT_EQ(got, "abc250 OK\r\n354 go\r\n");
}

TEST_F(ServerLineTest, FailedReceiveIsLoggedWithItsSocketError) {
  LoopbackPair pair;
  C_WSTHREAD connection;
  connection.Attach(pair.server, pair.peer, nullptr, nullptr);
  ASSERT_EQ(pair.server.SetReceiveTimeout(100), 0);
  char buffer[101];
  std::strcpy(buffer, "old");
  EXPECT_EQ(connection.ReceiveLine(buffer, 100), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(platform::LastError(), platform::kWsaETimedOut);
  EXPECT_EQ(CountEntries("WSA Socket Error: (10060)"), 1);
  // A closed connection is not a failure: 0, nothing logged.
  pair.client.Shutdown();
  EXPECT_EQ(connection.ReceiveLine(buffer, 100), 0);
  EXPECT_EQ(CountEntries("WSA Socket Error:"), 1);
}

class ClientLineTest : public LoggedTest {};

// The client reads lines as the server does, without clearing its buffer first.
TEST_F(ClientLineTest, LinesSplitAtEveryByteReadAsWhole) {
  platform::Socket listening;
  ASSERT_EQ(platform::Socket::Create(0, listening), 0);
  ASSERT_EQ(listening.Bind(platform::MakeAddress(0, 0x7F000001)), 0);
  ASSERT_EQ(listening.Listen(5), 0);
  platform::SocketAddress bound;
  ASSERT_EQ(listening.LocalAddress(bound), 0);
  const std::uint16_t port = platform::NetToHost16(bound.port);
  for (const LineCase& c : LineCases()) {
    if (c.read != Read::Line) continue;
    std::vector<std::vector<std::string>> ways = Splits(c.input);
    ways.push_back(BytesApart(c.input));
    for (const auto& pieces : ways) {
      C_WSClient client;
      ASSERT_EQ(client.Connect(port, "127.0.0.1"), 0);
      platform::Socket server;
      platform::SocketAddress peer;
      ASSERT_EQ(listening.Accept(server, peer), 0);
      std::jthread sender([&] {
        for (const std::string& piece : pieces) {
          if (!piece.empty()) server.Send(piece.data(), piece.size());
          // The client's own socket is not visible here: give the reader a moment to take
          // the piece before the next one arrives.
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        server.Shutdown();
      });
      std::vector<char> buffer(static_cast<std::size_t>(c.limit) + 1, '#');
      for (std::size_t i = 0; i < c.reads.size(); ++i) {
        EXPECT_EQ(client.ReceiveLine(buffer.data(), c.limit), c.reads[i].result)
            << c.name << " read " << i;
        EXPECT_EQ(std::string(buffer.data()), c.reads[i].text) << c.name << " read " << i;
      }
      EXPECT_EQ(client.Close(), 0);
    }
  }
}

// A local socket pair carries a session as a TCP connection does: lines both ways, what is
// waiting counted, and a shut-down end read as closed at the other.
TEST(SocketPairTest, EndsReachEachOther) {
  platform::Socket first;
  platform::Socket second;
  ASSERT_EQ(platform::Socket::CreatePair(first, second), 0);
  ASSERT_TRUE(first.IsValid());
  ASSERT_TRUE(second.IsValid());
  const std::string hello = "HELO a.example\r\nNOOP\r\n";
  ASSERT_EQ(first.Send(hello.data(), hello.size()), static_cast<long>(hello.size()));
  EXPECT_EQ(second.AvailableBytes(), hello.size());
  C_WSTHREAD connection;
  connection.Attach(second, platform::SocketAddress{}, nullptr, nullptr);
  char line[101];
  EXPECT_EQ(connection.ReceiveLine(line, 100), 14);
  EXPECT_EQ(std::string(line), "HELO a.example");
  EXPECT_EQ(connection.SendText("250 ok\r\n"), 8);
  char reply[16] = {};
  EXPECT_EQ(first.Recv(reply, sizeof reply), 8);
  EXPECT_EQ(std::string(reply), "250 ok\r\n");
  EXPECT_EQ(first.Shutdown(), 0);
  EXPECT_EQ(connection.ReceiveLine(line, 100), 4);
  EXPECT_EQ(connection.ReceiveLine(line, 100), 0);
  EXPECT_EQ(second.Recv(reply, sizeof reply), 0);
}

}  // namespace
}  // namespace faxmail::test
