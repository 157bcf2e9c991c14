#include "gateway/net/line_input.h"

#include <algorithm>
#include <cstring>

namespace faxmail {

namespace {
// What one receive of the discarding loop takes at most.
constexpr std::size_t kDiscardChunk = 50;
}  // namespace

bool LineInput::Fill(ByteStream& stream, long& result) {
  m_next = m_end = 0;
  result = stream.Recv(m_buffer.data(), m_buffer.size());
  if (result <= 0) return false;
  m_end = static_cast<std::size_t>(result);
  return true;
}

int LineInput::GetByte(ByteStream& stream, char& out) {
  if (m_next == m_end) {
    long result;
    if (!Fill(stream, result)) return result < 0 ? -1 : 0;
  }
  out = m_buffer[m_next++];
  return 1;
}

long LineInput::Read(ByteStream& stream, char* buffer, std::size_t size) {
  if (size == 0) return 0;
  if (m_next == m_end) return stream.Recv(buffer, size);
  const std::size_t count = std::min(size, m_end - m_next);
  std::memcpy(buffer, m_buffer.data() + m_next, count);
  m_next += count;
  return static_cast<long>(count);
}

int ReadLine(ByteStream& stream, LineInput& input, char* buffer, int limit, LineEnd end,
             bool clearFirst, bool& failed, const BeforeReceive& beforeReceive) {
  failed = false;
  if (buffer == nullptr) return 0;
  if (limit <= 0) {
    buffer[0] = '\0';
    return 0;
  }
  if (clearFirst) std::memset(buffer, 0, static_cast<std::size_t>(limit));
  int count = 0;
  for (;;) {
    char byte;
    const int got = beforeReceive && !input.HasBuffered() && !beforeReceive()
                        ? -1
                        : input.GetByte(stream, byte);
    if (got <= 0) {
      failed = got < 0;
      buffer[0] = '\0';
      return 0;
    }
    buffer[count] = byte;
    if (byte == '\n') {
      if (end == LineEnd::Raw) {
        buffer[count + 1] = '\0';
        return count + 1;
      }
      if (count > 0 && buffer[count - 1] == '\r') --count;
      buffer[count] = '\0';
      return count;
    }
    if (++count == limit) {
      buffer[limit] = '\0';
      return limit;
    }
  }
}

void DiscardWaitingInput(ByteStream& stream, LineInput& input) {
  input.Clear();
  char scratch[kDiscardChunk];
  while (stream.HasWaitingInput()) {
    if (stream.Recv(scratch, sizeof scratch) <= 0) break;
  }
}

}  // namespace faxmail
