// Sockets of the platform layer: a move-only handle for one IPv4 stream socket, address
// conversions and host-name lookup.
//
// Every operation that fails sets the calling thread's last error (win_error.h) to a socket
// error number of the Windows Sockets family, so the log line "WSA Socket Error: (%d)" carries
// the same number on every backend: 10060 time-out, 10061 refused, 10054 reset, 10048 address
// in use, 10022 invalid argument, 10038 not a socket, 11001 host not found, and so on (the
// constants below). errno values are translated once, here.
//
// A Socket may be used by one thread at a time, with one exception: Shutdown() may be called
// from another thread to wake a thread blocked in Accept() or Recv() on it. Its destructor
// closes quietly; Close() reports a failed close. Sends never raise a signal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace faxmail::platform {

// Socket error numbers as the logs show them.
inline constexpr long kWsaEIntr = 10004;
inline constexpr long kWsaEBadF = 10009;
inline constexpr long kWsaEAcces = 10013;
inline constexpr long kWsaEFault = 10014;
inline constexpr long kWsaEInval = 10022;
inline constexpr long kWsaEMFile = 10024;
inline constexpr long kWsaEWouldBlock = 10035;
inline constexpr long kWsaEInProgress = 10036;
inline constexpr long kWsaEAlready = 10037;
inline constexpr long kWsaENotSock = 10038;
inline constexpr long kWsaEDestAddrReq = 10039;
inline constexpr long kWsaEMsgSize = 10040;
inline constexpr long kWsaEProtoType = 10041;
inline constexpr long kWsaENoProtoOpt = 10042;
inline constexpr long kWsaEProtoNoSupport = 10043;
inline constexpr long kWsaESocktNoSupport = 10044;
inline constexpr long kWsaEOpNotSupp = 10045;
inline constexpr long kWsaEPfNoSupport = 10046;
inline constexpr long kWsaEAfNoSupport = 10047;
inline constexpr long kWsaEAddrInUse = 10048;
inline constexpr long kWsaEAddrNotAvail = 10049;
inline constexpr long kWsaENetDown = 10050;
inline constexpr long kWsaENetUnreach = 10051;
inline constexpr long kWsaENetReset = 10052;
inline constexpr long kWsaEConnAborted = 10053;
inline constexpr long kWsaEConnReset = 10054;
inline constexpr long kWsaENoBufs = 10055;
inline constexpr long kWsaEIsConn = 10056;
inline constexpr long kWsaENotConn = 10057;
inline constexpr long kWsaEShutdown = 10058;
inline constexpr long kWsaETimedOut = 10060;
inline constexpr long kWsaEConnRefused = 10061;
inline constexpr long kWsaEHostDown = 10064;
inline constexpr long kWsaEHostUnreach = 10065;
inline constexpr long kWsaHostNotFound = 11001;
inline constexpr long kWsaTryAgain = 11002;
inline constexpr long kWsaNoRecovery = 11003;
inline constexpr long kWsaNoData = 11004;

// The socket error number for an errno value. A time-out of a blocking call shows on this
// platform as EAGAIN; callers that know they blocked pass timedOut so it becomes 10060.
long SocketErrorFromErrno(int err, bool timedOut = false) noexcept;

inline constexpr std::uint16_t kAfInet = 2;
inline constexpr std::uint32_t kInAddrAny = 0;

std::uint16_t HostToNet16(std::uint16_t value) noexcept;
std::uint32_t HostToNet32(std::uint32_t value) noexcept;
std::uint16_t NetToHost16(std::uint16_t value) noexcept;
std::uint32_t NetToHost32(std::uint32_t value) noexcept;

// An IPv4 socket address laid out as the system's 16-byte record: family, port and address in
// network byte order, eight zero bytes.
struct SocketAddress {
  std::uint16_t family = 0;
  std::uint16_t port = 0;     // network order
  std::uint32_t address = 0;  // network order
  std::uint8_t zero[8] = {};
};
static_assert(sizeof(SocketAddress) == 16);

// An address for family kAfInet from a port and an address in host order.
SocketAddress MakeAddress(std::uint16_t port, std::uint32_t hostOrderAddress) noexcept;

class Socket {
 public:
  Socket() noexcept = default;
  ~Socket();
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // A new IPv4 stream socket of the given protocol (0: the default).
  static long Create(int protocol, Socket& out);
  // Two stream sockets connected to each other within this process (a local socket pair, no
  // address, no port): a peer for a connection's own operations without any network.
  static long CreatePair(Socket& first, Socket& second);

  bool IsValid() const noexcept { return m_fd >= 0; }
  // A small number naming the socket while it is open (for logs and lists), -1 when closed.
  int Id() const noexcept { return m_fd; }

  long Bind(const SocketAddress& address);
  long Listen(int backlog);
  // Waits for a connection; peer receives the client's address. A connection that died while
  // it waited in the queue is passed over, not reported.
  long Accept(Socket& out, SocketAddress& peer);
  long Connect(const SocketAddress& address);
  // The same, waiting at most timeoutMs (at least 1) for the peer to answer: kWsaETimedOut
  // when it has not by then. The socket is blocking again afterwards.
  long Connect(const SocketAddress& address, std::uint32_t timeoutMs);

  // One send call: the number of bytes sent (possibly fewer than asked), or -1.
  long Send(const void* data, std::size_t size);
  // One receive call: the number of bytes received, 0 when the peer has closed, or -1
  // (kWsaETimedOut when the receive time-out ran out).
  long Recv(void* buffer, std::size_t size);
  // Whether at least one byte is waiting, without blocking and without taking it; false with
  // the last error set when the socket has failed. A peer that has closed counts as waiting
  // (the next Recv returns 0).
  bool HasWaitingInput();
  // Bytes in the system's receive queue (0 when unknown).
  std::size_t AvailableBytes() const;

  // Shuts the connection down in both directions. Also wakes Accept and Recv blocked on this
  // socket in another thread.
  long Shutdown();
  long Close();

  long SetReceiveTimeout(std::uint32_t milliseconds);
  long SetSendTimeout(std::uint32_t milliseconds);
  // Lets Bind take an address whose earlier connections still linger (TIME_WAIT). The gateway
  // never sets it on its listening socket; servers in tests that reuse a fixed address do.
  long SetReuseAddress();
  // The local address the socket is bound to.
  long LocalAddress(SocketAddress& out) const;

 private:
  explicit Socket(int fd) noexcept : m_fd(fd) {}
  // Closes a socket of this backend without a report (destructor and move assignment).
  static void CloseQuietly(int id) noexcept;
  int m_fd = -1;
};

// The socket library's start-up and clean-up: nothing to do on this platform.
long SocketStartup() noexcept;
void SocketCleanup() noexcept;

// A dotted-decimal IPv4 text ("192.0.2.1", four numbers 0-255) as an address in network order;
// nothing for any other text, names included.
std::optional<std::uint32_t> InetAddr(std::string_view text);
// The dotted-decimal text of an address in network order.
std::string InetNtoa(std::uint32_t networkOrder);

// The first IPv4 address of a host name from the system resolver (a dotted text resolves to
// itself), in network order. kWsaHostNotFound (or kWsaTryAgain, kWsaNoRecovery) when it has
// none; the last error is set as well.
long ResolveHostIPv4(const std::string& name, std::uint32_t& networkOrder);

}  // namespace faxmail::platform
