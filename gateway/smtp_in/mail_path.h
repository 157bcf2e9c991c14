// The argument of MAIL and RCPT taken apart: "FROM:<path> KEY=VALUE ..." (RFC 5321, 4.1.2),
// with the leniency real clients need (blanks after the colon, a path without brackets).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace faxmail {

struct MailPath {
  std::string address;  // between the brackets; empty for the null path "<>"
  // ESMTP parameters in their order: keyword in upper case, value as sent (empty when none).
  std::vector<std::pair<std::string, std::string>> parameters;

  // The value of a parameter (keyword in upper case), if it was given.
  std::optional<std::string> Parameter(std::string_view keyword) const;
};

// argument: the command line after its four letters (CommandArgument); keyword: "FROM" or
// "TO". Nothing when the keyword and its colon are missing, a bracket is not closed, or a
// parameter is malformed.
std::optional<MailPath> ParseMailPath(std::string_view argument, std::string_view keyword);

}  // namespace faxmail
