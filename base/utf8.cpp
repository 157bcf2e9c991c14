#include "base/utf8.h"

namespace faxmail {

namespace {

bool IsContinuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// The length of the well-formed sequence at text[i], or 0 when there is none.
std::size_t SequenceLength(std::string_view text, std::size_t i) noexcept {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = at(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;   // range of the second byte, which rules out overlong forms,
  unsigned char high = 0xBF;  // surrogates and values above U+10FFFF
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  if (at(i + 1) < low || at(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if (!IsContinuation(at(i + k))) return 0;
  return length;
}

}  // namespace

bool IsValidUtf8(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = SequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string_view Utf8Prefix(std::string_view text, std::size_t max) noexcept {
  if (text.size() <= max) return text;
  if (!IsValidUtf8(text)) return text.substr(0, max);
  std::size_t end = max;
  // In valid text a character starts at most three bytes before any position.
  while (end > 0 && IsContinuation(static_cast<unsigned char>(text[end]))) --end;
  return text.substr(0, end);
}

}  // namespace faxmail
