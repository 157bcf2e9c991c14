// TLS on a connection: the server context's checks of certificate and key, and a connection's
// line I/O through a TLS session against a client made with the library directly (over a
// local socket pair): lines split across records, nothing read in clear surviving the
// handshake, the socket's time-out as the usual socket error, and no byte in clear after a
// failed handshake.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/net/connection.h"
#include "gateway/net/tls.h"
#include "platform/socket.h"
#include "platform/win_error.h"
#include "tests/support/peers.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

constexpr char kOpenssl[] = "/usr/bin/openssl";

// A key and self-signed certificate made by openssl in folder: folder/NAME.key, NAME.pem.
void MakeCertificate(const std::string& folder, const std::string& name,
                     const std::vector<std::string>& keyOptions = {}) {
  std::vector<std::string> argv = {kOpenssl,
                                   "req",
                                   "-x509",
                                   "-newkey",
                                   "ec",
                                   "-pkeyopt",
                                   "ec_paramgen_curve:prime256v1",
                                   "-keyout",
                                   folder + "/" + name + ".key",
                                   "-out",
                                   folder + "/" + name + ".pem",
                                   "-days",
                                   "2",
                                   "-subj",
                                   "/CN=tls.test"};
  const std::vector<std::string> options =
      keyOptions.empty() ? std::vector<std::string>{"-nodes"} : keyOptions;
  argv.insert(argv.end(), options.begin(), options.end());
  std::string output;
  ASSERT_EQ(test::RunProgram(argv, &output), 0) << output;
}

class TlsTest : public test::RootTest {
 protected:
  void SetUp() override {
    test::RootTest::SetUp();
    FAXMAIL_REQUIRE_PEER(kOpenssl);
    MakeCertificate(Root(), "server");
  }
  std::optional<TlsContext> Context(std::string& error) {
    return TlsContext::Server(Root() + "/server.pem", Root() + "/server.key", error);
  }
};

TEST_F(TlsTest, ContextNeedsAMatchingReadableCertificateAndKey) {
  if (IsSkipped()) return;
  MakeCertificate(Root(), "other");
  MakeCertificate(Root(), "locked", {"-passout", "pass:phrase"});
  test::WriteWholeFile(Root() + "/junk.pem", "-----BEGIN CERTIFICATE-----\nno\n");
  struct Case {
    std::string certificate, key, error;  // error: the start of the text, empty: loads
  } cases[] = {
      {"server.pem", "server.key", ""},
      {"absent.pem", "server.key", "certificate " + Root() + "/absent.pem: "},
      {"junk.pem", "server.key", "certificate " + Root() + "/junk.pem: "},
      {"server.pem", "absent.key", "key " + Root() + "/absent.key: "},
      {"server.pem", "other.key", "key " + Root() + "/other.key"},
      // A pass phrase is never asked for: nobody is there to type it.
      {"locked.pem", "locked.key", "key " + Root() + "/locked.key: "},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto context =
        TlsContext::Server(Root() + "/" + c.certificate, Root() + "/" + c.key, error);
    EXPECT_EQ(context.has_value(), c.error.empty()) << c.certificate << " " << c.key;
    if (!c.error.empty()) {
      EXPECT_TRUE(error.starts_with(c.error)) << error;
    }
  }
}

// The client end: a library session over the other socket of the pair.
class Client {
 public:
  explicit Client(platform::Socket& socket)
      : m_context(SSL_CTX_new(TLS_client_method())), m_session(SSL_new(m_context.get())) {
    SSL_set_fd(m_session.get(), socket.Id());
  }
  bool Connect() { return SSL_connect(m_session.get()) == 1; }
  bool Write(const std::string& text) {
    return SSL_write(m_session.get(), text.data(), static_cast<int>(text.size())) ==
           static_cast<int>(text.size());
  }
  std::string Read() {
    char buffer[512];
    const int got = SSL_read(m_session.get(), buffer, sizeof buffer);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
  }
  std::string Version() const { return SSL_get_version(m_session.get()); }

 private:
  struct FreeContext {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
  };
  struct FreeSession {
    void operator()(SSL* s) const { SSL_free(s); }
  };
  std::unique_ptr<SSL_CTX, FreeContext> m_context;
  std::unique_ptr<SSL, FreeSession> m_session;
};

class ConnectionTlsTest : public TlsTest {
 protected:
  void SetUp() override {
    TlsTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(platform::Socket::CreatePair(m_server, m_client), 0);
    m_connection.Attach(m_server, platform::SocketAddress{}, nullptr, nullptr);
  }
  platform::Socket m_server, m_client;
  C_WSTHREAD m_connection;
};

TEST_F(ConnectionTlsTest, LinesGoThroughTlsAndClearTextReadAheadIsDropped) {
  if (IsSkipped()) return;
  std::string error;
  const auto context = Context(error);
  ASSERT_TRUE(context) << error;
  // In clear, in one piece: the command and one more line read ahead with it.
  ASSERT_EQ(m_client.Send("STARTTLS\r\nRSET\r\n", 16), 16);
  char line[101];
  ASSERT_EQ(m_connection.ReceiveLine(line, 100), 8);
  EXPECT_STREQ(line, "STARTTLS");
  EXPECT_TRUE(m_connection.HasBufferedInput());
  std::string reply, version;
  std::thread client([&] {
    Client tls(m_client);
    if (!tls.Connect()) return;
    version = tls.Version();
    // One line over two records, two lines in one record.
    tls.Write("NO");
    tls.Write("OP\r\nQUIT\r\n");
    reply = tls.Read();
  });
  ASSERT_TRUE(m_connection.StartTls(*context, error)) << error;
  EXPECT_FALSE(m_connection.HasBufferedInput());
  ASSERT_EQ(m_connection.ReceiveLine(line, 100), 4);
  EXPECT_STREQ(line, "NOOP");
  ASSERT_EQ(m_connection.ReceiveLine(line, 100), 4);
  EXPECT_STREQ(line, "QUIT");
  EXPECT_EQ(m_connection.SendText("221 bye\r\n"), 9);
  client.join();
  EXPECT_EQ(reply, "221 bye\r\n");
  EXPECT_EQ(version, "TLSv1.3");
  ASSERT_NE(m_connection.Tls(), nullptr);
  EXPECT_EQ(m_connection.Tls()->Protocol(), "TLSv1.3");
}

TEST_F(ConnectionTlsTest, SilentPeerInsideTlsTimesOutAsASocketDoes) {
  if (IsSkipped()) return;
  std::string error;
  const auto context = Context(error);
  ASSERT_TRUE(context) << error;
  ASSERT_EQ(m_server.SetReceiveTimeout(100), 0);
  std::unique_ptr<Client> tls;
  std::thread client([&] {
    tls = std::make_unique<Client>(m_client);
    tls->Connect();
  });
  ASSERT_TRUE(m_connection.StartTls(*context, error)) << error;
  client.join();
  char line[101];
  EXPECT_EQ(m_connection.ReceiveLine(line, 100), 0);
  EXPECT_EQ(platform::LastError(), platform::kWsaETimedOut);
}

TEST_F(ConnectionTlsTest, FailedHandshakeLetsNothingOutInClear) {
  if (IsSkipped()) return;
  std::string error;
  const auto context = Context(error);
  ASSERT_TRUE(context) << error;
  ASSERT_EQ(m_client.Send("NOOP\r\n", 6), 6);
  ASSERT_EQ(m_client.Shutdown(), 0);
  EXPECT_FALSE(m_connection.StartTls(*context, error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(m_connection.SendText("250 in clear\r\n"), -1);
  char line[101];
  EXPECT_EQ(m_connection.ReceiveLine(line, 100), 0);
}

TEST_F(ConnectionTlsTest, PeerThatClosesBeforeTheHandshakeIsNamed) {
  if (IsSkipped()) return;
  std::string error;
  const auto context = Context(error);
  ASSERT_TRUE(context) << error;
  ASSERT_EQ(m_client.Close(), 0);
  EXPECT_FALSE(m_connection.StartTls(*context, error));
  EXPECT_EQ(error, "the client closed the connection");
}

}  // namespace
}  // namespace faxmail
