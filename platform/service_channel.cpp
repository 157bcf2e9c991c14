#include "platform/service_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/win_error.h"

namespace faxmail::platform::scm {
namespace {

// Requests queued while the dispatcher runs a handler.
constexpr int kChannelBacklog = 16;

bool MakeAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Reads until end of stream, at most limit bytes, until the deadline.
ChannelResult ReadUntilEnd(int fd, std::size_t limit, Clock::time_point deadline,
                           std::string& out) {
  out.clear();
  char buffer[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, RemainingMs(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return ChannelResult::Failed;
    }
    if (ready == 0) return ChannelResult::TimedOut;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return errno == ECONNRESET ? ChannelResult::Closed : ChannelResult::Failed;
    }
    if (n == 0) return ChannelResult::Replied;
    if (out.size() + static_cast<std::size_t>(n) > limit) return ChannelResult::Failed;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

bool SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

long BindControlChannel(const std::string& path, UniqueFd& out) {
  sockaddr_un address;
  if (!MakeAddress(path, address)) return kErrorInvalidName;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.IsOpen()) return ErrorFromErrno(errno);
  // Only a socket is removed: anything else at the name is someone's file.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return ErrorFromErrno(errno);
  if (::listen(fd.Get(), kChannelBacklog) != 0) {
    const long rc = ErrorFromErrno(errno);
    ::unlink(path.c_str());
    return rc;
  }
  out = std::move(fd);
  return kErrorSuccess;
}

bool IsListeningSocket(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  int listening = 0;
  socklen_t size = sizeof listening;
  if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0) return false;
  int domain = 0;
  size = sizeof domain;
  if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0) return false;
  return listening != 0 && domain == AF_UNIX;
}

ChannelResult ChannelRequest(const std::string& path, std::string_view request, int timeoutMs,
                             std::string& reply) {
  reply.clear();
  sockaddr_un address;
  if (!MakeAddress(path, address)) return ChannelResult::Failed;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.IsOpen()) return ChannelResult::Failed;
  // A listening Unix socket takes the connection into its backlog at once, whether or not
  // its owner ever accepts it; the wait for an answer is what the time-out bounds.
  while (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EINTR) continue;
    if (errno == ENOENT || errno == ECONNREFUSED) return ChannelResult::NoListener;
    if (errno == EAGAIN) return ChannelResult::TimedOut;  // backlog full: nobody takes them
    return ChannelResult::Failed;
  }
  if (!SendAll(fd.Get(), request)) return ChannelResult::Closed;
  ::shutdown(fd.Get(), SHUT_WR);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const ChannelResult result = ReadUntilEnd(fd.Get(), kMaxChannelMessage, deadline, reply);
  if (result == ChannelResult::Replied && reply.empty()) return ChannelResult::Closed;
  return result;
}

bool AcceptRequest(int listenFd, int wakeFd, UniqueFd& connection, std::string& request) {
  pollfd p[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(p, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    break;
  }
  if (p[1].revents != 0 || (p[0].revents & POLLIN) == 0) return false;
  UniqueFd fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
  if (!fd.IsOpen()) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kChannelReadTimeoutMs);
  if (ReadUntilEnd(fd.Get(), kMaxChannelMessage, deadline, request) != ChannelResult::Replied)
    return false;
  connection = std::move(fd);
  return true;
}

void SendReply(int fd, std::string_view reply) { SendAll(fd, reply); }

std::string EncodeLine(std::string_view text) {
  std::string line;
  for (char c : text) {
    switch (c) {
      case '\\': line += "\\\\"; break;
      case '\n': line += "\\n"; break;
      case '\0': line += "\\0"; break;
      default: line += c;
    }
  }
  return line;
}

bool DecodeLine(std::string_view line, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '\\') {
      out += line[i];
      continue;
    }
    if (++i == line.size()) return false;
    switch (line[i]) {
      case '\\': out += '\\'; break;
      case 'n': out += '\n'; break;
      case '0': out += '\0'; break;
      default: return false;
    }
  }
  return true;
}

long WakePipe::Open() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return ErrorFromErrno(errno);
  m_read = UniqueFd(fds[0]);
  m_write = UniqueFd(fds[1]);
  return kErrorSuccess;
}

void WakePipe::Wake() noexcept {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(m_write.Get(), &byte, 1);
}

void WakePipe::Drain() noexcept {
  char buffer[64];
  while (::read(m_read.Get(), buffer, sizeof buffer) > 0) {
  }
}

}  // namespace faxmail::platform::scm
