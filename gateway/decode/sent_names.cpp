#include "gateway/decode/sent_names.h"

#include <cctype>

#include "base/utf8.h"

namespace faxmail::decode {

namespace {

bool IsSafeExtensionChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
}

// Where the name's extension starts: its last dot, unless a folder separator follows it (a dot
// in a folder name is no extension).
std::size_t ExtensionDot(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return std::string_view::npos;
  const auto slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos && slash > dot) return std::string_view::npos;
  return dot;
}

}  // namespace

std::string SafeSentName(std::string_view name) {
  std::string safe;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) continue;
    safe.push_back(c == ':' || c == '<' || c == '>' ? '_' : c);
  }
  if (safe.size() < kMaxSentName) return safe;
  // The name's own extension (after its last dot) survives the cut: it is what tells the fax
  // server how to read the file. A dot further from the end is part of the name.
  constexpr std::size_t kRoom = kMaxSentName - 1;
  std::string_view stem(safe);
  std::string_view tail;
  if (const auto dot = ExtensionDot(safe);
      dot != std::string::npos && safe.size() - dot - 1 <= kMaxKeptExtension) {
    stem = stem.substr(0, dot);
    tail = std::string_view(safe).substr(dot);
  }
  return std::string(Utf8Prefix(stem, kRoom - tail.size())) + std::string(tail);
}

std::string SentNameExtension(std::string_view sentName) {
  const auto safeAfter = [sentName](std::size_t dot) {
    std::string extension;
    for (const char c : sentName.substr(dot + 1, kMaxExtension))
      if (IsSafeExtensionChar(c)) extension.push_back(c);
    return extension;
  };
  const auto first = sentName.find('.');
  if (first == std::string_view::npos) return {};
  std::string extension = safeAfter(first);
  // A first dot inside the name ("Nr. 5 Vertrag.pdf", "\xd0\xb3. ...") gives nothing a file
  // name can carry; the name's own extension then still tells the fax server the file's type.
  if (extension.empty())
    if (const auto last = ExtensionDot(sentName); last != std::string_view::npos && last != first)
      extension = safeAfter(last);
  return extension;
}

std::string NameFromMediaType(std::string_view mediaType) {
  struct Known {
    const char* subtype;
    const char* extension;
  };
  static constexpr Known kKnown[] = {
      {"jpeg", "jpg"}, {"tiff", "tif"}, {"plain", "txt"}, {"octet-stream", "bin"}, {"html", "htm"}};
  const auto slash = mediaType.find('/');
  std::string subtype;
  if (slash != std::string_view::npos)
    for (const char c : mediaType.substr(slash + 1)) {
      if (!IsSafeExtensionChar(c) && c != '-') break;
      subtype.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
  for (const auto& known : kKnown)
    if (subtype == known.subtype) return std::string("attachment.") + known.extension;
  return subtype.empty() ? "attachment.bin" : "attachment." + subtype;
}

}  // namespace faxmail::decode
