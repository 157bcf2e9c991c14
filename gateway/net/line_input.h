// The input side of one connection: bytes are taken from the socket in blocks into a buffer
// that the connection owns, and handed out from there.
//
// Every read of a connection goes through its LineInput, so a block received past the end of
// a line is never lost: it is the start of the next read. What a caller sees is exactly what
// reading the socket one byte at a time would give, with one system call per block instead of
// one per byte. The bytes come from a ByteStream: the socket, or a TLS session on it; a
// caller that changes the stream under a LineInput (STARTTLS) clears it first, so nothing
// that arrived before the change is read after it. One thread at a time, like the connection
// that owns it.
#pragma once

#include <array>
#include <cstddef>
#include <functional>

#include "gateway/net/byte_stream.h"
#include "platform/socket.h"

namespace faxmail {

class LineInput {
 public:
  // Enough for every line the gateway reads in one block, small enough for one per thread.
  static constexpr std::size_t kBufferSize = 4096;

  // One byte: 1 when one was taken, 0 when the peer has closed, -1 when the receive failed
  // (time-out, reset; the last error is set).
  int GetByte(ByteStream& stream, char& out);
  // Up to size bytes: what is buffered, else the result of one receive call (bytes received,
  // 0 closed, -1 failed).
  long Read(ByteStream& stream, char* buffer, std::size_t size);
  long Read(platform::Socket& socket, char* buffer, std::size_t size) {
    SocketStream stream(socket);
    return Read(stream, buffer, size);
  }
  // Whether bytes are buffered.
  bool HasBuffered() const noexcept { return m_next < m_end; }
  // Throws the buffered bytes away.
  void Clear() noexcept { m_next = m_end = 0; }

 private:
  bool Fill(ByteStream& stream, long& result);

  std::array<char, kBufferSize> m_buffer{};
  std::size_t m_next = 0;
  std::size_t m_end = 0;
};

// How ReadLine ends a line: Text strips the line end (CR LF or LF), Raw keeps it.
enum class LineEnd { Text, Raw };

// Reads one line into buffer, which holds at least limit + 1 bytes.
//  - A line feed ends the line. Text: the text before it, without a carriage return just
//    before the line feed, and its length. Raw: the line with its line end and its length.
//  - limit bytes without a line feed: those bytes and limit; the rest of the line stays for
//    the next call.
//  - The peer closing, or a failed receive, first: an empty text and 0, whatever part of a
//    line had arrived; failed tells the two apart.
// The text is always zero-terminated. With clearFirst the first limit bytes are zeroed first.
// beforeReceive, when given, is asked before every receive that waits for the socket: false
// ends the read there as a failed receive does.
using BeforeReceive = std::function<bool()>;
int ReadLine(ByteStream& stream, LineInput& input, char* buffer, int limit, LineEnd end,
             bool clearFirst, bool& failed, const BeforeReceive& beforeReceive = nullptr);
inline int ReadLine(platform::Socket& socket, LineInput& input, char* buffer, int limit,
                    LineEnd end, bool clearFirst, bool& failed,
                    const BeforeReceive& beforeReceive = nullptr) {
  SocketStream stream(socket);
  return ReadLine(stream, input, buffer, limit, end, clearFirst, failed, beforeReceive);
}

// Throws away what is buffered and whatever the stream already holds, without waiting.
void DiscardWaitingInput(ByteStream& stream, LineInput& input);
inline void DiscardWaitingInput(platform::Socket& socket, LineInput& input) {
  SocketStream stream(socket);
  DiscardWaitingInput(stream, input);
}

}  // namespace faxmail
