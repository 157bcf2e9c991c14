// File routines of the stand-in, over the platform layer: every source is opened without
// sharing (the lock that keeps the gateway and the fax server off each other's files), a
// regular file only and never through a symbolic link; every read is bounded. Results are
// empty texts on success, else a printable reason naming the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace faxmail::platform {
class File;
}

namespace faxmail::sim {

// Reads at most limit bytes; truncated (when given) tells whether the file had more, else a
// longer file is an error.
std::string ReadBounded(const std::string& path, std::uint64_t limit, std::string& out,
                        bool* truncated = nullptr);
// Copies source into the open file target; a source longer than limit is an error.
std::string CopyInto(const std::string& source, std::uint64_t limit, platform::File& target);
// Copies source to a new file target (which must not exist), synced.
std::string CopyToNew(const std::string& source, std::uint64_t limit, const std::string& target);
// Writes a new file (which must not exist), synced.
std::string WriteNew(const std::string& path, std::string_view data);

}  // namespace faxmail::sim
