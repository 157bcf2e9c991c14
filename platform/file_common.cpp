// The file layer's work above the system calls, the same on every backend: the handle's
// ownership, the folder listing's wildcard rule and the copy of a file through two handles.
#include "platform/file.h"

#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace faxmail::platform {

File::~File() {
  if (m_fd >= 0) CloseQuietly(m_fd);
}

File::File(File&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (m_fd >= 0) CloseQuietly(m_fd);
    m_fd = other.m_fd;
    other.m_fd = -1;
  }
  return *this;
}

bool MatchPattern(std::string_view name, std::string_view pattern) noexcept {
  // The same wildcard rule on every backend (the Windows matcher also matches short 8.3 names,
  // which would make "*.tmp" find "x.tmpl"): one back-track point, linear in practice, never
  // recursive.
  std::size_t n = 0, p = 0, starP = std::string_view::npos, starN = 0;
  auto lower = [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  };
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || lower(pattern[p]) == lower(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

long CopyFile(const std::string& from, const std::string& to, bool overwrite, bool sync) {
  File in;
  if (const long err = File::Open(from, Access::Read, Share::Read, Disposition::OpenExisting, in))
    return err;
  File out;
  if (const long err =
          File::Open(to, Access::Write, Share::None,
                     overwrite ? Disposition::CreateAlways : Disposition::CreateNew, out))
    return err;
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    std::size_t got = 0;
    if (const long err = in.Read(buffer.data(), buffer.size(), got)) return err;
    if (got == 0) break;
    if (const long err = out.Write(buffer.data(), got)) return err;
  }
  if (sync) {
    if (const long err = out.Sync()) return err;
  }
  return out.Close();
}

}  // namespace faxmail::platform
