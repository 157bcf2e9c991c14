// C_WSClient: an outgoing TCP connection with line I/O, for the SMTP sender (which derives
// from it) and the DNS resolver.
//
// A client is made without a connection. Connect opens one to a dotted IPv4 address only -
// no name is resolved there; ResolveHostAddress turns a host name into such an address first.
// Close ends the connection, and the same client may connect again. A connection has no
// time-outs until its user sets a receive time-out after Connect; no send time-out is ever set.
// Failed sends and receives are not logged here: the results tell the caller (and the thread's
// last error holds the socket error number).
//
// Reads go through a buffer of the client's own (LineInput), so no byte past a line is lost;
// use these operations, never the socket directly. After StartTls every send and receive goes
// through the TLS session, with the same time-outs, until Close; the connection never returns
// to clear text, and after a failed handshake every send and receive fails. One thread at a time:
// the one that made it. Destroying a client closes a connection still open without shutting it
// down; its users call Close first.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "gateway/net/byte_stream.h"
#include "gateway/net/line_input.h"
#include "gateway/net/tls.h"
#include "platform/socket.h"

namespace faxmail {

class C_WSClient {
 public:
  C_WSClient();
  virtual ~C_WSClient();
  C_WSClient(const C_WSClient&) = delete;
  C_WSClient& operator=(const C_WSClient&) = delete;

  // A peer that has not answered a connection by then is taken as down (the system itself
  // would wait some two minutes, holding the one sender thread).
  static constexpr std::uint32_t kConnectTimeoutMs = 30000;

  // 0 connected; 1 no socket could be created; 2 the connection was refused or failed (also
  // when address is not a dotted IPv4 address, and when the peer has not answered within
  // timeoutMs: 10060). On 1 and 2 the socket error is logged.
  int Connect(std::uint16_t port, const char* address, std::uint32_t timeoutMs = kConnectTimeoutMs);
  // Replaces the host name in buffer (size bytes) by the dotted text of its first IPv4 address:
  // 0 done; 1 the text would not fit with its zero; 2 the name is not known. On 1 and 2 the
  // buffer is left as it was.
  int ResolveHostAddress(char* buffer, int size);
  // Logs "Closing connection"; shuts the connection down and closes it: 0 closed (or there was
  // none), 1 the shutdown failed, 2 the close failed; each failure logged with its socket
  // error. The socket is closed in every case.
  int Close();

  // One send call: bytes sent (possibly fewer, not retried) or -1. A length of 0 or less sends
  // the zero-terminated text.
  int SendBytes(const char* data, int length);
  int SendText(const char* text) { return SendBytes(text, -1); }
  // One receive: bytes received, 0 when the peer has closed, -1 when it failed.
  int ReceiveBytes(char* buffer, int size);
  // One line into buffer (at least limit + 1 bytes), its length without the line end; pieces of
  // limit bytes for a longer line; 0 and an empty text for an empty line and for a closed or
  // failed connection.
  int ReceiveLine(char* buffer, int limit);
  // Records the receive time-out and sets it on the connection.
  void SetReceiveTimeout(std::uint32_t milliseconds);
  std::uint32_t ReceiveTimeout() const noexcept { return m_receiveTimeout; }
  // Throws away the input that has already arrived, without waiting; 0.
  int DrainInput();

  // The client's TLS handshake on the open connection with the server known as hostName (see
  // TlsSession::Connect). Whatever was read ahead in clear is thrown away first. True when it
  // completed; otherwise error says why, and the connection is of no further use but to Close.
  bool StartTls(const TlsContext& context, const std::string& hostName, std::string& error);
  // The TLS session once StartTls has been called on this connection (also when it failed).
  const TlsSession* Tls() const noexcept { return m_tls.get(); }

  bool IsConnected() const noexcept { return m_socket.IsValid(); }
  const platform::SocketAddress& PeerAddress() const noexcept { return m_peer; }

 private:
  platform::Socket m_socket;
  platform::SocketAddress m_peer{};
  std::uint32_t m_receiveTimeout = 0;
  LineInput m_input;
  std::unique_ptr<TlsSession> m_tls;  // from StartTls until Close or the next Connect
  // The bytes of the connection: the socket in clear, or the TLS session.
  ByteStream& Stream();
  SocketStream m_plain{m_socket};
};

}  // namespace faxmail
