// The reference base64 on Linux: OpenSSL's block encoder and decoder.
#include "tests/support/reference_base64.h"

#include <openssl/evp.h>

namespace faxmail::test {

std::string ReferenceBase64(const std::string& bytes) {
  std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  encoded.resize(static_cast<std::size_t>(n));
  return encoded;
}

std::string ReferenceBase64Decode(const std::string& lines) {
  std::string text;
  for (const char c : lines)
    if (c != '\r' && c != '\n') text += c;
  std::string bytes(text.size() / 4 * 3 + 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return {};
  bytes.resize(static_cast<std::size_t>(n));
  while (text.ends_with('=')) {  // EVP_DecodeBlock counts the padding as bytes
    text.pop_back();
    bytes.pop_back();
  }
  return bytes;
}

}  // namespace faxmail::test
