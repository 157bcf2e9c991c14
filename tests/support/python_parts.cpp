#include "tests/support/python_parts.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <string_view>

#include "tests/support/test_support.h"

namespace faxmail::test {

namespace {

std::string Replace(std::string text, std::string_view from, std::string_view to) {
  std::string out;
  for (std::size_t pos = 0;;) {
    const std::size_t at = text.find(from, pos);
    out.append(text, pos, at == std::string::npos ? std::string::npos : at - pos);
    if (at == std::string::npos) return out;
    out.append(to);
    pos = at + from.size();
  }
}

bool IsTextType(const std::string& mediaType) {
  constexpr std::string_view kText = "text/";
  return mediaType.size() >= kText.size() &&
         std::equal(kText.begin(), kText.end(), mediaType.begin(), [](char a, char b) {
           return a == std::tolower(static_cast<unsigned char>(b));
         });
}

// Bytes as C-style text, for messages.
std::string Printable(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c == '"' || c == '\\')
      out += std::string("\\") + c;
    else if (u < 0x20 || u >= 0x7f)
      out += std::string("\\x") + kHex[u >> 4] + kHex[u & 15];
    else
      out += c;
  }
  return out;
}

}  // namespace

std::string FromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<PythonPart> ReadPythonParts(const std::string& folder, const std::string& stem) {
  std::vector<PythonPart> parts;
  std::istringstream lines(ReadWholeFile(folder + "/" + stem + ".parts"));
  std::string kind, payload, type, encoding, name;
  while (lines >> kind >> payload >> type >> encoding >> name) {
    PythonPart part;
    part.text = kind == "text";
    part.payload = ReadWholeFile(folder + "/" + payload);
    part.mediaType = type;
    part.encoding = encoding == "base64"             ? PythonEncoding::Base64
                    : encoding == "quoted-printable" ? PythonEncoding::QuotedPrintable
                                                     : PythonEncoding::None;
    if (name != "-") part.name = FromHex(name);
    parts.push_back(std::move(part));
  }
  return parts;
}

std::string GatewayBytes(const PythonPart& part) {
  const bool textType = IsTextType(part.mediaType) || part.text;
  if (!textType && part.encoding == PythonEncoding::Base64) return part.payload;  // binary
  std::string text = part.payload;
  if (part.encoding == PythonEncoding::QuotedPrintable || part.encoding == PythonEncoding::Base64) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());  // decoded CRs
  } else {
    text = Replace(text, "\r\n", "\n");  // the spooled message is read in text mode
  }
  return Replace(text, "\n", "\r\n");  // and the file is written in text mode
}

std::string Difference(const std::string& actual, const std::string& expected) {
  if (actual == expected) return {};
  const std::size_t common = std::min(actual.size(), expected.size());
  const auto at = static_cast<std::size_t>(
      std::mismatch(actual.begin(), actual.begin() + static_cast<std::ptrdiff_t>(common),
                    expected.begin())
          .first -
      actual.begin());
  return "sizes " + std::to_string(actual.size()) + " and " + std::to_string(expected.size()) +
         ", first difference at " + std::to_string(at) + ": gateway \"" +
         Printable(actual.substr(at, 40)) + "\", Python \"" + Printable(expected.substr(at, 40)) +
         "\"";
}

}  // namespace faxmail::test
