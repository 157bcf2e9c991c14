#include "common/spare_files.h"

#include "platform/file.h"
#include "platform/win_error.h"

namespace faxmail {

bool SpareFiles::FolderReady() {
  if (m_folderMade) return true;
  if (m_folderFailed || m_folder.empty()) return false;
  std::string folder = m_folder;
  if (folder.size() > 1 && folder.back() == platform::kPathSeparator) folder.pop_back();
  m_folderMade = platform::CreatePrivateDirectory(folder) == platform::kErrorSuccess;
  m_folderFailed = !m_folderMade;
  return m_folderMade;
}

long SpareFiles::Give(const std::string& path, SpareData data) {
  // A folder is refused as DeleteFile refuses it; only files are kept.
  if (platform::DirectoryExists(path)) return platform::DeleteFile(path);
  std::string spare;
  bool mayKeepData = false;
  {
    std::lock_guard lock(m_mutex);
    if (m_spares.size() + m_holding.size() >= kMaxSpareFiles || !FolderReady())
      return platform::DeleteFile(path);
    spare = m_folder + std::to_string(m_next++);
    mayKeepData = data == SpareData::kKept && m_holding.size() < kMaxHoldingSpares;
  }
  // The name goes first, in one step, so that whatever happens next the file is no longer
  // what it was; a spare that cannot be emptied or is not ours alone is deleted under its
  // new name.
  if (platform::RenameFile(path, spare, false, platform::Holders::kNone) != platform::kErrorSuccess)
    return platform::DeleteFile(path);
  platform::File file;
  std::uint64_t links = 0;
  std::uint64_t size = 0;
  // An empty file is not cut again: a cut changes the file's metadata even when nothing goes.
  bool keepsData = false;
  const bool usable =
      platform::File::Open(spare, platform::Access::Write, platform::Share::None,
                           platform::Disposition::OpenExisting, file, platform::Links::DontFollow,
                           platform::Kind::RegularFile) == platform::kErrorSuccess &&
      file.LinksAndSize(links, size) == platform::kErrorSuccess && links == 1 &&
      ((keepsData = mayKeepData && size > 0 && size <= kKeptSpareData) || size == 0 ||
       file.Truncate(0) == platform::kErrorSuccess) &&
      file.Close() == platform::kErrorSuccess;
  if (!usable) {
    file = platform::File();
    platform::DeleteFile(spare);
    return platform::kErrorSuccess;
  }
  std::lock_guard lock(m_mutex);
  (keepsData ? m_holding : m_spares).push_back(std::move(spare));
  return platform::kErrorSuccess;
}

bool SpareFiles::Take(const std::string& path) { return Move(path, true) == Claim::kTaken; }

SpareFiles::Claim SpareFiles::TakeNew(const std::string& path) { return Move(path, false); }

std::optional<std::string> SpareFiles::TakeInPlace() {
  std::lock_guard lock(m_mutex);
  std::vector<std::string>& from = m_holding.empty() ? m_spares : m_holding;
  if (from.empty()) return std::nullopt;
  std::string spare = std::move(from.back());
  from.pop_back();
  return spare;
}

SpareFiles::Claim SpareFiles::Move(const std::string& path, bool replace) {
  for (;;) {
    std::string spare;
    {
      std::lock_guard lock(m_mutex);
      if (m_spares.empty()) return Claim::kNone;
      spare = std::move(m_spares.back());
      m_spares.pop_back();
    }
    const long moved = platform::RenameFile(spare, path, replace, platform::Holders::kNone);
    if (moved == platform::kErrorSuccess) return Claim::kTaken;
    if (moved == platform::kErrorAlreadyExists) {
      std::lock_guard lock(m_mutex);
      m_spares.push_back(std::move(spare));
      return Claim::kExists;
    }
    // Gone, held by someone else or not movable there: it is not used, and the next is tried.
    platform::DeleteFile(spare);
  }
}

std::size_t SpareFiles::Count() {
  std::lock_guard lock(m_mutex);
  return m_spares.size() + m_holding.size();
}

int SpareFiles::RemoveLeftovers() {
  std::lock_guard lock(m_mutex);
  std::vector<platform::DirEntry> entries;
  if (m_folder.empty() || platform::FindFiles(m_folder, "*", entries) != platform::kErrorSuccess)
    return 0;
  int removed = 0;
  for (const auto& entry : entries) {
    const std::string path = m_folder + entry.name;
    bool ours = false;
    for (const std::string& spare : m_spares) ours = ours || spare == path;
    for (const std::string& spare : m_holding) ours = ours || spare == path;
    if (!entry.isDirectory && !ours && platform::DeleteFile(path) == platform::kErrorSuccess)
      ++removed;
  }
  return removed;
}

}  // namespace faxmail
