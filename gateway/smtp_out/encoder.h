// The attachment encoder of outbound mail: one file as a base64 MIME body part, written to a
// file of its own that composition then copies between its boundary lines.
//
// The part's content type is chosen from the file's first bytes (GIF, JPEG, MPEG video,
// PostScript; anything else is application/octet-stream). The part file is written in text
// mode, so its lines end in CR LF. The input is read in blocks; memory does not grow with the
// file. The only failure is a part file that cannot be created or written whole: it is
// reported on standard error ("PATH: REASON") and the result is 1. A read error on the input
// ends the base64 text early, like the end of the file. Any thread; no shared state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/base64.h"  // Base64Encode, for the sender's AUTH
#include "platform/file.h"

namespace faxmail {

// Input bytes per base64 line: 18 groups of three, 72 characters.
inline constexpr std::size_t kBase64LineBytes = 54;

// The content type by signature; input is read from its start and left positioned there.
const char* GuessContentType(platform::File& input);

// Writes the part: its header lines with the content type and the name the recipient is to see
// (name), a blank line, then the input in base64 lines of 72 characters. input is open for
// reading, positioned at its start; the caller closes it. 0 written, 1 the part file could not
// be created or written whole. contentType, when given, replaces the one chosen by signature.
int EncodeAttachment(platform::File& input, const std::string& outputPath, std::string_view name,
                     const char* contentType = nullptr);

}  // namespace faxmail
