// The control channel between the manager's callers and a service process's dispatcher.
//
// The channel is a listening Unix socket (the service's ctl file) that the starter binds and
// the service process inherits. Each exchange is one connection: the client writes one request
// and shuts its side down; the dispatcher answers with one reply and closes. Requests:
//   "start\n" followed by one line per start argument (escaped, see EncodeLine)
//   "control <code>\n"
// Replies: "ok <status line>" (service_runtime.h's format) or "error <number>\n".
// Every read is bounded in size and, on the dispatcher's side, in time, so a client that
// stalls or floods cannot hold the dispatcher. Platform-internal; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/service_runtime.h"

namespace faxmail::platform::scm {

// A start's arguments fit easily; anything larger is not ours.
inline constexpr std::size_t kMaxChannelMessage = 64 * 1024;
// A client writes its request at once after connecting; one that takes longer is dropped.
inline constexpr int kChannelReadTimeoutMs = 2000;

// Removes a stale socket at path and binds and listens there (close-on-exec).
long BindControlChannel(const std::string& path, UniqueFd& out);
// True when fd is a Unix socket that listens.
bool IsListeningSocket(int fd);

// The outcome of a request, as the client sees it.
enum class ChannelResult { Replied, NoListener, Closed, TimedOut, Failed };
// Connects, sends request and waits up to timeoutMs for the whole reply.
ChannelResult ChannelRequest(const std::string& path, std::string_view request, int timeoutMs,
                             std::string& reply);

// Dispatcher side: waits for a connection on listenFd or for wakeFd to become readable (returns
// false then, and on a failed accept), and reads the connection's request.
bool AcceptRequest(int listenFd, int wakeFd, UniqueFd& connection, std::string& request);
void SendReply(int fd, std::string_view reply);

// One argument as a line: backslash, line feed and zero escaped.
std::string EncodeLine(std::string_view text);
// The inverse; false for a malformed escape.
bool DecodeLine(std::string_view line, std::string& out);

// A pipe that wakes a waiting dispatcher from another thread.
class WakePipe {
 public:
  long Open();
  int ReadFd() const noexcept { return m_read.Get(); }
  void Wake() noexcept;
  void Drain() noexcept;

 private:
  UniqueFd m_read;
  UniqueFd m_write;
};

}  // namespace faxmail::platform::scm
