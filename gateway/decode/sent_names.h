// Sent names: how an attachment's name, as the mail gives it, is listed and stored.
//
// A sent name is made safe before it is listed: no control characters, and ':' '<' '>' become
// '_', so that the stored name is always what follows the list line's first ':'. Its extension
// keeps only letters, digits, '-' and '_', so a stored name never leaves OUT. A part without
// any name is named after its media type ("attachment.png"). Sent names of kMaxSentName bytes
// or more are cut, keeping their extension (the text after the last dot) and, when they are
// UTF-8, whole characters.
//
// Pure functions on the caller's strings; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace faxmail::decode {

// A sent name is listed in fewer bytes than this; a longer one is cut.
inline constexpr std::size_t kMaxSentName = 100;
// Characters of the sent name's extension that the stored name carries.
inline constexpr std::size_t kMaxExtension = 3;
// The longest extension (after the last dot) that a cut sent name keeps: longer, the text
// behind the dot is part of the name, not a file type.
inline constexpr std::size_t kMaxKeptExtension = 8;

// The sent name as it is listed: controls removed, ':' '<' '>' made '_', cut below
// kMaxSentName bytes on a character boundary, keeping an extension of up to kMaxKeptExtension
// bytes.
std::string SafeSentName(std::string_view name);
// Up to kMaxExtension file-name-safe characters after the first '.' of the sent name
// ("report.final.pdf" gives "fin"); when those give none, the ones after its last '.', so a name
// whose first dot is inside it still keeps the extension that tells the fax server its type.
std::string SentNameExtension(std::string_view sentName);
// A sent name for a part that has none, from its media type.
std::string NameFromMediaType(std::string_view mediaType);

}  // namespace faxmail::decode
