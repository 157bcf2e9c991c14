#include "common/generate_id.h"

#include "platform/process.h"

namespace faxmail {

int GenerateId(std::string& out, std::size_t size) {
  const auto host = platform::GetEnv("HOSTNAME");
  std::string id = std::to_string(platform::ReadClock().seconds) + "@" +
                   (host ? *host : std::string("random-pc"));
  if (size == 0) {
    out.clear();
    return -1;
  }
  const bool cut = id.size() > size - 1;
  if (cut) id.resize(size - 1);
  out = id;
  return cut ? -1 : static_cast<int>(id.size());
}

}  // namespace faxmail
