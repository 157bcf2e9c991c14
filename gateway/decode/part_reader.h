// PartReader: the reader over one spooled mail message that knows the multipart boundaries in
// force, so that every decoder sees the end of its part as an end of input.
//
// A delimiter is looked for only where a LF is about to be delivered: the reader then looks
// ahead at most kLookahead bytes (LF, "--", a boundary of at most kMaxBoundary characters) and
// compares the boundaries from the outermost in, case-sensitively; text after the boundary on
// the delimiter line does not matter. The LF before a delimiter stays unread: it belongs to the
// delimiter, never to the part. When the input ends, the part ends at every nesting level.
//
// GetChar is inline and costs one comparison per byte that is not a LF; PeekRun/Skip hand a
// decoder every buffered byte up to the next line end that a delimiter could follow at once. The
// buffer starts small, doubles up to a fixed size while the input goes on, and beyond that grows
// only when text is pushed back, so memory does not grow with the message.
//
// The input comes from a ByteSource: a Stream opened in text mode for spooled files (every line
// then ends in a single LF), or memory. The reader owns its source. One thread at a time.
// The boundary table itself has no depth limit; DecodeMessage bounds the nesting.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/stream.h"

namespace faxmail::decode {

// Where a PartReader takes its bytes from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to size bytes into buffer; 0 only at the end of the input.
  virtual std::size_t Read(char* buffer, std::size_t size) = 0;
};

// A spooled file, normally opened in text mode. Owns the stream; closes it when destroyed.
class StreamSource final : public ByteSource {
 public:
  explicit StreamSource(platform::Stream stream) : m_stream(std::move(stream)) {}
  std::size_t Read(char* buffer, std::size_t size) override;
  platform::Stream& Stream() noexcept { return m_stream; }

 private:
  platform::Stream m_stream;
};

// A spooled file read in text mode (each CR LF becomes LF, a lone CR stays), converted a
// block at a time: the Stream underneath is binary. Owns the stream.
class TextFileSource final : public ByteSource {
 public:
  // stream must be open in binary mode.
  explicit TextFileSource(platform::Stream stream) : m_stream(std::move(stream)) {}
  std::size_t Read(char* buffer, std::size_t size) override;

 private:
  platform::Stream m_stream;
};

// Bytes in memory that outlive the source (tests, reassembled data, benchmarks). A chunk limit
// makes every read return at most that many bytes, so that callers can be tested against input
// arriving in pieces.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view data, std::size_t chunk = 0)
      : m_data(data), m_chunk(chunk) {}
  std::size_t Read(char* buffer, std::size_t size) override;

 private:
  std::string_view m_data;
  std::size_t m_chunk;
};

class PartReader {
 public:
  static constexpr int kEndOfPart = -1;
  // The buffer of the first read: most messages fit, and a reader is made for each one.
  static constexpr std::size_t kInitialBufferSize = 4 * 1024;
  // What the buffer doubles up to while the input goes on past it: large enough that a source
  // is read, and a decoder handed runs, in large blocks; small beside the messages read.
  static constexpr std::size_t kFullBufferSize = 64 * 1024;
  // Longest boundary compared; longer boundary parameters are matched on their first 70.
  static constexpr std::size_t kMaxBoundary = 70;
  // LF, "--" and a whole boundary.
  static constexpr std::size_t kLookahead = 3 + kMaxBoundary;

  explicit PartReader(std::unique_ptr<ByteSource> source);
  // Opens a spooled file for reading in text mode (TextFileSource); false (with the
  // platform's last error set) when it cannot be opened.
  static bool Open(const std::string& path, platform::Share share,
                   std::unique_ptr<PartReader>& out);

  PartReader(const PartReader&) = delete;
  PartReader& operator=(const PartReader&) = delete;

  // The next byte (0..255), or kEndOfPart.
  int GetChar() {
    if (m_cur != m_end && *m_cur != '\n') return static_cast<unsigned char>(*m_cur++);
    return SlowGetChar();
  }

  // The bytes that GetChar would deliver next, one after the other, without reaching a
  // delimiter: the buffered bytes up to the first LF that a delimiter could follow. LFs inside
  // the run are line ends of the part. Empty when the next byte needs GetChar (the buffer is
  // empty, or a delimiter may follow the LF at the read position).
  std::string_view PeekRun() const noexcept;
  // Consumes n bytes of the last PeekRun.
  void Skip(std::size_t n) noexcept { m_cur += n; }

  // Appends bytes up to and including the next LF, at most size - 1 of them, stopping at the end
  // of the part. Returns the count appended (0: none, also for a size of 0 or 1).
  std::size_t GetLine(std::string& out, std::size_t size);

  // Pushes text back in front of the read position: the next reads deliver it again.
  void UngetText(std::string_view text);
  // Puts a LF back in front of the read position and forgets a delimiter seen, so that a
  // delimiter at the current position is recognised as the first line of a multipart body.
  void UngetNewline();

  // Makes text (cut to kMaxBoundary) the innermost boundary.
  void AddBoundary(std::string_view text);
  // After a part ended at a delimiter: 1 when no further component follows at this level, 0
  // when another one does; consumes the delimiter line of this level.
  int ReadBoundary();
  // The number of active boundaries: the multipart nesting depth of the part being read.
  int Depth() const noexcept { return static_cast<int>(m_boundaries.size()); }

  const std::string& AttachmentListPath() const noexcept { return m_attachmentListPath; }
  void SetAttachmentListPath(std::string path) { m_attachmentListPath = std::move(path); }

 private:
  int SlowGetChar();
  std::size_t Available() const noexcept { return static_cast<std::size_t>(m_end - m_cur); }
  // Reads until at least want bytes are available, the buffer is full or the input ends.
  void EnsureLookahead(std::size_t want);
  void PopBoundary();

  std::unique_ptr<ByteSource> m_source;
  std::vector<char> m_buffer;
  char* m_cur = nullptr;                  // next byte to deliver
  char* m_end = nullptr;                  // end of the valid data
  std::vector<std::string> m_boundaries;  // entry 0 is the outermost
  // Index of the boundary whose delimiter ended the current part; Depth() means none.
  int m_seen = 0;
  bool m_lastReadLarge = false;  // the last refill filled more than half of the buffer
  std::string m_attachmentListPath;
};

}  // namespace faxmail::decode
