// Python's decoding of a message, as tests/support/email_reference.py writes it (STEM.parts
// and its payload files), and what the gateway's files hold for it by the file rules alone.
// Shared by the differential tests against Python's email package.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace faxmail::test {

enum class PythonEncoding { None, QuotedPrintable, Base64 };

// One line of STEM.parts.
struct PythonPart {
  bool text = false;  // message text rather than an attachment
  std::string payload;
  std::string mediaType;
  PythonEncoding encoding = PythonEncoding::None;
  std::optional<std::string> name;  // the file name's bytes, when Python reads one
};

std::vector<PythonPart> ReadPythonParts(const std::string& folder, const std::string& stem);

// What the gateway writes for Python's decoding of a part: binary attachments (a non-text
// type in base64) byte for byte; everything else in text mode, so with CR LF line ends, and
// without the CRs that quoted-printable escapes or base64 text decode to.
std::string GatewayBytes(const PythonPart& part);

// Empty when equal, else the sizes and where and how they first differ.
std::string Difference(const std::string& actual, const std::string& expected);

std::string FromHex(const std::string& hex);

}  // namespace faxmail::test
