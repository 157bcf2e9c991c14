// Base64 from the system's own library (OpenSSL on Linux, CryptoAPI on Windows), not from the
// gateway's encoders: the reference that the encoders' output is compared with.
#pragma once

#include <string>

namespace faxmail::test {

// The base64 text of bytes in one line, padded, without line ends.
std::string ReferenceBase64(const std::string& bytes);
// The bytes of a base64 text; CR and LF anywhere in it are passed over. Empty when the text
// is no base64.
std::string ReferenceBase64Decode(const std::string& text);

}  // namespace faxmail::test
