// Base64 (RFC 4648 section 4, the alphabet of RFC 2045) without line breaks: the SASL
// exchanges of both directions and the lines of outbound attachments. The lenient decoder of
// message bodies, which skips what is not base64, is the decoder's own. Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace faxmail {

// Appends the base64 text of bytes, '=' padded.
void AppendBase64(std::string& out, std::string_view bytes);

// The base64 text of bytes, '=' padded.
std::string Base64Encode(std::string_view bytes);

// The bytes of a strict base64 text: whole groups of four, nothing but the alphabet, at most
// two '=' and only at the end. None for anything else (a blank, a line break, a missing pad).
// The empty text gives the empty result.
std::optional<std::string> Base64DecodeStrict(std::string_view text);

}  // namespace faxmail
