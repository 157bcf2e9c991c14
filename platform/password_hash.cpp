#include "platform/password_hash.h"

#include <crypt.h>

#include <cstring>
#include <memory>

#include <openssl/crypto.h>

namespace platform {

namespace {

bool Acceptable(std::string_view password) {
  return password.size() <= kPasswordLimit && password.find('\0') == std::string_view::npos;
}

bool StrongMethod(const std::string& hash) {
  return hash.starts_with("$y$") || hash.starts_with("$6$");
}

}  // namespace

bool PasswordMatches(std::string_view password, const std::string& hash) {
  if (!Acceptable(password) || !StrongMethod(hash)) return false;
  // crypt_data is large (about 32 KiB): on the heap, not on a connection thread's stack.
  const auto data = std::make_unique<crypt_data>();
  const std::string text(password);
  const char* result = crypt_rn(text.c_str(), hash.c_str(), data.get(), sizeof(crypt_data));
  if (result == nullptr || result[0] == '*') return false;
  const std::size_t length = std::strlen(result);
  return length == hash.size() && CRYPTO_memcmp(result, hash.data(), length) == 0;
}

std::string HashPassword(std::string_view password, bool sha512) {
  if (!Acceptable(password)) return {};
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  // A zero count asks for the method's default cost; no entropy given: the library's own.
  if (crypt_gensalt_rn(sha512 ? "$6$" : "$y$", 0, nullptr, 0, salt, sizeof salt) == nullptr)
    return {};
  const auto data = std::make_unique<crypt_data>();
  const std::string text(password);
  const char* result = crypt_rn(text.c_str(), salt, data.get(), sizeof(crypt_data));
  if (result == nullptr || result[0] == '*') return {};
  return result;
}

}  // namespace platform
