#include "gateway/decode/part_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/win_error.h"

namespace faxmail::decode {

std::size_t StreamSource::Read(char* buffer, std::size_t size) {
  return m_stream.Read(buffer, size);
}

std::size_t TextFileSource::Read(char* buffer, std::size_t size) {
  const std::size_t n = m_stream.Read(buffer, size);
  if (n == 0) return 0;
  const bool lastIsCr = buffer[n - 1] == '\r';
  // Drop each CR that a LF follows within the block.
  std::size_t from = 0;
  std::size_t to = 0;
  while (from < n) {
    const void* cr = std::memchr(buffer + from, '\r', n - from);
    const std::size_t end =
        cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - buffer) : n;
    std::memmove(buffer + to, buffer + from, end - from);
    to += end - from;
    from = end;
    if (from == n) break;
    if (from + 1 < n && buffer[from + 1] == '\n') {
      ++from;  // the LF comes next
    } else {
      buffer[to++] = '\r';
      ++from;
    }
  }
  // A CR at the end of the block: the next byte decides.
  if (lastIsCr) {
    const int next = m_stream.GetChar();
    if (next == '\n') {
      buffer[to - 1] = '\n';
    } else if (next != platform::Stream::kEof) {
      m_stream.UngetChar(next);
    }
  }
  return to;
}

std::size_t MemorySource::Read(char* buffer, std::size_t size) {
  std::size_t n = std::min(size, m_data.size());
  if (m_chunk != 0) n = std::min(n, m_chunk);
  std::memcpy(buffer, m_data.data(), n);
  m_data.remove_prefix(n);
  return n;
}

PartReader::PartReader(std::unique_ptr<ByteSource> source)
    : m_source(std::move(source)), m_buffer(kInitialBufferSize) {
  m_cur = m_end = m_buffer.data();
}

bool PartReader::Open(const std::string& path, platform::Share share,
                      std::unique_ptr<PartReader>& out) {
  platform::Stream stream;
  if (platform::Stream::Open(path, "r", platform::StreamMode::Binary, share, stream) !=
      platform::kErrorSuccess)
    return false;
  out = std::make_unique<PartReader>(std::make_unique<TextFileSource>(std::move(stream)));
  return true;
}

std::string_view PartReader::PeekRun() const noexcept {
  // After a delimiter the part is over; GetChar says so.
  if (m_seen < Depth() || m_cur == m_end) return {};
  // The run ends before the first LF that a delimiter could follow: one of the last two
  // buffered bytes (what comes after it is not known yet), or one followed by "--".
  const char* limit = m_end;
  if (m_end - m_cur >= 2 && m_end[-2] == '\n') {
    limit = m_end - 2;
  } else if (m_end != m_cur && m_end[-1] == '\n') {
    limit = m_end - 1;
  }
  // Before limit, every LF has two bytes after it. Lines start with '-' far less often than
  // they end, so the search is for the dash: a LF before it and a dash after it make the end.
  const char* from = m_cur;  // LFs before from have been ruled out
  for (;;) {
    // A delimiter's LF before limit puts its first dash before limit + 1 and m_end - 1.
    const char* const dashEnd = limit < m_end - 1 ? limit + 1 : m_end - 1;
    if (dashEnd - from < 2) break;
    const auto* dash = static_cast<const char*>(
        std::memchr(from + 1, '-', static_cast<std::size_t>(dashEnd - from - 1)));
    if (!dash) break;
    if (dash[-1] == '\n' && dash[1] == '-')
      return {m_cur, static_cast<std::size_t>(dash - 1 - m_cur)};
    // Not the start of a delimiter; the next LF is looked at directly, so that a line full of
    // dashes costs no more than one search.
    const auto* lf =
        static_cast<const char*>(std::memchr(dash, '\n', static_cast<std::size_t>(limit - dash)));
    if (!lf) break;
    if (lf[1] == '-' && lf[2] == '-') return {m_cur, static_cast<std::size_t>(lf - m_cur)};
    from = lf + 1;
  }
  return {m_cur, static_cast<std::size_t>(limit - m_cur)};
}

void PartReader::EnsureLookahead(std::size_t want) {
  char* const base = m_buffer.data();
  const std::size_t size = m_buffer.size();
  // Move the unread bytes to the front only when the look-ahead would not fit behind them.
  if (m_cur != base && static_cast<std::size_t>(base + size - m_cur) < kLookahead) {
    const std::size_t avail = Available();
    std::memmove(base, m_cur, avail);
    m_cur = base;
    m_end = base + avail;
  }
  while (Available() < want && m_end != base + size) {
    const std::size_t got = m_source->Read(m_end, static_cast<std::size_t>(base + size - m_end));
    if (got == 0) break;
    m_end += got;
  }
}

int PartReader::SlowGetChar() {
  const int count = Depth();
  if (m_seen < count) return kEndOfPart;
  if (m_cur == m_end) {
    // The last read filled most of the buffer (a text-mode source drops the CRs of what it
    // reads), and all of it was read: more input is likely to follow, and is taken in bigger
    // reads. Nothing in the buffer is kept.
    if (m_lastReadLarge && m_buffer.size() < kFullBufferSize) {
      const std::size_t size = std::min(m_buffer.size() * 2, kFullBufferSize);
      m_buffer.clear();
      m_buffer.resize(size);
    }
    m_cur = m_end = m_buffer.data();
    const std::size_t got = m_source->Read(m_cur, m_buffer.size());
    m_lastReadLarge = got > m_buffer.size() / 2;
    if (got == 0) {
      m_seen = 0;  // the input ended: the part ends at every nesting level
      return kEndOfPart;
    }
    m_end += got;
  }
  if (*m_cur == '\n') {
    if (Available() < 3) EnsureLookahead(3);
    if (Available() >= 3 && m_cur[1] == '-' && m_cur[2] == '-') {
      if (Available() < kLookahead) EnsureLookahead(kLookahead);
      const std::size_t after = Available() - 3;
      for (int i = 0; i < count; ++i) {
        const std::string& b = m_boundaries[static_cast<std::size_t>(i)];
        if (after >= b.size() && std::memcmp(m_cur + 3, b.data(), b.size()) == 0) {
          m_seen = i;
          return kEndOfPart;
        }
      }
    }
  }
  return static_cast<unsigned char>(*m_cur++);
}

std::size_t PartReader::GetLine(std::string& out, std::size_t size) {
  if (size < 2) return 0;
  std::size_t left = size - 1;
  const std::size_t start = out.size();
  while (left > 0) {
    const std::string_view run = PeekRun();
    if (!run.empty()) {
      const std::size_t lf = run.find('\n');
      const std::size_t n = std::min(lf == std::string_view::npos ? run.size() : lf + 1, left);
      out.append(run.data(), n);
      Skip(n);
      left -= n;
      if (out.back() == '\n') break;
      continue;
    }
    const int c = GetChar();
    if (c == kEndOfPart) break;
    out.push_back(static_cast<char>(c));
    --left;
    if (c == '\n') break;
  }
  return out.size() - start;
}

void PartReader::UngetText(std::string_view text) {
  const std::size_t len = text.size();
  if (len == 0) return;
  std::size_t avail = Available();
  if (m_buffer.size() < avail + len + 1) {
    const std::size_t offset = static_cast<std::size_t>(m_cur - m_buffer.data());
    m_buffer.resize(avail + len + 1);
    m_cur = m_buffer.data() + offset;
    m_end = m_cur + avail;
  }
  char* const base = m_buffer.data();
  if (static_cast<std::size_t>(m_cur - base) < len) {
    // Not enough room before the read position: move the unread bytes to the end.
    char* const to = base + m_buffer.size() - avail;
    std::memmove(to, m_cur, avail);
    m_cur = to;
    m_end = to + avail;
  }
  m_cur -= len;
  std::memcpy(m_cur, text.data(), len);
}

void PartReader::UngetNewline() {
  if (m_cur == m_buffer.data()) {
    UngetText("\n");
  } else {
    *--m_cur = '\n';
  }
  m_seen = Depth();
}

void PartReader::AddBoundary(std::string_view text) {
  const bool none = m_seen == Depth();
  m_boundaries.emplace_back(text.substr(0, kMaxBoundary));
  if (none) m_seen = Depth();
}

void PartReader::PopBoundary() {
  if (!m_boundaries.empty()) m_boundaries.pop_back();
  if (m_seen > Depth()) m_seen = Depth();
}

int PartReader::ReadBoundary() {
  const int count = Depth();
  if (m_seen < count - 1) {
    // A delimiter of an enclosing multipart ended the part: this level ends without a close
    // delimiter, and the enclosing level reads the delimiter.
    PopBoundary();
    return 1;
  }
  if (Available() == 0) return 1;
  if (m_seen != count - 1) return 1;  // no delimiter seen: nothing to read here
  const std::string& b = m_boundaries.back();
  if (Available() < 3 + b.size()) return 1;
  m_cur += 3 + b.size();
  m_seen = count;

  int result = 0;
  int c = GetChar();
  if (c == '\n') return 0;
  if (c == '-') {
    c = GetChar();
    if (c == '-') {
      PopBoundary();
      result = 1;
    } else if (c == '\n') {
      return 0;
    }
  }
  // The rest of the delimiter line is padding.
  while (c != '\n' && c != kEndOfPart) {
    const std::string_view run = PeekRun();
    if (!run.empty()) {
      const std::size_t lf = run.find('\n');
      if (lf != std::string_view::npos) {
        Skip(lf + 1);
        return result;
      }
      Skip(run.size());
      continue;
    }
    c = GetChar();
  }
  return result;
}

}  // namespace faxmail::decode
