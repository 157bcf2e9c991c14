// A DWORD value's data, the same on every backend: four bytes, least significant first, as
// the registry keeps them.
#include "platform/registry.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/win_error.h"

namespace faxmail::platform {

long RegDwordOf(const RegValue& value, std::uint32_t& out) {
  if (value.data.size() > 4) return kErrorMoreData;
  if (value.data.size() < 4) return kErrorInvalidParameter;
  out = 0;
  for (int i = 3; i >= 0; --i) out = (out << 8) | static_cast<std::uint8_t>(value.data[i]);
  return kErrorSuccess;
}

std::vector<std::byte> RegDwordBytes(std::uint32_t value) {
  std::vector<std::byte> data(4);
  for (int i = 0; i < 4; ++i) data[i] = static_cast<std::byte>(value >> (8 * i));
  return data;
}

}  // namespace faxmail::platform
