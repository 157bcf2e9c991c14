#include "common/path_utils.h"

#include "platform/file.h"

namespace faxmail {

void AppendTrailingSeparator(std::string& path) {
  if (!path.empty() && path.back() != platform::kPathSeparator)
    path.push_back(platform::kPathSeparator);
}

void StripTrailingSeparator(std::string& path) {
  if (path.size() > 1 && path.back() == platform::kPathSeparator && path[path.size() - 2] != ':')
    path.pop_back();
}

}  // namespace faxmail
