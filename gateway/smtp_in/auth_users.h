// The receiver's authentication: the list of users that may log in with AUTH, and the SASL
// messages of the PLAIN and LOGIN mechanisms.
//
// The list is a file of "user:hash" lines (hash: crypt(3) yescrypt or SHA-512, as mkpasswd or
// faxmailpasswd write them), read once when the receiver is made and only read afterwards, by
// any number of sessions at once. Blank lines and lines that begin with "#" are passed over; a
// line that is too long, has no ":", an empty or unprintable name, a name seen before, or a
// hash of any other method is logged with its line number (never its hash) and skipped. The
// file is bounded in line length and in users; a file that cannot be read gives no list.
//
// Checking a password costs one hash whether the user exists or not, so the time of a refusal
// does not tell which names exist.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace faxmail {

class AuthUsers {
 public:
  // A name, a colon and a yescrypt or SHA-512 hash take some 150 bytes; anything much longer
  // is not such a line.
  static constexpr std::size_t kLineLimit = 1024;
  // More users than any fax gateway serves; a bound on the memory a damaged file can take.
  static constexpr std::size_t kUserLimit = 10000;
  // Lines read at most, comments and bad lines included: a bound on the work at start.
  static constexpr std::size_t kLineCountLimit = 100000;
  // Longest user name; a SASL name longer than it can match no one.
  static constexpr std::size_t kNameLimit = 256;

  // Reads the list at path. Nothing when the file cannot be opened or read (the reason is
  // logged); a file without a valid line gives an empty list.
  static std::optional<AuthUsers> Load(const std::string& path);

  // Whether user is listed and password matches its hash.
  bool Check(std::string_view user, std::string_view password) const;
  std::size_t Size() const noexcept { return m_users.size(); }
  bool Empty() const noexcept { return m_users.empty(); }

 private:
  std::map<std::string, std::string, std::less<>> m_users;  // name -> hash
};

// Strict base64 (RFC 4648, with padding, no blanks or line breaks) as the SASL exchange uses
// it; nothing for anything else. "=" alone is the empty text (RFC 4954).
std::optional<std::string> DecodeSaslBase64(std::string_view text);
std::string EncodeSaslBase64(std::string_view data);

// A PLAIN response (RFC 4616): authorisation identity, NUL, user, NUL, password. Nothing when
// it has not exactly that form, or when it asks to act as another identity than the user's
// own (not offered here).
struct PlainCredentials {
  std::string user;
  std::string password;
};
std::optional<PlainCredentials> SplitPlainResponse(std::string_view response);

}  // namespace faxmail
