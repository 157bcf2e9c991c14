// The reference base64 on Windows: CryptoAPI's conversions between binary and text.
#include "tests/support/reference_base64.h"

#include "platform/win32/windows_api.h"

#include <wincrypt.h>

namespace faxmail::test {

std::string ReferenceBase64(const std::string& bytes) {
  if (bytes.empty()) return {};
  const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
  const DWORD size = static_cast<DWORD>(bytes.size());
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  DWORD length = 0;
  if (!::CryptBinaryToStringA(data, size, flags, nullptr, &length)) return {};
  std::string text(length, '\0');
  if (!::CryptBinaryToStringA(data, size, flags, text.data(), &length)) return {};
  text.resize(length);
  // Whatever line ends the library still writes are no part of the text.
  std::string clean;
  for (const char c : text)
    if (c != '\r' && c != '\n' && c != '\0') clean += c;
  return clean;
}

std::string ReferenceBase64Decode(const std::string& text) {
  if (text.empty()) return {};
  const DWORD size = static_cast<DWORD>(text.size());
  DWORD length = 0;
  if (!::CryptStringToBinaryA(text.data(), size, CRYPT_STRING_BASE64, nullptr, &length, nullptr,
                              nullptr))
    return {};
  std::string bytes(length, '\0');
  if (!::CryptStringToBinaryA(text.data(), size, CRYPT_STRING_BASE64,
                              reinterpret_cast<BYTE*>(bytes.data()), &length, nullptr, nullptr))
    return {};
  bytes.resize(length);
  return bytes;
}

}  // namespace faxmail::test
