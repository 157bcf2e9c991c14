// TLS for the gateway's connections: a context made once from the configuration, and a
// session that carries one connection's bytes once its handshake is done.
//
// TlsContext holds the library's configuration: TLS 1.2 and 1.3 only, no compression, no
// renegotiation, everything else (ciphers, groups, signature algorithms, tickets) the library's
// defaults, so that an update of the library tightens them. A context is made once at start,
// is immutable afterwards and is shared by every session on every thread. The server side
// holds a certificate chain and its key, both PEM; the client side (the sender's) holds no
// certificate and, when it verifies, trusts the system's store of certificate authorities
// (the library's default paths, which SSL_CERT_FILE and SSL_CERT_DIR override).
//
// TlsSession runs the protocol over a connection's platform::Socket (through a BIO of our own,
// so every read and write is one of the socket's own, with its time-outs and error numbers).
// It is a ByteStream: after Accept (server) or Connect (client) the connection's line I/O uses
// it in place of the socket.
// One thread at a time. The socket must outlive the session; the session never closes it. Its
// destructor sends the closing alert when the connection is still sound.
//
// Failures are values: the texts that the library gives (first error of its queue, made
// printable) are returned for the caller's log; nothing here writes a log entry.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "gateway/net/byte_stream.h"
#include "platform/socket.h"

struct ssl_ctx_st;
struct ssl_st;

namespace faxmail {

struct TlsTransport;

class TlsContext {
 public:
  // A server context from a PEM certificate chain (the server's certificate first) and the PEM
  // private key that matches it. Nothing, with error set, when either cannot be read or they
  // do not match.
  static std::optional<TlsContext> Server(const std::string& certificatePath,
                                          const std::string& keyPath, std::string& error);
  // A client context. With verify, a session's handshake fails unless the server's certificate
  // chains to an authority of the system's store and names the host given to Connect. Nothing,
  // with error set, when the library cannot make one (or find its store).
  static std::optional<TlsContext> Client(bool verify, std::string& error);

  bool Verifies() const noexcept { return m_verify; }

  TlsContext(TlsContext&&) noexcept = default;
  TlsContext& operator=(TlsContext&&) noexcept = default;
  ~TlsContext();

  ssl_ctx_st* Handle() const noexcept { return m_context.get(); }

 private:
  struct Free {
    void operator()(ssl_ctx_st* context) const noexcept;
  };
  explicit TlsContext(ssl_ctx_st* context) noexcept : m_context(context) {}
  std::unique_ptr<ssl_ctx_st, Free> m_context;
  bool m_verify = false;
};

class TlsSession final : public ByteStream {
 public:
  // A session of context over socket; no byte is exchanged until Accept or Connect.
  TlsSession(const TlsContext& context, platform::Socket& socket);
  ~TlsSession() override;
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // The server's handshake: true when it completed. Otherwise error tells why (the peer closed,
  // timed out, or spoke no acceptable TLS), and the session must not be used further.
  bool Accept(std::string& error);
  // The client's handshake with the server known as hostName (a name or a dotted address):
  // the name goes out as SNI unless it is an address, and a verifying context checks the
  // certificate against it. True when the handshake completed; otherwise error tells why
  // ("certificate verification failed: " and the library's reason when that was it).
  bool Connect(const std::string& hostName, std::string& error);

  long Recv(void* buffer, std::size_t size) override;
  long Send(const void* data, std::size_t size) override;
  bool HasWaitingInput() override;

  // The negotiated protocol ("TLSv1.3") and cipher, for the log.
  std::string Protocol() const;
  std::string Cipher() const;

 private:
  struct Free {
    void operator()(ssl_st* session) const noexcept;
  };
  // The result of a failed library call as the socket would give it: 0 for a clean close, -1
  // with the last error set for anything else. The session is broken afterwards.
  long Failed(int result);
  // Gives the library session our socket BIO; false (error set) when it cannot.
  bool AttachTransport(std::string& error);
  // Why a handshake failed, from the transport, the verification and the library's queue.
  std::string HandshakeError(const char* peerClosedText) const;

  platform::Socket* m_socket;
  // What the session's BIO sees of the socket; outlives the library session.
  std::unique_ptr<TlsTransport> m_transport;
  std::unique_ptr<ssl_st, Free> m_session;
  bool m_established = false;  // the handshake is done
  bool m_broken = false;       // a fatal error or the peer's close: no closing alert
};

}  // namespace faxmail
