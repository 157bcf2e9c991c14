// The bytes of one connection as its line I/O sees them: straight from the socket, or through
// a TLS session once one has been started on it (tls.h).
//
// Each operation has the meaning of the platform socket's own (one call, the same results, the
// thread's last error set to a socket error number on failure), so the readers and writers
// above do not know which they use. One thread at a time, like the connection that owns it.
#pragma once

#include <cstddef>

#include "platform/socket.h"

namespace faxmail {

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // One receive: bytes received, 0 when the peer has closed, -1 when it failed.
  virtual long Recv(void* buffer, std::size_t size) = 0;
  // One send: bytes sent (possibly fewer than asked), -1 when it failed.
  virtual long Send(const void* data, std::size_t size) = 0;
  // Whether input is there to be read without waiting (a closed peer counts as input).
  virtual bool HasWaitingInput() = 0;
};

// The socket itself, in clear. The socket belongs to the caller and outlives the stream.
class SocketStream final : public ByteStream {
 public:
  explicit SocketStream(platform::Socket& socket) noexcept : m_socket(&socket) {}
  long Recv(void* buffer, std::size_t size) override { return m_socket->Recv(buffer, size); }
  long Send(const void* data, std::size_t size) override { return m_socket->Send(data, size); }
  bool HasWaitingInput() override { return m_socket->HasWaitingInput(); }

 private:
  platform::Socket* m_socket;
};

}  // namespace faxmail
