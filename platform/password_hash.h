// Password hashes in the system's crypt(3) formats, as mkpasswd and the user list of the
// receiver's authentication hold them.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Longest password taken: more than any person types, and a bound on the hashing work that a
// client can ask for.
inline constexpr std::size_t kPasswordLimit = 256;

// Whether password hashes to hash. Only the strong methods count: yescrypt ("$y$") and
// SHA-512 ("$6$"); any other or malformed hash, and a password over kPasswordLimit or holding
// a zero byte, never matches. The comparison does not stop at the first differing byte.
bool PasswordMatches(std::string_view password, const std::string& hash);

// A new hash of password with a fresh random salt: yescrypt, or SHA-512 when sha512 is set.
// Empty when the password is not acceptable (see above) or the library fails.
std::string HashPassword(std::string_view password, bool sha512 = false);

}  // namespace platform
