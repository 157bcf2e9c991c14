// TLS for the scripted SMTP server, through the TLS library directly (not the gateway's own
// TLS code, which is what the sender under test uses): a server context from a PEM
// certificate and key, and a session on the accepted socket. Only where the build has TLS.
#pragma once

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "tests/unit/smtp_out/scripted_server.h"

namespace faxmail::test {

class OpensslServerTls final : public ServerTls {
 public:
  OpensslServerTls(const std::string& certificate, const std::string& key)
      : m_context(SSL_CTX_new(TLS_server_method())) {
    if (!m_context) return;
    SSL_CTX_use_certificate_chain_file(m_context.get(), certificate.c_str());
    SSL_CTX_use_PrivateKey_file(m_context.get(), key.c_str(), SSL_FILETYPE_PEM);
  }
  bool Accept(platform::Socket& socket) override {
    if (!m_context) return false;
    m_session.reset(SSL_new(m_context.get()));
    if (!m_session) return false;
    SSL_set_fd(m_session.get(), socket.Id());
    if (SSL_accept(m_session.get()) != 1) {
      ERR_clear_error();
      m_session.reset();
      return false;
    }
    return true;
  }
  bool Pending() override { return m_session && SSL_pending(m_session.get()) > 0; }
  long Read(char* buffer, std::size_t size) override {
    return SSL_read(m_session.get(), buffer, static_cast<int>(size));
  }
  void Write(const std::string& text) override {
    SSL_write(m_session.get(), text.data(), static_cast<int>(text.size()));
  }
  void Shutdown() override {
    SSL_shutdown(m_session.get());
    ERR_clear_error();
  }

 private:
  struct FreeContext {
    void operator()(SSL_CTX* context) const noexcept { SSL_CTX_free(context); }
  };
  struct FreeSession {
    void operator()(SSL* session) const noexcept { SSL_free(session); }
  };
  std::unique_ptr<SSL_CTX, FreeContext> m_context;
  std::unique_ptr<SSL, FreeSession> m_session;
};

// A script's TLS layer with this certificate and key (PEM files).
inline std::function<std::unique_ptr<ServerTls>()> ServerTlsWith(const std::string& certificate,
                                                                 const std::string& key) {
  return [certificate, key] { return std::make_unique<OpensslServerTls>(certificate, key); };
}

}  // namespace faxmail::test
