#include "platform/socket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "platform/win32/windows_api.h"
#include "platform/win_error.h"

namespace faxmail::platform {

static_assert(sizeof(SocketAddress) == sizeof(sockaddr_in));
static_assert(kAfInet == AF_INET);

long SocketErrorFromErrno(int err, bool timedOut) noexcept {
  // Only the runtime library speaks errno here; the sockets report their own numbers.
  switch (err) {
    case 0: return kErrorSuccess;
    case EINTR: return kWsaEIntr;
    case EBADF: return kWsaENotSock;
    case EACCES:
    case EPERM: return kWsaEAcces;
    case EFAULT: return kWsaEFault;
    case EINVAL: return kWsaEInval;
    case EMFILE:
    case ENFILE: return kWsaEMFile;
    case EAGAIN: return timedOut ? kWsaETimedOut : kWsaEWouldBlock;
    case ENOMEM: return kWsaENoBufs;
    default: return ErrorFromErrno(err);
  }
}

namespace {

// The socket library of the process, started once when the first socket is made and cleaned
// up when the process ends (SocketStartup and SocketCleanup add their own pairs on top).
class WinsockLibrary {
 public:
  WinsockLibrary() {
    WSADATA data{};
    m_started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockLibrary() {
    if (m_started) ::WSACleanup();
  }
  WinsockLibrary(const WinsockLibrary&) = delete;
  WinsockLibrary& operator=(const WinsockLibrary&) = delete;
  bool Started() const noexcept { return m_started; }

 private:
  bool m_started = false;
};

bool EnsureLibrary() {
  static WinsockLibrary library;
  return library.Started();
}

long FailWith(long error) {
  SetLastError(error);
  return error;
}

long Fail() { return FailWith(static_cast<long>(::WSAGetLastError())); }

SOCKET Native(int slot) { return static_cast<SOCKET>(static_cast<std::intptr_t>(slot)); }
int Slot(SOCKET socket) { return static_cast<int>(static_cast<std::intptr_t>(socket)); }

sockaddr_in ToNative(const SocketAddress& address) {
  sockaddr_in native{};
  native.sin_family = static_cast<ADDRESS_FAMILY>(address.family);
  native.sin_port = address.port;
  native.sin_addr.s_addr = address.address;
  return native;
}

SocketAddress FromNative(const sockaddr_in& native) {
  SocketAddress address;
  address.family = static_cast<std::uint16_t>(native.sin_family);
  address.port = native.sin_port;
  address.address = native.sin_addr.s_addr;
  return address;
}

// A shutdown does not wake an accept on this system, and a listening socket may not be closed
// under the thread that waits on it. So a waiting Accept looks every kAcceptPollMs whether its
// socket was shut down (listed here by Shutdown) and then fails as on the other backend.
constexpr long kAcceptPollMs = 100;

// The time-outs of each socket, kept here as well as given to the system: a receive or send
// first waits for readiness within its time-out, so that it times out with 10060 wherever the
// system's own option is not honoured (Wine's sockets).
struct Timeouts {
  std::uint32_t receiveMs = 0;  // 0: none
  std::uint32_t sendMs = 0;
};

std::mutex g_stateLock;
std::set<int> g_shutListeners;
std::map<int, Timeouts> g_timeouts;

bool IsShutListener(int slot) {
  const std::lock_guard lock(g_stateLock);
  return g_shutListeners.contains(slot);
}

void ForgetSocket(int slot) {
  const std::lock_guard lock(g_stateLock);
  g_shutListeners.erase(slot);
  g_timeouts.erase(slot);
}

Timeouts TimeoutsOf(int slot) {
  const std::lock_guard lock(g_stateLock);
  const auto found = g_timeouts.find(slot);
  return found == g_timeouts.end() ? Timeouts{} : found->second;
}

// Readiness of one socket within timeoutMs: 1 ready, 0 not yet, -1 failed.
int WaitReady(SOCKET socket, bool forWrite, long timeoutMs) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(socket, &ready);
  FD_SET(socket, &failed);
  timeval tv{};
  tv.tv_sec = timeoutMs / 1000;
  tv.tv_usec = (timeoutMs % 1000) * 1000;
  const int n = ::select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &tv);
  if (n == SOCKET_ERROR) return -1;
  return n > 0 ? 1 : 0;
}

long SetTimeout(int slot, int option, std::uint32_t milliseconds) {
  if (slot < 0) return FailWith(kWsaENotSock);
  {
    const std::lock_guard lock(g_stateLock);
    Timeouts& timeouts = g_timeouts[slot];
    (option == SO_RCVTIMEO ? timeouts.receiveMs : timeouts.sendMs) = milliseconds;
  }
  const DWORD value = milliseconds;
  if (::setsockopt(Native(slot), SOL_SOCKET, option, reinterpret_cast<const char*>(&value),
                   sizeof value) != 0)
    return Fail();
  return kErrorSuccess;
}

long SetBlocking(SOCKET socket, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  if (::ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) return Fail();
  return kErrorSuccess;
}

// Waits until the socket is ready within its time-out (none: at once): false with the last
// error set to 10060 when the time ran out, or to the error of the wait.
bool ReadyWithin(int slot, bool forWrite) {
  const Timeouts timeouts = TimeoutsOf(slot);
  const std::uint32_t ms = forWrite ? timeouts.sendMs : timeouts.receiveMs;
  if (ms == 0) return true;
  const int ready = WaitReady(Native(slot), forWrite, static_cast<long>(ms));
  if (ready > 0) return true;
  if (ready == 0)
    FailWith(kWsaETimedOut);
  else
    Fail();
  return false;
}

void CloseNative(int slot) {
  ForgetSocket(slot);
  ::closesocket(Native(slot));
}

}  // namespace

void Socket::CloseQuietly(int id) noexcept { CloseNative(id); }

long Socket::Create(int protocol, Socket& out) {
  if (!EnsureLibrary()) return FailWith(kWsaENetDown);
  // Not inherited by child processes, like the other backend's close-on-exec.
  const SOCKET socket =
      ::WSASocketA(AF_INET, SOCK_STREAM, protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (socket == INVALID_SOCKET) return Fail();
  out = Socket(Slot(socket));
  return kErrorSuccess;
}

long Socket::CreatePair(Socket& first, Socket& second) {
  // No local socket pairs here: a loopback connection through a listener of its own, which
  // takes only the connection whose address is first's.
  Socket listener;
  if (const long error = Create(0, listener)) return error;
  if (const long error = listener.Bind(MakeAddress(0, INADDR_LOOPBACK))) return error;
  if (const long error = listener.Listen(1)) return error;
  SocketAddress where;
  if (const long error = listener.LocalAddress(where)) return error;
  Socket a;
  if (const long error = Create(0, a)) return error;
  if (const long error = a.Connect(where)) return error;
  SocketAddress mine;
  if (const long error = a.LocalAddress(mine)) return error;
  for (;;) {
    Socket b;
    SocketAddress peer;
    if (const long error = listener.Accept(b, peer)) return error;
    if (peer.port == mine.port && peer.address == mine.address) {
      first = std::move(a);
      second = std::move(b);
      return kErrorSuccess;
    }
  }
}

long Socket::Bind(const SocketAddress& address) {
  // This system binds a port whose earlier connections still linger, without any option.
  const sockaddr_in native = ToNative(address);
  if (::bind(Native(m_fd), reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0)
    return Fail();
  return kErrorSuccess;
}

long Socket::Listen(int backlog) {
  if (::listen(Native(m_fd), backlog) != 0) return Fail();
  // A readiness that Accept's accept then does not find (a connection gone from the queue
  // meanwhile) must not hold its thread in a blocking accept, where no shutdown reaches it: the
  // listener could never be stopped. So a listener's accept does not wait; Accept's wait is the
  // select's alone, which looks for a shutdown every kAcceptPollMs.
  return SetBlocking(Native(m_fd), false);
}

long Socket::Accept(Socket& out, SocketAddress& peer) {
  if (m_fd < 0) return FailWith(kWsaENotSock);
  // A socket that does not listen never becomes ready below: refused at once, as accept would.
  BOOL listening = FALSE;
  int size = sizeof listening;
  if (::getsockopt(Native(m_fd), SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening),
                   &size) != 0)
    return Fail();
  if (!listening) return FailWith(kWsaEInval);
  for (;;) {
    if (IsShutListener(m_fd)) return FailWith(kWsaEInval);
    const int ready = WaitReady(Native(m_fd), false, kAcceptPollMs);
    if (ready < 0) return Fail();
    if (ready == 0) continue;
    sockaddr_in native{};
    int length = sizeof native;
    const SOCKET socket = ::accept(Native(m_fd), reinterpret_cast<sockaddr*>(&native), &length);
    if (socket == INVALID_SOCKET) {
      // A connection that died while it waited in the queue is passed over.
      const int error = ::WSAGetLastError();
      if (error == WSAECONNRESET || error == WSAEINTR || error == WSAEWOULDBLOCK) continue;
      return FailWith(error);
    }
    // The accepted socket takes the listener's mode; its reads and writes wait as before (one
    // that cannot be made to is passed over like a connection that died).
    if (SetBlocking(socket, true) != kErrorSuccess) {
      ::closesocket(socket);
      continue;
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    peer = FromNative(native);
    out = Socket(Slot(socket));
    return kErrorSuccess;
  }
}

long Socket::Connect(const SocketAddress& address) {
  const sockaddr_in native = ToNative(address);
  if (::connect(Native(m_fd), reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0)
    return Fail();
  return kErrorSuccess;
}

long Socket::Connect(const SocketAddress& address, std::uint32_t timeoutMs) {
  if (m_fd < 0) return FailWith(kWsaENotSock);
  const SOCKET socket = Native(m_fd);
  if (const long error = SetBlocking(socket, false)) return error;
  const sockaddr_in native = ToNative(address);
  long error = kErrorSuccess;
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0) {
    error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      // The handshake goes on in the system; only the wait for it is bounded here.
      const int ready = WaitReady(socket, true, std::max<long>(timeoutMs, 1));
      if (ready < 0) {
        error = ::WSAGetLastError();
      } else if (ready == 0) {
        error = kWsaETimedOut;
      } else {
        int pending = 0;
        int length = sizeof pending;
        error = ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending),
                             &length) != 0
                    ? ::WSAGetLastError()
                    : pending;
      }
    }
  }
  const long restored = SetBlocking(socket, true);
  if (error == kErrorSuccess) error = restored;
  if (error != kErrorSuccess) return FailWith(error);
  return kErrorSuccess;
}

long Socket::Send(const void* data, std::size_t size) {
  if (!ReadyWithin(m_fd, true)) return -1;
  const int ask = size > 0x7fffffffU ? 0x7fffffff : static_cast<int>(size);
  const int sent = ::send(Native(m_fd), static_cast<const char*>(data), ask, 0);
  if (sent == SOCKET_ERROR) {
    Fail();
    return -1;
  }
  return sent;
}

long Socket::Recv(void* buffer, std::size_t size) {
  if (!ReadyWithin(m_fd, false)) return -1;
  const int ask = size > 0x7fffffffU ? 0x7fffffff : static_cast<int>(size);
  const int got = ::recv(Native(m_fd), static_cast<char*>(buffer), ask, 0);
  if (got == SOCKET_ERROR) {
    Fail();
    return -1;
  }
  return got;
}

bool Socket::HasWaitingInput() {
  const int ready = WaitReady(Native(m_fd), false, 0);
  if (ready < 0) {
    Fail();
    return false;
  }
  if (ready == 0) return false;
  // Readable: a byte, the peer's close, or an error, which the peek tells apart.
  char byte;
  if (::recv(Native(m_fd), &byte, 1, MSG_PEEK) == SOCKET_ERROR) {
    Fail();
    return false;
  }
  return true;
}

std::size_t Socket::AvailableBytes() const {
  u_long count = 0;
  if (m_fd < 0 || ::ioctlsocket(Native(m_fd), FIONREAD, &count) != 0) return 0;
  return count;
}

long Socket::Shutdown() {
  if (m_fd < 0) return FailWith(kWsaENotSock);
  if (::shutdown(Native(m_fd), SD_BOTH) != 0) {
    const int error = ::WSAGetLastError();
    if (error != WSAENOTCONN) return FailWith(error);
    // A listening socket (or one never connected): its Accept is woken by the list.
    const std::lock_guard lock(g_stateLock);
    g_shutListeners.insert(m_fd);
  }
  return kErrorSuccess;
}

long Socket::Close() {
  if (m_fd < 0) return FailWith(kWsaENotSock);
  const int slot = std::exchange(m_fd, -1);
  ForgetSocket(slot);
  if (::closesocket(Native(slot)) != 0) return Fail();
  return kErrorSuccess;
}

long Socket::SetReceiveTimeout(std::uint32_t milliseconds) {
  return SetTimeout(m_fd, SO_RCVTIMEO, milliseconds);
}

long Socket::SetSendTimeout(std::uint32_t milliseconds) {
  return SetTimeout(m_fd, SO_SNDTIMEO, milliseconds);
}

long Socket::SetReuseAddress() {
  const BOOL on = TRUE;
  if (::setsockopt(Native(m_fd), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0)
    return Fail();
  return kErrorSuccess;
}

long Socket::LocalAddress(SocketAddress& out) const {
  sockaddr_in native{};
  int length = sizeof native;
  if (::getsockname(Native(m_fd), reinterpret_cast<sockaddr*>(&native), &length) != 0)
    return Fail();
  out = FromNative(native);
  return kErrorSuccess;
}

long SocketStartup() noexcept {
  EnsureLibrary();
  WSADATA data{};
  const int rc = ::WSAStartup(MAKEWORD(1, 1), &data);
  if (rc != 0) return FailWith(rc);
  return kErrorSuccess;
}

void SocketCleanup() noexcept { ::WSACleanup(); }

long ResolveHostIPv4(const std::string& name, std::uint32_t& networkOrder) {
  if (name.empty()) return FailWith(kWsaHostNotFound);
  if (!EnsureLibrary()) return FailWith(kWsaENetDown);
  if (const auto dotted = InetAddr(name)) {
    networkOrder = *dotted;
    return kErrorSuccess;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
  if (rc != 0 || result == nullptr) {
    if (result) ::freeaddrinfo(result);
    switch (rc) {
      case WSATRY_AGAIN: return FailWith(kWsaTryAgain);
      case WSANO_RECOVERY: return FailWith(kWsaNoRecovery);
      default: return FailWith(kWsaHostNotFound);
    }
  }
  long error = kWsaNoData;
  for (const addrinfo* entry = result; entry; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in native{};
      std::memcpy(&native, entry->ai_addr, sizeof native);
      networkOrder = native.sin_addr.s_addr;
      error = kErrorSuccess;
      break;
    }
  }
  ::freeaddrinfo(result);
  if (error != kErrorSuccess) return FailWith(error);
  return kErrorSuccess;
}

}  // namespace faxmail::platform
