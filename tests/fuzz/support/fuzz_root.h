// The private FAXMAIL_ROOT of a fuzz target's process: made once, in a memory file system where
// there is one (every run writes, syncs and reads files), and set in the environment.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace faxmail::test {

inline std::filesystem::path MakeFuzzRoot(std::string_view target) {
  const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
  std::string pattern = (base / ("faxmail-fuzz-" + std::string(target) + "-XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) std::abort();
  ::setenv("FAXMAIL_ROOT", pattern.c_str(), 1);
  return pattern;
}

}  // namespace faxmail::test
