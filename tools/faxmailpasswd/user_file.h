// The receiver's user file: lines "user:hash", where hash is a crypt(3) hash as mkpasswd makes
// it. Edits keep every other line byte for byte (comments, blank lines, lines the gateway
// ignores), with their line ends. Pure functions over the file's text; no I/O.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace faxmail::passwd {

// Longest user name: as many characters as any login or mail address that people use.
inline constexpr std::size_t kUserNameLimit = 64;

// 1..64 of A-Z a-z 0-9 . _ @ + -
bool ValidUserName(std::string_view name);

// The user a line names: the text before its first ':' when that is a valid user name.
std::optional<std::string_view> LineUser(std::string_view line);

// The users of the file, in their order.
std::vector<std::string> ListUsers(std::string_view text);
bool HasUser(std::string_view text, std::string_view user);
// text with the line "user:hash\n" appended (after a line end added to a last line without).
std::string AddUser(std::string_view text, std::string_view user, std::string_view hash);
// text without the lines of user; removed: how many lines went.
std::string RemoveUser(std::string_view text, std::string_view user, std::size_t& removed);

}  // namespace faxmail::passwd
