// The message identity that the sender's composition takes from here lives in
// common/generate_id.h; this header only forwards it until the composition includes that one.
#pragma once

#include "common/generate_id.h"

namespace faxmail::decode {

using faxmail::GenerateId;

}  // namespace faxmail::decode
