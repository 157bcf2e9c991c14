// Trailing-separator routines for folder paths. A lone root ("/", and "C:\" on Windows) keeps
// its separator. Pure functions on the caller's string; any thread.
#pragma once

#include <string>

namespace faxmail {

// Appends one separator unless the path is empty or already ends with one.
void AppendTrailingSeparator(std::string& path);
// Removes a final separator unless the path is a root ("/" or a drive root "X:\").
void StripTrailingSeparator(std::string& path);

}  // namespace faxmail
