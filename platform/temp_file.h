// TempFile: a scratch, work or partial file that removes itself unless it is committed.
//
// A TempFile owns a name, and while it is open the file under it. When it is let go - by its
// destructor, Discard() or a move over it - the file is closed and its name deleted, so no
// exit path of the code that made it leaves a file behind. Commit() renames the file to the
// name it is meant to have and gives the name up; Release() gives the name up untouched, for a
// caller that takes charge of the file itself (a debug copy, a hand-over to another owner).
// Move-only; one thread at a time, like File.
#pragma once

#include <string>

#include "platform/file.h"

namespace faxmail::platform {

class TempFile {
 public:
  TempFile() noexcept = default;
  // Takes charge of a name that the caller created (e.g. a unique scratch name), closed.
  explicit TempFile(std::string path) noexcept : m_path(std::move(path)) {}
  ~TempFile();
  TempFile(TempFile&& other) noexcept;
  TempFile& operator=(TempFile&& other) noexcept;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Opens path read-write without sharing, a regular file only and never through a link left
  // at the name. With CreateNew an existing name fails and stays untouched; with CreateAlways
  // the file there is emptied and owned from now on.
  static long Create(const std::string& path, Disposition disposition, TempFile& out);

  bool Owns() const noexcept { return !m_path.empty(); }
  const std::string& Path() const noexcept { return m_path; }
  File& file() noexcept { return m_file; }

  // Closes the file; the name stays owned. Reports a failed close.
  long Close();
  // Closes the file and renames it to target; on success the name is given up. On failure it
  // stays owned under its old name (and is removed when let go), and the error is returned.
  long Commit(const std::string& target, bool replace = false);
  // Closes the file and gives its name up without touching it; returns the name.
  std::string Release();
  // Closes the file and deletes it now. Reports a failed delete (the name is given up either
  // way: a second try would fail as the first did).
  long Discard();

 private:
  File m_file;
  std::string m_path;
};

}  // namespace faxmail::platform
