#include "gateway/net/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstddef>

#include "platform/socket.h"
#include "platform/win_error.h"

namespace faxmail {

// What the BIO saw of the socket beneath, for the session to tell a closed peer, a socket
// failure (time-out, reset) and a protocol error apart.
struct TlsTransport {
  platform::Socket* socket = nullptr;
  bool peerClosed = false;
  long socketError = 0;  // the socket error of the last failed receive or send, 0: none
};

namespace {

// The longest library error text taken into a log line.
constexpr std::size_t kErrorTextLimit = 256;

int TransportWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  auto* transport = static_cast<TlsTransport*>(BIO_get_data(bio));
  if (size <= 0) return 0;
  const long sent = transport->socket->Send(data, static_cast<std::size_t>(size));
  if (sent < 0) transport->socketError = platform::LastError();
  return static_cast<int>(sent);
}

int TransportRead(BIO* bio, char* buffer, int size) {
  BIO_clear_retry_flags(bio);
  auto* transport = static_cast<TlsTransport*>(BIO_get_data(bio));
  if (size <= 0) return 0;
  const long got = transport->socket->Recv(buffer, static_cast<std::size_t>(size));
  if (got < 0) transport->socketError = platform::LastError();
  if (got == 0) transport->peerClosed = true;
  return static_cast<int>(got);
}

long TransportControl(BIO*, int command, long, void*) {
  // The library flushes after each flight; every write has gone out already.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int TransportCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

int TransportDestroy(BIO*) { return 1; }

// The method of our socket BIO, made once for the process and never freed.
BIO_METHOD* TransportMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "faxmail socket");
    if (made == nullptr) return made;
    BIO_meth_set_write(made, TransportWrite);
    BIO_meth_set_read(made, TransportRead);
    BIO_meth_set_ctrl(made, TransportControl);
    BIO_meth_set_create(made, TransportCreate);
    BIO_meth_set_destroy(made, TransportDestroy);
    return made;
  }();
  return method;
}

// The first error of this thread's library queue as a printable text; the queue is emptied.
std::string LibraryError(const char* fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[kErrorTextLimit];
  ERR_error_string_n(code, text, sizeof text);
  std::string printable;
  for (const char* c = text; *c != '\0'; ++c)
    printable.push_back(static_cast<unsigned char>(*c) >= 0x20 && *c != 0x7f ? *c : '?');
  return printable;
}

// A key protected by a pass phrase is refused: there is nobody at start to type it (the
// library would ask on the terminal).
int NoPassPhrase(char*, int, int, void*) { return 0; }

}  // namespace

void TlsContext::Free::operator()(ssl_ctx_st* context) const noexcept { SSL_CTX_free(context); }

TlsContext::~TlsContext() = default;

std::optional<TlsContext> TlsContext::Server(const std::string& certificatePath,
                                             const std::string& keyPath, std::string& error) {
  ERR_clear_error();
  TlsContext made(SSL_CTX_new(TLS_server_method()));
  SSL_CTX* context = made.Handle();
  if (context == nullptr) {
    error = LibraryError("no TLS context");
    return std::nullopt;
  }
  if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION) != 1) {
    error = LibraryError("TLS versions not available");
    return std::nullopt;
  }
  SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_default_passwd_cb(context, NoPassPhrase);
  if (SSL_CTX_use_certificate_chain_file(context, certificatePath.c_str()) != 1) {
    error = "certificate " + certificatePath + ": " + LibraryError("unreadable");
    return std::nullopt;
  }
  if (SSL_CTX_use_PrivateKey_file(context, keyPath.c_str(), SSL_FILETYPE_PEM) != 1) {
    error = "key " + keyPath + ": " + LibraryError("unreadable");
    return std::nullopt;
  }
  if (SSL_CTX_check_private_key(context) != 1) {
    error = "key " + keyPath + " does not match certificate " + certificatePath + ": " +
            LibraryError("mismatch");
    return std::nullopt;
  }
  return made;
}

std::optional<TlsContext> TlsContext::Client(bool verify, std::string& error) {
  ERR_clear_error();
  TlsContext made(SSL_CTX_new(TLS_client_method()));
  SSL_CTX* context = made.Handle();
  if (context == nullptr) {
    error = LibraryError("no TLS context");
    return std::nullopt;
  }
  if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION) != 1) {
    error = LibraryError("TLS versions not available");
    return std::nullopt;
  }
  SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
  if (verify) {
    if (SSL_CTX_set_default_verify_paths(context) != 1) {
      error = "the system's certificate store: " + LibraryError("not found");
      return std::nullopt;
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  }
  made.m_verify = verify;
  return made;
}

void TlsSession::Free::operator()(ssl_st* session) const noexcept { SSL_free(session); }

TlsSession::TlsSession(const TlsContext& context, platform::Socket& socket)
    : m_socket(&socket),
      m_transport(std::make_unique<TlsTransport>()),
      m_session(SSL_new(context.Handle())) {
  m_transport->socket = m_socket;
}

TlsSession::~TlsSession() {
  if (m_session && m_established && !m_broken) {
    ERR_clear_error();
    SSL_shutdown(m_session.get());
    ERR_clear_error();
  }
}

bool TlsSession::AttachTransport(std::string& error) {
  BIO_METHOD* method = TransportMethod();
  if (!m_session || method == nullptr) {
    m_broken = true;
    error = LibraryError("no TLS session");
    return false;
  }
  BIO* bio = BIO_new(method);
  if (bio == nullptr) {
    m_broken = true;
    error = LibraryError("no TLS transport");
    return false;
  }
  // The session owns the BIO from here on; the transport outlives both.
  BIO_set_data(bio, m_transport.get());
  SSL_set_bio(m_session.get(), bio, bio);
  return true;
}

std::string TlsSession::HandshakeError(const char* peerClosedText) const {
  std::string error;
  // Without SSL_VERIFY_PEER the library records a verification result but goes on.
  const bool verifying = (SSL_get_verify_mode(m_session.get()) & SSL_VERIFY_PEER) != 0;
  const long verified = SSL_get_verify_result(m_session.get());
  if (verifying && verified != X509_V_OK) {
    error =
        std::string("certificate verification failed: ") + X509_verify_cert_error_string(verified);
    ERR_clear_error();
  } else if (m_transport->socketError != 0) {
    error = "socket error " + std::to_string(m_transport->socketError);
    ERR_clear_error();
  } else if (m_transport->peerClosed) {
    error = peerClosedText;
    ERR_clear_error();
  } else {
    error = LibraryError("handshake failed");
  }
  return error;
}

bool TlsSession::Accept(std::string& error) {
  ERR_clear_error();
  if (!AttachTransport(error)) return false;
  const int result = SSL_accept(m_session.get());
  if (result == 1) {
    m_established = true;
    return true;
  }
  m_broken = true;
  error = HandshakeError("the client closed the connection");
  return false;
}

bool TlsSession::Connect(const std::string& hostName, std::string& error) {
  ERR_clear_error();
  if (!AttachTransport(error)) return false;
  SSL* session = m_session.get();
  // An address is no name to send as SNI; a verifying context matches it against the
  // certificate's IP addresses instead of its DNS names.
  const bool isAddress =
      platform::InetAddr(hostName).has_value() || hostName.find(':') != std::string::npos;
  if (!hostName.empty() && !isAddress && SSL_set_tlsext_host_name(session, hostName.c_str()) != 1) {
    m_broken = true;
    error = "server name " + hostName + ": " + LibraryError("not usable");
    return false;
  }
  if (SSL_get_verify_mode(session) & SSL_VERIFY_PEER) {
    X509_VERIFY_PARAM* param = SSL_get0_param(session);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const int named = isAddress ? X509_VERIFY_PARAM_set1_ip_asc(param, hostName.c_str())
                                : X509_VERIFY_PARAM_set1_host(param, hostName.c_str(), 0);
    if (hostName.empty() || named != 1) {
      m_broken = true;
      error = "host name " + hostName + ": " + LibraryError("cannot be verified");
      return false;
    }
  }
  const int result = SSL_connect(session);
  if (result == 1) {
    m_established = true;
    return true;
  }
  m_broken = true;
  error = HandshakeError("the server closed the connection");
  return false;
}

long TlsSession::Failed(int result) {
  const int kind = SSL_get_error(m_session.get(), result);
  ERR_clear_error();
  m_broken = true;
  if (m_transport->socketError != 0) {
    platform::SetLastError(m_transport->socketError);
    return -1;
  }
  if (kind == SSL_ERROR_ZERO_RETURN || m_transport->peerClosed) return 0;
  // Not TLS, or TLS gone wrong: as a connection the peer broke off.
  platform::SetLastError(platform::kWsaEConnAborted);
  return -1;
}

long TlsSession::Recv(void* buffer, std::size_t size) {
  if (!m_established || m_broken) {
    platform::SetLastError(platform::kWsaENotConn);
    return -1;
  }
  if (size == 0) return 0;
  ERR_clear_error();
  m_transport->socketError = 0;
  const int wanted = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  const int got = SSL_read(m_session.get(), buffer, wanted);
  if (got > 0) return got;
  return Failed(got);
}

long TlsSession::Send(const void* data, std::size_t size) {
  if (!m_established || m_broken) {
    platform::SetLastError(platform::kWsaENotConn);
    return -1;
  }
  if (size == 0) return 0;
  ERR_clear_error();
  m_transport->socketError = 0;
  const int wanted = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  const int sent = SSL_write(m_session.get(), data, wanted);
  if (sent > 0) return sent;
  const long failed = Failed(sent);
  // A peer that has closed cannot take the bytes: a failed send, as on the socket.
  if (failed == 0) platform::SetLastError(platform::kWsaEConnReset);
  return -1;
}

bool TlsSession::HasWaitingInput() {
  if (!m_established || m_broken) return m_socket->HasWaitingInput();
  return SSL_pending(m_session.get()) > 0 || m_socket->HasWaitingInput();
}

std::string TlsSession::Protocol() const {
  return m_session ? SSL_get_version(m_session.get()) : "";
}

std::string TlsSession::Cipher() const {
  if (!m_session) return {};
  const char* name = SSL_get_cipher_name(m_session.get());
  return name ? name : "";
}

}  // namespace faxmail
