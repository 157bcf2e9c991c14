// Header blocks of MIME parts and the small parsers over header values.
//
// A header block is the header lines of one part exactly as read (LF line ends, continuation
// lines kept) behind one LF; the blank line that ends it is not part of it. A value found in
// the block (content type, disposition, Content-MD5) is the text from the value's start to the
// end of the block: each consumer stops at its own delimiter, never later than the end of the
// header field (the first LF not followed by a blank). A NUL byte in a header ends a value.
//
// The parsers take untrusted text and never read outside it. ReadHeaders keeps at most
// kMaxHeaderBlock bytes of a block: the rest of an over-long block is read and dropped with a
// warning, so that a message cannot make the decoder's memory grow without bound.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"

namespace faxmail::decode {

class PartReader;
class DecodeSink;

enum class TransferEncoding : int { None = 0, QuotedPrintable = 1, Base64 = 2 };

// The headers that the header scan recognises, in no particular order.
enum class HeaderKind {
  ContentType,
  ContentTransferEncoding,
  ContentDisposition,
  ContentMd5,
  From,
  Subject,
  To,
  Cc,
};

// Bytes of a header block kept in memory; larger blocks are cut here.
inline constexpr std::size_t kMaxHeaderBlock = 1024 * 1024;

// The header lines of one part and the values the parser takes from them.
struct PartHeaders {
  static constexpr std::size_t kNone = std::string::npos;

  std::string block;                // "\n" followed by the header lines
  std::size_t contentType = kNone;  // offsets into block of the values' starts
  std::size_t disposition = kNone;
  std::size_t contentMd5 = kNone;
  TransferEncoding encoding = TransferEncoding::None;

  std::optional<std::string_view> ContentTypeValue() const { return Value(contentType); }
  std::optional<std::string_view> DispositionValue() const { return Value(disposition); }
  std::optional<std::string_view> ContentMd5Value() const { return Value(contentMd5); }

 private:
  std::optional<std::string_view> Value(std::size_t at) const {
    if (at == kNone) return std::nullopt;
    return std::string_view(block).substr(at);
  }
};

// A parsed Content-Type value: the media type (cut down from the value; without parameters it
// keeps whatever followed the type, such as a comment) and the parameters in their order, each
// as written ("name=value", comments blanked out).
struct ContentType {
  std::string mediaType;
  std::vector<std::string> params;
};

// Moves pos past blanks, folding (LF followed by a blank) and comments (nested, with backslash
// escapes). Nothing (none) at the end of the header field or of the text.
std::optional<std::size_t> SkipWhitespace(std::string_view text, std::size_t pos);

// The text from its start up to the end of its header field.
std::string_view HeaderField(std::string_view value);

TransferEncoding ParseEncoding(std::string_view value);
ContentType ParseContentType(std::string_view value);
// The value of the first parameter with this name (letter case ignored); none when there is
// no such parameter, no '=' or an unterminated quoted value.
std::optional<std::string> GetParam(const std::vector<std::string>& params, std::string_view name);
// Sections of one parameter value in the extended form ("name*0*=", "name*1=" ...) that are
// joined; a section numbered this high or higher is ignored. Mailers split a file name into a
// handful of sections of a line each; this is far more than any name needs.
inline constexpr std::size_t kMaxParamSections = 64;
// Bytes of a joined extended value that are kept; the rest is dropped. No file system takes a
// name a sixteenth as long, and the sent name is cut far shorter still.
inline constexpr std::size_t kMaxParamValue = 4096;

// The value of the parameter given in the extended form of RFC 2231: "name*=charset'lang'%XX.."
// or in sections "name*0*=", "name*1=" ... joined in the order of their numbers (not of their
// positions), sections with a trailing '*' percent-decoded, the others taken as written. The
// charset and language of the first section are dropped and the bytes kept as they are, as
// with encoded words elsewhere in the headers. None when the parameter has no extended form.
std::optional<std::string> GetExtendedParam(const std::vector<std::string>& params,
                                            std::string_view name);
// A name parameter: the plain form, else the extended one (the plain form wins when a mailer
// sends both).
std::optional<std::string> GetNameParam(const std::vector<std::string>& params,
                                        std::string_view name);
// The filename parameter of a Content-Disposition value, in its plain or extended form.
std::optional<std::string> GetDispositionFilename(std::string_view value);
// Whether a Content-Disposition value's type is "attachment".
bool IsAttachmentDisposition(std::string_view value);

// Reads one header block from the reader, reports every recognised header to the sink in
// block order (BeginHeaders, HeaderSeen..., EndHeaders) and returns the block and its values.
// A first line that is neither a header nor a continuation is pushed back as body.
PartHeaders ReadHeaders(PartReader& reader, DecodeSink& sink);

}  // namespace faxmail::decode
