// Buffered file streams with the system's text and binary modes.
//
// Text mode is the one the file formats shared with the fax server rely on: writing turns each
// LF into CR LF, reading turns each CR LF into LF (a lone CR stays as it is). Binary mode
// copies bytes unchanged. There is no end-of-file character.
//
// Stream owns its File (and so its share lock) and a fixed buffer, taken at the first read or
// write (a stream opened only to create or empty a file takes none); memory does not grow with
// the file. GetChar is inline so that byte-wise readers run at memory speed. One thread at a
// time; the destructor flushes and closes quietly, Close() reports what failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace faxmail::platform {

enum class StreamMode { Text, Binary };

class Stream {
 public:
  static constexpr int kEof = -1;
  static constexpr std::size_t kBufferSize = 64 * 1024;
  static constexpr std::size_t kPushBack = 16;

  Stream() = default;
  ~Stream();
  Stream(Stream&& other) noexcept = default;
  Stream& operator=(Stream&& other) noexcept;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // how: "r" read an existing file, "w" create or empty, "a" append (create when missing),
  // "r+" read and write an existing file, "w+" create or empty for reading and writing.
  static long Open(const std::string& path, std::string_view how, StreamMode mode, Share share,
                   Stream& out);
  // Takes over an open file.
  static Stream Adopt(File file, StreamMode mode);

  bool IsOpen() const noexcept { return m_file.IsOpen(); }
  StreamMode Mode() const noexcept { return m_mode; }
  File& Handle() noexcept { return m_file; }

  // Next byte (0..255) or kEof; at the end of the file or on a read error (see Error()).
  int GetChar() {
    if (m_pos < m_end) {
      const unsigned char c = m_buffer[m_pos];
      if (c != '\r' || m_mode == StreamMode::Binary) {
        ++m_pos;
        return c;
      }
    }
    return SlowGetChar();
  }
  // Puts one byte back; up to kPushBack bytes before the next read are guaranteed.
  bool UngetChar(int c);
  // Reads up to size bytes; returns the count (0 at the end).
  std::size_t Read(void* buffer, std::size_t size);
  // Reads a line of at most limit bytes including its LF (like fgets without the zero); false
  // when nothing was read before the end.
  bool ReadLine(std::string& line, std::size_t limit);

  bool Write(std::string_view text);
  bool Write(const void* data, std::size_t size) {
    return Write(std::string_view(static_cast<const char*>(data), size));
  }
  bool PutChar(int c) {
    const char ch = static_cast<char>(c);
    return Write(std::string_view(&ch, 1));
  }

  bool Flush();
  // Flushes and makes the data durable.
  bool Sync();
  long Close();

  bool Eof() const noexcept { return m_eof; }
  bool Error() const noexcept { return m_error != 0; }
  long ErrorCode() const noexcept { return m_error; }

 private:
  int SlowGetChar();
  bool Fill();
  bool FlushWrite();   // writes what is buffered and leaves write mode
  bool FlushBuffer();  // writes what is buffered and stays in write mode
  // The buffer, taken when first needed; its bytes are not cleared, only ever read once written.
  unsigned char* Buffer();

  static constexpr std::size_t kCapacity = kPushBack + kBufferSize;

  File m_file;
  StreamMode m_mode = StreamMode::Binary;
  std::unique_ptr<unsigned char[]> m_buffer;  // kCapacity bytes once taken
  std::size_t m_pos = 0;
  std::size_t m_end = 0;
  bool m_writing = false;  // the buffer holds bytes still to be written
  bool m_eof = false;
  long m_error = 0;
  bool m_literalCr = false;  // the CR at m_pos was put back alone and is not a line end
};

}  // namespace faxmail::platform
