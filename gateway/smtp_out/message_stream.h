// MessageStream: the composed message (the work file, ending with its end line ".\r\n") turned
// into the bytes that go on the wire after DATA.
//
// Two rules shape them. A line that begins with a dot gets one more, so that a line "." of the
// message never ends the mail at the server; the end line itself is the one line left alone.
// And "TO:<<" becomes "TO:<" within each piece of kPieceSize bytes of the work file, counted
// from its start: an occurrence that spans two pieces goes out unchanged, as the fax server's
// administrators know it.
//
// The work file may be fed in blocks of any size: the output is the same whatever the split,
// so it can be read and sent in large blocks (one system call per block, not per piece).
// Pure computation; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace faxmail {

class MessageStream {
 public:
  // Bytes of the work file to which the "TO:<<" rule applies on its own.
  static constexpr std::size_t kPieceSize = 200;

  // size: the work file's size. The end line is the ".\r\n" at its very end when it stands at
  // the start of a line; a file without one has no line that is left alone.
  explicit MessageStream(std::uint64_t size, bool endsWithEndLine);

  // Appends the wire form of the next bytes of the work file to out. A piece still open at the
  // end of bytes is held until it is complete or Finish is called.
  void Feed(std::string_view bytes, std::string& out);
  // Appends what is held of the last piece.
  void Finish(std::string& out);

  // Whether the work file's last bytes, tail (up to four of them, those before its end), make
  // an end line of its own: ".\r\n" at the start of the file or after a line feed.
  static bool EndsWithEndLine(std::string_view tail, std::uint64_t size);

 private:
  void ClosePiece(std::string& out);

  std::uint64_t m_endLine;  // offset of the end line's dot; the size when there is none
  std::uint64_t m_offset = 0;
  bool m_lineStart = true;
  std::string m_piece;  // wire form of the piece being read
};

}  // namespace faxmail
