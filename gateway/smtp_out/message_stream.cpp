#include "gateway/smtp_out/message_stream.h"

#include <algorithm>

namespace faxmail {

namespace {
constexpr std::string_view kEndLine = ".\r\n";
constexpr std::string_view kDoubleAngle = "TO:<<";
}  // namespace

MessageStream::MessageStream(std::uint64_t size, bool endsWithEndLine)
    : m_endLine(endsWithEndLine && size >= kEndLine.size() ? size - kEndLine.size() : size) {
  // A piece grows by at most one byte per line it holds: twice its size is always enough.
  m_piece.reserve(2 * kPieceSize);
}

bool MessageStream::EndsWithEndLine(std::string_view tail, std::uint64_t size) {
  if (size < kEndLine.size() || !tail.ends_with(kEndLine)) return false;
  return size == kEndLine.size() ||
         (tail.size() > kEndLine.size() && tail[tail.size() - kEndLine.size() - 1] == '\n');
}

void MessageStream::Feed(std::string_view bytes, std::string& out) {
  while (!bytes.empty()) {
    const std::size_t room = kPieceSize - static_cast<std::size_t>(m_offset % kPieceSize);
    const std::size_t take = std::min(room, bytes.size());
    for (std::size_t i = 0; i < take; ++i) {
      const char c = bytes[i];
      if (m_lineStart && c == '.' && m_offset + i != m_endLine) m_piece.push_back('.');
      m_piece.push_back(c);
      m_lineStart = c == '\n';
    }
    m_offset += take;
    bytes.remove_prefix(take);
    if (m_offset % kPieceSize == 0) ClosePiece(out);
  }
}

void MessageStream::Finish(std::string& out) { ClosePiece(out); }

void MessageStream::ClosePiece(std::string& out) {
  // Each "TO:<<" loses its second angle; the search goes on behind the one that stays.
  for (std::size_t at = 0; (at = m_piece.find(kDoubleAngle, at)) != std::string::npos;
       at += kDoubleAngle.size() - 1)
    m_piece.erase(at + kDoubleAngle.size() - 1, 1);
  out += m_piece;
  m_piece.clear();
}

}  // namespace faxmail
