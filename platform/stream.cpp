#include "platform/stream.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/win_error.h"

namespace faxmail::platform {

Stream::~Stream() {
  if (m_file.IsOpen()) FlushWrite();
}

Stream& Stream::operator=(Stream&& other) noexcept {
  if (this != &other) {
    if (m_file.IsOpen()) FlushWrite();
    m_file = std::move(other.m_file);
    m_mode = other.m_mode;
    m_buffer = std::move(other.m_buffer);
    m_pos = other.m_pos;
    m_end = other.m_end;
    m_writing = other.m_writing;
    m_eof = other.m_eof;
    m_error = other.m_error;
    m_literalCr = other.m_literalCr;
    other.m_pos = other.m_end = 0;
    other.m_writing = false;
  }
  return *this;
}

long Stream::Open(const std::string& path, std::string_view how, StreamMode mode, Share share,
                  Stream& out) {
  out = Stream();
  Access access = Access::Read;
  Disposition disposition = Disposition::OpenExisting;
  bool append = false;
  if (how == "r") {
  } else if (how == "r+") {
    access = Access::ReadWrite;
  } else if (how == "w") {
    access = Access::Write;
    disposition = Disposition::CreateAlways;
  } else if (how == "w+") {
    access = Access::ReadWrite;
    disposition = Disposition::CreateAlways;
  } else if (how == "a") {
    access = Access::Write;
    disposition = Disposition::OpenAlways;
    append = true;
  } else {
    SetLastError(kErrorInvalidParameter);
    return kErrorInvalidParameter;
  }
  File file;
  if (const long err = File::Open(path, access, share, disposition, file)) return err;
  if (append) {
    if (const long err = file.Seek(0, SEEK_END)) return err;
  }
  out = Adopt(std::move(file), mode);
  return kErrorSuccess;
}

Stream Stream::Adopt(File file, StreamMode mode) {
  Stream s;
  s.m_file = std::move(file);
  s.m_mode = mode;
  s.m_pos = s.m_end = kPushBack;
  return s;
}

unsigned char* Stream::Buffer() {
  if (!m_buffer) m_buffer = std::make_unique_for_overwrite<unsigned char[]>(kCapacity);
  return m_buffer.get();
}

bool Stream::Fill() {
  if (!m_file.IsOpen()) return false;
  if (m_writing && !FlushWrite()) return false;
  if (m_eof || m_error) return false;
  // Keep a CR that waits for its LF at the front of the new buffer, behind the room for
  // bytes put back.
  std::size_t keep = 0;
  if (m_pos < m_end) {
    keep = m_end - m_pos;
    std::memmove(Buffer() + kPushBack, Buffer() + m_pos, keep);
  }
  m_pos = kPushBack;
  m_end = kPushBack + keep;
  std::size_t got = 0;
  if (const long err = m_file.Read(Buffer() + m_end, kCapacity - m_end, got)) {
    m_error = err;
    return keep > 0;
  }
  if (got == 0) {
    m_eof = true;
    return keep > 0;
  }
  m_end += got;
  return true;
}

int Stream::SlowGetChar() {
  if (m_writing && !FlushWrite()) return kEof;
  if (m_pos >= m_end && !Fill()) return kEof;
  const unsigned char c = m_buffer[m_pos];
  if (m_literalCr) {
    m_literalCr = false;
    ++m_pos;
    return c;
  }
  if (c == '\r' && m_mode == StreamMode::Text) {
    if (m_pos + 1 >= m_end) Fill();  // moves the CR to the front and reads behind it
    if (m_pos + 1 < m_end && m_buffer[m_pos + 1] == '\n') {
      m_pos += 2;
      return '\n';
    }
  }
  ++m_pos;
  return c;
}

bool Stream::UngetChar(int c) {
  if (c == kEof || m_writing || m_pos == 0 || m_literalCr) return false;
  --m_pos;
  Buffer()[m_pos] = static_cast<unsigned char>(c);
  // A CR put back in text mode was a lone CR when it was read: it must not join a LF now.
  if (c == '\r' && m_mode == StreamMode::Text) m_literalCr = true;
  return true;
}

std::size_t Stream::Read(void* buffer, std::size_t size) {
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t n = 0;
  if (m_mode == StreamMode::Binary) {
    if (m_writing && !FlushWrite()) return 0;
    while (n < size) {
      if (m_pos >= m_end && !Fill()) break;
      const std::size_t take = std::min(size - n, m_end - m_pos);
      std::memcpy(out + n, m_buffer.get() + m_pos, take);
      m_pos += take;
      n += take;
    }
    return n;
  }
  while (n < size) {
    const int c = GetChar();
    if (c == kEof) break;
    out[n++] = static_cast<unsigned char>(c);
  }
  return n;
}

bool Stream::ReadLine(std::string& line, std::size_t limit) {
  line.clear();
  while (line.size() < limit) {
    const int c = GetChar();
    if (c == kEof) break;
    line.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return !line.empty();
}

bool Stream::Write(std::string_view text) {
  if (m_error || !m_file.IsOpen()) return false;
  if (!m_writing) {
    // Leaving read mode: step back over what was read ahead so the write lands in place.
    if (m_end > m_pos) {
      const auto back = static_cast<std::int64_t>(m_end - m_pos);
      if (m_file.Seek(-back, SEEK_CUR) != kErrorSuccess) {
        m_error = LastError();
        return false;
      }
    }
    m_pos = m_end = 0;
    m_writing = true;
    m_literalCr = false;
  }
  unsigned char* const buffer = Buffer();
  for (const char ch : text) {
    const bool expand = ch == '\n' && m_mode == StreamMode::Text;
    if (m_end + 2 > kCapacity && !FlushBuffer()) return false;
    if (expand) buffer[m_end++] = '\r';
    buffer[m_end++] = static_cast<unsigned char>(ch);
  }
  return true;
}

bool Stream::FlushBuffer() {
  if (m_end > 0 && !m_error) {
    if (const long err = m_file.Write(m_buffer.get(), m_end)) m_error = err;
  }
  m_end = 0;
  return m_error == 0;
}

bool Stream::FlushWrite() {
  if (!m_writing) return true;
  FlushBuffer();
  m_pos = m_end = kPushBack;
  m_writing = false;
  return m_error == 0;
}

bool Stream::Flush() { return FlushWrite(); }

bool Stream::Sync() {
  if (!FlushWrite()) return false;
  if (const long err = m_file.Sync()) {
    m_error = err;
    return false;
  }
  return true;
}

long Stream::Close() {
  if (!m_file.IsOpen()) return kErrorInvalidHandle;
  const bool flushed = FlushWrite();
  const long closeError = m_file.Close();
  if (!flushed) return m_error;
  return closeError;
}

}  // namespace faxmail::platform
