#include "platform/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "platform/win_error.h"

namespace faxmail::platform {

static_assert(sizeof(SocketAddress) == sizeof(sockaddr_in));
static_assert(kAfInet == AF_INET);

long SocketErrorFromErrno(int err, bool timedOut) noexcept {
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
#if EAGAIN != EWOULDBLOCK
    case EWOULDBLOCK:
#endif
    case EAGAIN: return timedOut ? kWsaETimedOut : kWsaEWouldBlock;
    case EINPROGRESS: return kWsaEInProgress;
    case EALREADY: return kWsaEAlready;
    case ENOTSOCK: return kWsaENotSock;
    case EDESTADDRREQ: return kWsaEDestAddrReq;
    case EMSGSIZE: return kWsaEMsgSize;
    case EPROTOTYPE: return kWsaEProtoType;
    case ENOPROTOOPT: return kWsaENoProtoOpt;
    case EPROTONOSUPPORT: return kWsaEProtoNoSupport;
    case ESOCKTNOSUPPORT: return kWsaESocktNoSupport;
    case EOPNOTSUPP: return kWsaEOpNotSupp;
    case EPFNOSUPPORT: return kWsaEPfNoSupport;
    case EAFNOSUPPORT: return kWsaEAfNoSupport;
    case EADDRINUSE: return kWsaEAddrInUse;
    case EADDRNOTAVAIL: return kWsaEAddrNotAvail;
    case ENETDOWN: return kWsaENetDown;
    case ENETUNREACH: return kWsaENetUnreach;
    case ENETRESET: return kWsaENetReset;
    case ECONNABORTED: return kWsaEConnAborted;
    // A send after the peer reset or closed the connection.
    case EPIPE:
    case ECONNRESET: return kWsaEConnReset;
    case ENOMEM:
    case ENOBUFS: return kWsaENoBufs;
    case EISCONN: return kWsaEIsConn;
    case ENOTCONN: return kWsaENotConn;
    case ESHUTDOWN: return kWsaEShutdown;
    case ETIMEDOUT: return kWsaETimedOut;
    case ECONNREFUSED: return kWsaEConnRefused;
    case EHOSTDOWN: return kWsaEHostDown;
    case EHOSTUNREACH: return kWsaEHostUnreach;
    default: return ErrorFromErrno(err);
  }
}

namespace {

long Fail(bool timedOut = false) {
  const long error = SocketErrorFromErrno(errno, timedOut);
  SetLastError(error);
  return error;
}

long FailWith(long error) {
  SetLastError(error);
  return error;
}

sockaddr_in ToNative(const SocketAddress& address) {
  sockaddr_in native{};
  native.sin_family = static_cast<sa_family_t>(address.family);
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

// accept() on this platform also reports errors of a connection that died while it waited in
// the queue (and network errors pending on it); the listening socket itself is fine, so such
// an accept is simply tried again, as the system's callers expect of it.
bool IsQueuedConnectionError(int err) {
  switch (err) {
    case EINTR:
    case ECONNABORTED:
    case ENETDOWN:
    case EPROTO:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH: return true;
    default: return false;
  }
}

long SetTimeout(int fd, int option, std::uint32_t milliseconds) {
  if (fd < 0) return FailWith(kWsaENotSock);
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
  tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) return Fail();
  return kErrorSuccess;
}

}  // namespace

void Socket::CloseQuietly(int id) noexcept { ::close(id); }

long Socket::Create(int protocol, Socket& out) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, protocol);
  if (fd < 0) return Fail();
  out = Socket(fd);
  return kErrorSuccess;
}

long Socket::CreatePair(Socket& first, Socket& second) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return Fail();
  first = Socket(fds[0]);
  second = Socket(fds[1]);
  return kErrorSuccess;
}

long Socket::Bind(const SocketAddress& address) {
  const sockaddr_in native = ToNative(address);
  // Windows binds a port whose earlier connections still linger in TIME_WAIT; POSIX does so only
  // with SO_REUSEADDR. Without it a gateway restarted after a crash could not listen for a
  // minute. A port another socket listens on stays refused either way.
  const int reuse = 1;
  ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0) return Fail();
  return kErrorSuccess;
}

long Socket::Listen(int backlog) {
  if (::listen(m_fd, backlog) != 0) return Fail();
  return kErrorSuccess;
}

long Socket::Accept(Socket& out, SocketAddress& peer) {
  sockaddr_in native{};
  socklen_t length = sizeof native;
  int fd;
  do {
    length = sizeof native;
    fd = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&native), &length, SOCK_CLOEXEC);
  } while (fd < 0 && IsQueuedConnectionError(errno));
  if (fd < 0) return Fail();
  peer = FromNative(native);
  out = Socket(fd);
  return kErrorSuccess;
}

long Socket::Connect(const SocketAddress& address) {
  const sockaddr_in native = ToNative(address);
  if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0)
    return Fail();
  return kErrorSuccess;
}

long Socket::Connect(const SocketAddress& address, std::uint32_t timeoutMs) {
  if (m_fd < 0) return FailWith(kWsaENotSock);
  const int status = ::fcntl(m_fd, F_GETFL);
  if (status < 0 || ::fcntl(m_fd, F_SETFL, status | O_NONBLOCK) != 0) return Fail();
  const sockaddr_in native = ToNative(address);
  int err = 0;
  if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0) {
    err = errno;
    if (err == EINPROGRESS || err == EINTR) {
      // The handshake goes on in the system; only the wait for it is bounded here.
      using Clock = std::chrono::steady_clock;
      const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 1u));
      for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
          err = ETIMEDOUT;
          break;
        }
        pollfd p{m_fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
          err = errno;
          break;
        }
        if (ready == 0) continue;  // the deadline is checked above
        socklen_t length = sizeof err;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
        break;
      }
    }
  }
  if (::fcntl(m_fd, F_SETFL, status) != 0 && err == 0) err = errno;
  if (err != 0) {
    errno = err;
    return Fail();
  }
  return kErrorSuccess;
}

long Socket::Send(const void* data, std::size_t size) {
  ssize_t sent;
  do {
    sent = ::send(m_fd, data, size, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    Fail(true);
    return -1;
  }
  return static_cast<long>(sent);
}

long Socket::Recv(void* buffer, std::size_t size) {
  ssize_t got;
  do {
    got = ::recv(m_fd, buffer, size, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    Fail(true);
    return -1;
  }
  return static_cast<long>(got);
}

bool Socket::HasWaitingInput() {
  char byte;
  ssize_t got;
  do {
    got = ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got >= 0) return true;
  if (errno != EAGAIN && errno != EWOULDBLOCK) Fail();
  return false;
}

std::size_t Socket::AvailableBytes() const {
  int count = 0;
  if (m_fd < 0 || ::ioctl(m_fd, FIONREAD, &count) != 0 || count < 0) return 0;
  return static_cast<std::size_t>(count);
}

long Socket::Shutdown() {
  if (::shutdown(m_fd, SHUT_RDWR) != 0) return Fail();
  return kErrorSuccess;
}

long Socket::Close() {
  if (m_fd < 0) return FailWith(kWsaENotSock);
  const int fd = std::exchange(m_fd, -1);
  // The descriptor is gone after close() whatever it reports, so it is never closed twice.
  if (::close(fd) != 0) return Fail();
  return kErrorSuccess;
}

long Socket::SetReceiveTimeout(std::uint32_t milliseconds) {
  return SetTimeout(m_fd, SO_RCVTIMEO, milliseconds);
}

long Socket::SetSendTimeout(std::uint32_t milliseconds) {
  return SetTimeout(m_fd, SO_SNDTIMEO, milliseconds);
}

long Socket::SetReuseAddress() {
  const int on = 1;
  if (::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return Fail();
  return kErrorSuccess;
}

long Socket::LocalAddress(SocketAddress& out) const {
  sockaddr_in native{};
  socklen_t length = sizeof native;
  if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&native), &length) != 0) return Fail();
  out = FromNative(native);
  return kErrorSuccess;
}

long SocketStartup() noexcept { return kErrorSuccess; }

void SocketCleanup() noexcept {}

long ResolveHostIPv4(const std::string& name, std::uint32_t& networkOrder) {
  if (name.empty()) return FailWith(kWsaHostNotFound);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
  if (rc != 0 || result == nullptr) {
    if (result) ::freeaddrinfo(result);
    switch (rc) {
      case EAI_AGAIN: return FailWith(kWsaTryAgain);
      case EAI_FAIL: return FailWith(kWsaNoRecovery);
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
