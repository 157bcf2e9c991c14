// GenerateId: the identity a composed message carries ("%lu@%s": the current time in seconds
// and $HOSTNAME, or "random-pc" without one). Any thread.
#pragma once

#include <cstddef>
#include <string>

namespace faxmail {

// The identity, cut to size - 1 characters; the count written, or -1 when it had to be cut.
int GenerateId(std::string& out, std::size_t size);

}  // namespace faxmail
