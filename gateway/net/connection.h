// C_WSTHREAD: one accepted connection of a C_WINSOCK listener, and its line I/O.
//
// The listener's connection thread creates the object (C_WINSOCK::CreateConnection), attaches
// the accepted socket, sets 30-second send and receive time-outs on it, and calls exactly one
// of the two virtual operations:
//   - Run():    the connection was accepted within the limit of the listener. The default
//               reads one line of at most 100 bytes and, when one arrived, throws away any
//               other waiting input and sends "Connect Successful ... Now Disconnecting.".
//   - Refuse(): the connection was accepted over the limit. The default receives up to 255
//               bytes and, when anything arrived, sends "Too Many Connections, Please Try
//               Later.". A server that must not answer at all replaces it with nothing.
// Either returns when the connection is done with. Afterwards the thread destroys the object
// (C_WINSOCK::ReleaseConnection) and only then shuts the socket down and closes it: the I/O
// operations here never close it.
//
// The object is used by its connection thread only. Reads go through a buffer of the object's
// own (LineInput): no byte past a line is lost to the next reader, so every read of the
// connection must use these operations, never the socket directly. After StartTls every send
// and receive goes through the TLS session instead, with the same time-outs and deadline; the
// connection never returns to clear text. A receive or send blocks at
// most for the socket's time-out; a time-out is a failed call. Every failed send or receive is
// logged as "WSA Socket Error: (%d)" with its socket error number (10060 for a time-out).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "gateway/net/byte_stream.h"
#include "gateway/net/line_input.h"
#include "gateway/net/tls.h"
#include "platform/socket.h"

namespace faxmail {

class C_WINSOCK;
struct ConnectionEntry;

class C_WSTHREAD {
 public:
  // Limits of the default operations.
  static constexpr int kRunLineLimit = 100;
  static constexpr int kRefuseReceiveLimit = 255;

  C_WSTHREAD() = default;
  virtual ~C_WSTHREAD();
  C_WSTHREAD(const C_WSTHREAD&) = delete;
  C_WSTHREAD& operator=(const C_WSTHREAD&) = delete;

  virtual void Run();
  virtual void Refuse();

  // Gives the object its connection: the accepted socket (owned by the connection thread and
  // valid until Run or Refuse has returned), the peer's address, the listener's socket and the
  // listener.
  void Attach(platform::Socket& socket, const platform::SocketAddress& peer,
              const platform::Socket* listening, C_WINSOCK* owner);

  // The session is over: its place under the listener's connection limit is given back now,
  // before its last reply goes out, so that a client that connects again as soon as it has
  // that reply is within the limit. Call it before the final write; the connection thread
  // calls it after Run for a session that did not. Only the first call counts.
  void EndOfSession();

  // One send call: bytes sent (possibly fewer than length, not retried) or -1. A length of 0
  // or less sends the zero-terminated text.
  int SendBytes(const char* data, int length);
  int SendText(const char* text) { return SendBytes(text, -1); }
  // One receive: bytes received, 0 when the peer has closed, -1 when it failed.
  int ReceiveBytes(char* buffer, int size);
  // One line into buffer (at least limit + 1 bytes): its length without the line end (CR LF or
  // a bare LF). A line longer than limit comes in pieces of limit bytes. 0 and an empty text
  // for an empty line as for a closed, failed or silent connection: callers cannot tell them
  // apart. The first limit bytes of buffer are cleared first.
  int ReceiveLine(char* buffer, int limit);
  // As ReceiveLine, but the line end is kept and counted, and buffer is not cleared first.
  int ReceiveRawLine(char* buffer, int limit);
  // Throws away the input that has already arrived, without waiting; 0.
  int DrainInput();

  // Line reads (ReceiveLine, ReceiveRawLine) end as failed once this time has come, however
  // the peer spreads its bytes; each of their receives then waits at most until it. A new
  // deadline replaces the old one; none (the default) leaves only the socket's time-out.
  using Clock = std::chrono::steady_clock;
  void SetReceiveDeadline(std::optional<Clock::time_point> deadline);
  // Whether the last failed line read ended because the deadline had come.
  bool ReceiveDeadlineReached() const noexcept { return m_deadlineReached; }

  // The server's TLS handshake on this connection (STARTTLS), within the receive deadline.
  // Every byte read ahead in clear is thrown away first: nothing the peer sent before the
  // handshake is ever read after it. True when the handshake completed; otherwise error says
  // why, and every later send and receive fails (nothing more goes out in clear).
  bool StartTls(const TlsContext& context, std::string& error);
  // Whether bytes that arrived are waiting in the object's buffer (read ahead of the last line).
  bool HasBufferedInput() const noexcept { return m_input.HasBuffered(); }
  // The TLS session once StartTls has been called (also when it failed), else none.
  const TlsSession* Tls() const noexcept { return m_tls.get(); }

  const platform::SocketAddress& PeerAddress() const noexcept { return m_peer; }
  // The peer's address as a dotted text.
  std::string PeerAddressText() const;
  C_WINSOCK* Owner() const noexcept { return m_owner; }
  const platform::Socket* ListeningSocket() const noexcept { return m_listening; }

 private:
  platform::Socket* m_socket = nullptr;
  platform::SocketAddress m_peer{};
  const platform::Socket* m_listening = nullptr;
  C_WINSOCK* m_owner = nullptr;
  LineInput m_input;
  std::optional<SocketStream> m_plain;  // the socket in clear, from Attach
  std::unique_ptr<TlsSession> m_tls;    // from StartTls
  ByteStream* m_stream = nullptr;       // the one of the two in use
  // Called before each receive of a line read: false once the deadline has come; else sets the
  // socket's receive time-out so that the receive ends by the deadline.
  bool BeforeReceive();
  void ReadEnded(bool failed);
  std::optional<Clock::time_point> m_deadline;
  bool m_deadlineReached = false;
  std::uint32_t m_receiveTimeoutMs = 0;  // the listener's, set at attach (0: none)
  std::uint32_t m_armedTimeoutMs = 0;    // the receive time-out now on the socket
  // Where the connection stands under the listener's limit (set by the connection thread).
  enum class Place { Refused, Admitted, Closing };
  Place m_place = Place::Refused;
  friend int ClientThreadEntry(const std::shared_ptr<ConnectionEntry>& entry);
};

}  // namespace faxmail
