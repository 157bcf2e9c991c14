// TLS in a build without a TLS library: no context can be made, so no session ever starts.
// The receiver logs the reason once and offers no STARTTLS (nor AUTH, which needs it); the
// sender logs it, and where TLS is required it sends nothing; every other part of the gateway
// works as without TLS settings.
#include "gateway/net/tls.h"

#include "platform/win_error.h"

namespace faxmail {

struct TlsTransport {};

namespace {
constexpr char kNoTls[] = "this build has no TLS";
}  // namespace

void TlsContext::Free::operator()(ssl_ctx_st*) const noexcept {}

TlsContext::~TlsContext() = default;

std::optional<TlsContext> TlsContext::Server(const std::string&, const std::string&,
                                             std::string& error) {
  error = kNoTls;
  return std::nullopt;
}

std::optional<TlsContext> TlsContext::Client(bool, std::string& error) {
  error = kNoTls;
  return std::nullopt;
}

void TlsSession::Free::operator()(ssl_st*) const noexcept {}

// Unreachable without a context; a session made anyway fails every call as a broken one.
TlsSession::TlsSession(const TlsContext&, platform::Socket& socket)
    : m_socket(&socket), m_broken(true) {}

TlsSession::~TlsSession() = default;

bool TlsSession::Accept(std::string& error) {
  error = kNoTls;
  return false;
}

bool TlsSession::Connect(const std::string&, std::string& error) {
  error = kNoTls;
  return false;
}

bool TlsSession::AttachTransport(std::string& error) {
  error = kNoTls;
  return false;
}

std::string TlsSession::HandshakeError(const char*) const { return kNoTls; }

long TlsSession::Failed(int) { return -1; }

long TlsSession::Recv(void*, std::size_t) {
  platform::SetLastError(platform::kWsaENotConn);
  return -1;
}

long TlsSession::Send(const void*, std::size_t) {
  platform::SetLastError(platform::kWsaENotConn);
  return -1;
}

bool TlsSession::HasWaitingInput() { return false; }

std::string TlsSession::Protocol() const { return {}; }
std::string TlsSession::Cipher() const { return {}; }

}  // namespace faxmail
