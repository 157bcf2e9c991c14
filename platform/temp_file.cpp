#include "platform/temp_file.h"

#include <utility>

#include "platform/win_error.h"

namespace faxmail::platform {

TempFile::~TempFile() { Discard(); }

TempFile::TempFile(TempFile&& other) noexcept
    : m_file(std::move(other.m_file)), m_path(std::exchange(other.m_path, {})) {}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
  if (this != &other) {
    Discard();
    m_file = std::move(other.m_file);
    m_path = std::exchange(other.m_path, {});
  }
  return *this;
}

long TempFile::Create(const std::string& path, Disposition disposition, TempFile& out) {
  File file;
  const long err = File::Open(path, Access::ReadWrite, Share::None, disposition, file,
                              Links::DontFollow, Kind::RegularFile);
  if (err != kErrorSuccess) return err;
  out = TempFile(path);
  out.m_file = std::move(file);
  return kErrorSuccess;
}

long TempFile::Close() { return m_file.IsOpen() ? m_file.Close() : kErrorSuccess; }

long TempFile::Commit(const std::string& target, bool replace) {
  // A file held without sharing cannot be renamed: close first.
  if (const long err = Close(); err != kErrorSuccess) return err;
  if (const long err = RenameFile(m_path, target, replace); err != kErrorSuccess) return err;
  m_path.clear();
  return kErrorSuccess;
}

std::string TempFile::Release() {
  Close();
  return std::exchange(m_path, {});
}

long TempFile::Discard() {
  Close();
  if (m_path.empty()) return kErrorSuccess;
  const std::string path = std::exchange(m_path, {});
  const long err = DeleteFile(path);
  return err == kErrorFileNotFound ? kErrorSuccess : err;
}

}  // namespace faxmail::platform
