#include "gateway/decode/mime_headers.h"

#include <cctype>

#include "gateway/decode/decode_console.h"
#include "gateway/decode/decode_sink.h"
#include "gateway/decode/part_reader.h"
#include "gateway/service/log.h"

namespace faxmail::decode {

namespace {

constexpr char kTag[] = "DECODE";

// The header block starts with room for 1000 bytes and grows by 1000 whenever fewer than 100
// are left; a line longer than the room is read in pieces, and only its first piece decides
// whether it is a header line.
constexpr std::size_t kBlockStep = 1000;
constexpr std::size_t kBlockSlack = 100;

// The byte at i, or 0 past the end: the parsers below treat the end like a NUL.
char At(std::string_view s, std::size_t i) noexcept { return i < s.size() ? s[i] : '\0'; }

// The standard white-space test (space, tab, LF, vertical tab, form feed, CR).
bool IsSpace(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Steps over a quoted string starting at the '"' at i; returns the position after the closing
// '"', or none when the quote is not closed.
std::optional<std::size_t> SkipQuoted(std::string_view s, std::size_t i) {
  ++i;
  for (;;) {
    const char c = At(s, i);
    if (c == '\0') return std::nullopt;
    if (c == '"') return i + 1;
    if (c == '\\') {
      if (At(s, i + 1) == '\0') return std::nullopt;
      ++i;
    }
    ++i;
  }
}

// Steps over a comment starting at the '(' at i (comments nest); returns the position after
// its closing ')', or none when it is not closed.
std::optional<std::size_t> SkipComment(std::string_view s, std::size_t i) {
  int depth = 0;
  for (;;) {
    const char c = At(s, i);
    if (c == '\0') return std::nullopt;
    if (c == '\\') {
      if (At(s, i + 1) == '\0') return std::nullopt;
      i += 2;
      continue;
    }
    if (c == '(') ++depth;
    if (c == ')' && --depth == 0) return i + 1;
    ++i;
  }
}

// A quoted-string value starting at the '"' at i, with the backslash escapes taken out.
std::optional<std::string> QuotedValue(std::string_view s, std::size_t i) {
  std::string value;
  ++i;
  for (;;) {
    char c = At(s, i);
    if (c == '\0') return std::nullopt;
    if (c == '"') return value;
    if (c == '\\') {
      c = At(s, ++i);
      if (c == '\0') return std::nullopt;
    }
    value.push_back(c);
    ++i;
  }
}

// The header names of the scan, each with its colon.
struct KnownHeader {
  std::string_view name;
  HeaderKind kind;
};
constexpr KnownHeader kKnownHeaders[] = {
    {"Content-Type:", HeaderKind::ContentType},
    {"Content-Transfer-Encoding:", HeaderKind::ContentTransferEncoding},
    {"Content-Disposition:", HeaderKind::ContentDisposition},
    {"Content-MD5:", HeaderKind::ContentMd5},
    {"From:", HeaderKind::From},
    {"Subject:", HeaderKind::Subject},
    {"To:", HeaderKind::To},
    {"Cc:", HeaderKind::Cc},
};

// Whether a line that starts a new line of the block is a header line: a run of printable
// characters other than ':' ended by ':'.
bool IsHeaderLine(std::string_view line) noexcept {
  std::size_t i = 0;
  while (i < line.size()) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c == ':' || c < 0x21 || c > 0x7e) break;
    ++i;
  }
  return i > 0 && i < line.size() && line[i] == ':';
}

}  // namespace

std::optional<std::size_t> SkipWhitespace(std::string_view s, std::size_t i) {
  int depth = 0;  // comment nesting
  for (;;) {
    const char c = At(s, i);
    if (c == '\0') return std::nullopt;
    if (c == '\n') {
      // A line that does not start with a blank is the next header field.
      const char next = At(s, i + 1);
      if (next != ' ' && next != '\t') return std::nullopt;
      ++i;
      continue;
    }
    if (depth > 0) {
      if (c == '\\') {
        // The escaped character is taken literally, but a line end stays a line end.
        const char next = At(s, i + 1);
        i += (next == '\0' || next == '\n') ? 1 : 2;
        continue;
      }
      if (c == '(') ++depth;
      if (c == ')') --depth;
      ++i;
      continue;
    }
    if (c == '(') {
      depth = 1;
      ++i;
      continue;
    }
    if (!IsSpace(c)) return i;
    ++i;
  }
}

std::string_view HeaderField(std::string_view value) {
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\0') return value.substr(0, i);
    if (value[i] == '\n' && At(value, i + 1) != ' ' && At(value, i + 1) != '\t')
      return value.substr(0, i);
  }
  return value;
}

TransferEncoding ParseEncoding(std::string_view value) {
  const auto start = SkipWhitespace(value, 0);
  if (!start) return TransferEncoding::None;
  const std::string_view v = value.substr(*start);
  // A word ends at a blank or a comment (or where the block ends).
  const auto endsAt = [&v](std::size_t n) {
    const char next = At(v, n);
    return next == '\0' || next == '(' || IsSpace(next);
  };
  const auto word = [&](std::string_view name) {
    return StartsWithNoCase(v, name) && endsAt(name.size());
  };
  if ((v[0] == '7' || v[0] == '8') && StartsWithNoCase(v.substr(1), "bit") && endsAt(4))
    return TransferEncoding::None;
  if (word("base64")) return TransferEncoding::Base64;
  if (word("binary")) return TransferEncoding::None;
  if (word("quoted-printable")) return TransferEncoding::QuotedPrintable;
  Warn("ignoring unknown content transfer encoding\n");
  return TransferEncoding::None;
}

ContentType ParseContentType(std::string_view value) {
  ContentType result;
  std::string copy(HeaderField(value));
  const std::string_view s(copy);
  // The media type: its characters move to the front, blanks and comments between them go.
  std::size_t from = 0;
  std::size_t to = 0;
  while (from < copy.size() && copy[from] != ';') {
    const char c = copy[from];
    if (IsSpace(c) || c == '(') {
      const auto next = SkipWhitespace(s, from);
      if (!next) {
        from = copy.size();
        break;
      }
      from = *next;
      continue;
    }
    copy[to++] = copy[from++];
  }
  if (from >= copy.size()) {
    // No parameters: the type keeps whatever followed it in the value.
    result.mediaType = copy;
    return result;
  }
  result.mediaType = copy.substr(0, to);
  while (from < copy.size() && copy[from] == ';') {
    ++from;
    const auto start = SkipWhitespace(s, from);
    if (!start) break;
    std::size_t i = *start;
    bool last = false;
    while (i < copy.size() && copy[i] != ';') {
      if (copy[i] == '"') {
        const auto after = SkipQuoted(s, i);
        if (!after) {
          i = copy.size();
          last = true;  // an unterminated quote ends the parameters
          break;
        }
        i = *after;
      } else if (copy[i] == '(') {
        const std::size_t end = SkipComment(s, i).value_or(copy.size());
        for (std::size_t k = i; k < end; ++k) copy[k] = ' ';
        i = end;
      } else {
        ++i;
      }
    }
    result.params.push_back(copy.substr(*start, i - *start));
    from = i;
    if (last) break;
  }
  return result;
}

std::optional<std::string> GetParam(const std::vector<std::string>& params, std::string_view name) {
  for (const std::string& param : params) {
    const std::string_view p(param);
    if (!StartsWithNoCase(p, name)) continue;
    const char after = At(p, name.size());
    if (after != '=' && !IsSpace(after)) continue;
    std::size_t i = name.size();
    while (IsSpace(At(p, i))) ++i;
    if (At(p, i) != '=') return std::nullopt;
    ++i;
    while (IsSpace(At(p, i))) ++i;
    if (At(p, i) == '"') return QuotedValue(p, i);
    std::size_t end = i;
    while (At(p, end) != '\0' && !IsSpace(At(p, end))) ++end;
    return std::string(p.substr(i, end - i));
  }
  return std::nullopt;
}

namespace {

int HexDigit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "%XX" escapes made bytes; a '%' without two hex digits behind it stays as it is.
void AppendPercentDecoded(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
        HexDigit(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
}

struct Section {
  bool present = false;
  bool encoded = false;
  std::string value;
};

// Digits of a section number that are read; a longer number is out of range anyway.
constexpr std::size_t kMaxSectionDigits = 3;

}  // namespace

std::optional<std::string> GetExtendedParam(const std::vector<std::string>& params,
                                            std::string_view name) {
  std::vector<Section> sections;
  for (const std::string& param : params) {
    const std::string_view p(param);
    if (!StartsWithNoCase(p, name) || At(p, name.size()) != '*') continue;
    std::size_t i = name.size() + 1;
    std::size_t number = 0;
    bool encoded = true;  // "name*=" is one encoded value
    if (std::isdigit(static_cast<unsigned char>(At(p, i)))) {
      const std::size_t first = i;
      while (std::isdigit(static_cast<unsigned char>(At(p, i))) && i - first < kMaxSectionDigits)
        number = number * 10 + static_cast<std::size_t>(p[i++] - '0');
      if (std::isdigit(static_cast<unsigned char>(At(p, i)))) continue;
      encoded = At(p, i) == '*';
      if (encoded) ++i;
    }
    if (number >= kMaxParamSections) continue;
    while (IsSpace(At(p, i))) ++i;
    if (At(p, i) != '=') continue;
    ++i;
    while (IsSpace(At(p, i))) ++i;
    std::optional<std::string> value;
    if (At(p, i) == '"') {
      value = QuotedValue(p, i);
    } else {
      std::size_t end = i;
      while (At(p, end) != '\0' && !IsSpace(At(p, end))) ++end;
      value = std::string(p.substr(i, end - i));
    }
    if (!value) continue;
    if (sections.size() <= number) sections.resize(number + 1);
    Section& section = sections[number];
    if (section.present) continue;  // the first of two sections with one number counts
    section = Section{true, encoded, std::move(*value)};
  }
  std::string joined;
  bool any = false;
  for (std::size_t k = 0; k < sections.size(); ++k) {
    const Section& section = sections[k];
    if (!section.present) continue;
    any = true;
    std::string_view text(section.value);
    if (section.encoded && k == 0) {
      // charset'language'text: the charset and the language go, the bytes stay.
      const auto quote = text.find('\'');
      const auto second = quote == std::string_view::npos ? quote : text.find('\'', quote + 1);
      if (second != std::string_view::npos) text.remove_prefix(second + 1);
    }
    if (section.encoded) {
      AppendPercentDecoded(joined, text);
    } else {
      joined += text;
    }
    if (joined.size() >= kMaxParamValue) {
      joined.resize(kMaxParamValue);
      break;
    }
  }
  if (!any) return std::nullopt;
  return joined;
}

std::optional<std::string> GetNameParam(const std::vector<std::string>& params,
                                        std::string_view name) {
  if (auto plain = GetParam(params, name)) return plain;
  return GetExtendedParam(params, name);
}

bool IsAttachmentDisposition(std::string_view value) {
  const auto start = SkipWhitespace(value, 0);
  if (!start) return false;
  constexpr std::string_view kAttachment = "attachment";
  const std::string_view v = value.substr(*start);
  const char after = At(v, kAttachment.size());
  return StartsWithNoCase(v, kAttachment) &&
         (after == '\0' || after == ';' || after == '(' || IsSpace(after));
}

namespace {

// The filename parameter in its plain form only.
std::optional<std::string> GetPlainDispositionFilename(std::string_view value) {
  const std::string_view v = HeaderField(value);
  std::size_t i = 0;
  for (;;) {
    // Find the next ';' outside quoted strings and comments.
    while (At(v, i) != '\0' && At(v, i) != ';') {
      if (v[i] == '"' || v[i] == '(') {
        const auto after = v[i] == '"' ? SkipQuoted(v, i) : SkipComment(v, i);
        if (!after) return std::nullopt;
        i = *after;
      } else {
        ++i;
      }
    }
    if (At(v, i) == '\0') return std::nullopt;
    auto at = SkipWhitespace(v, i + 1);
    if (!at) return std::nullopt;
    i = *at;
    constexpr std::string_view kFilename = "filename";
    const char after = At(v, i + kFilename.size());
    if (!StartsWithNoCase(v.substr(i), kFilename) ||
        !(after == '=' || after == '(' || IsSpace(after)))
      continue;
    at = SkipWhitespace(v, i + kFilename.size());
    if (!at || v[*at] != '=') return std::nullopt;
    at = SkipWhitespace(v, *at + 1);
    if (!at) return std::nullopt;
    i = *at;
    if (v[i] == '"') return QuotedValue(v, i);
    std::size_t end = i;
    while (At(v, end) != '\0' && At(v, end) != '(' && !IsSpace(At(v, end))) ++end;
    return std::string(v.substr(i, end - i));
  }
}

}  // namespace

std::optional<std::string> GetDispositionFilename(std::string_view value) {
  if (auto plain = GetPlainDispositionFilename(value)) return plain;
  return GetExtendedParam(ParseContentType(value).params, "filename");
}

PartHeaders ReadHeaders(PartReader& reader, DecodeSink& sink) {
  PartHeaders headers;
  std::string& block = headers.block;
  block.push_back('\n');
  std::size_t capacity = kBlockStep;
  bool atLineStart = true;
  bool cut = false;  // the block reached kMaxHeaderBlock: the rest is dropped
  std::string piece;
  for (;;) {
    piece.clear();
    const std::size_t room = cut ? kBlockStep : capacity - block.size();
    if (reader.GetLine(piece, room) == 0) break;
    const bool startsLine = atLineStart;
    atLineStart = piece.back() == '\n';
    if (startsLine) {
      if (piece == "\n") break;  // the blank line that ends the headers
      if (!IsHeaderLine(piece)) {
        const bool first = block.size() == 1 && !cut;
        if (first || (piece[0] != ' ' && piece[0] != '\t')) {
          reader.UngetText(piece);
          break;
        }
      }
    }
    if (!cut && block.size() + piece.size() > kMaxHeaderBlock) {
      cut = true;
      Warn("header block too long; ignoring the rest of it");
    }
    if (cut) continue;
    block += piece;
    if (capacity - block.size() < kBlockSlack) capacity += kBlockStep;
  }

  sink.BeginHeaders(block);
  const std::string_view b(block);
  for (std::size_t lf = b.find('\n'); lf != std::string_view::npos; lf = b.find('\n', lf + 1)) {
    const std::string_view line = b.substr(lf + 1);
    for (const KnownHeader& known : kKnownHeaders) {
      if (!StartsWithNoCase(line, known.name)) continue;
      const std::size_t value = lf + 1 + known.name.size();
      sink.HeaderSeen(known.kind, b, lf, value);
      switch (known.kind) {
        case HeaderKind::ContentType:
          headers.contentType = SkipWhitespace(b, value).value_or(PartHeaders::kNone);
          break;
        case HeaderKind::ContentTransferEncoding:
          headers.encoding = ParseEncoding(b.substr(value));
          break;
        case HeaderKind::ContentDisposition: {
          LogMessageText2("DECODE - getting content-disposition: ", line, kTag, __LINE__);
          const auto start = SkipWhitespace(b, value);
          LogMessageText2("DECODE - extracted content-disposition: ",
                          start ? b.substr(*start) : std::string_view(), kTag, __LINE__);
          if (start) headers.disposition = *start;
          break;
        }
        case HeaderKind::ContentMd5:
          headers.contentMd5 = SkipWhitespace(b, value).value_or(PartHeaders::kNone);
          break;
        default: break;
      }
      break;
    }
  }
  sink.EndHeaders(block);
  return headers;
}

}  // namespace faxmail::decode
