#include "common/folder_names.h"

#include <cctype>
#include <vector>

#include "platform/file.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

// After a mirror could not be made (no watch to be had, a folder that cannot be listed), this
// many questions are answered by listings before it is tried again: a failing watch must not
// cost more than the listing it was to save.
constexpr unsigned kRebuildBackoff = 100;

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

std::string KeyOf(std::string_view name) {
  std::string key = Lower(name);
  key.push_back('/');
  key.append(name);
  return key;
}

}  // namespace

int FolderNames::CountStemByListing(const std::string& folder, std::string_view stem, int limit) {
  std::vector<platform::DirEntry> entries;
  std::string pattern(stem);
  pattern += ".*";
  const long err = platform::FindFiles(folder, pattern, entries);
  // A folder that does not exist holds no stem: the create that follows reports it.
  if (err == platform::kErrorPathNotFound && !platform::DirectoryExists(folder)) return 0;
  if (err != platform::kErrorSuccess) return -1;
  int count = 0;
  for (const auto& entry : entries) {
    if (entry.isDirectory || entry.isHidden) continue;
    if (++count >= limit) break;
  }
  return count;
}

bool FolderNames::Kept(std::string_view name) const {
  if (name.empty() || name.front() == '.' || name.size() < m_keep.size()) return false;
  return Lower(name.substr(0, m_keep.size())) == Lower(m_keep);
}

void FolderNames::Drop() {
  m_watch = platform::DirectoryWatch();
  m_folder.clear();
  m_names.clear();
}

bool FolderNames::Rebuild(const std::string& folder) {
  Drop();
  if (m_waitBeforeRebuild > 0) {
    --m_waitBeforeRebuild;
    return false;
  }
  ++m_rebuilds;
  // The watch first, then the listing: a change made while the folder is listed is in the
  // watch's notices, and taking in a notice twice gives the same names.
  platform::DirectoryWatch watch;
  std::vector<platform::DirEntry> entries;
  if (platform::DirectoryWatch::Open(folder, watch, platform::DirectoryWatch::Events::Names) !=
          platform::kErrorSuccess ||
      platform::FindFiles(folder, m_keep + "*", entries) != platform::kErrorSuccess ||
      entries.size() > kMaxFolderNames) {
    m_waitBeforeRebuild = kRebuildBackoff;
    return false;
  }
  for (const auto& entry : entries)
    if (!entry.isDirectory && Kept(entry.name)) m_names.insert(KeyOf(entry.name));
  m_watch = std::move(watch);
  m_folder = folder;
  return true;
}

bool FolderNames::Fresh(const std::string& folder) {
  if (m_folder != folder || !m_watch.Watches(folder)) return Rebuild(folder);
  std::vector<platform::DirectoryWatch::NameChange> changes;
  if (m_watch.DrainNames(changes) != platform::DirectoryWatch::Drained::Complete)
    return Rebuild(folder);
  for (const auto& change : changes) {
    // A folder never turns into a file under the same name without its removal being told.
    if (change.isDirectory || !Kept(change.name)) continue;
    if (change.added)
      m_names.insert(KeyOf(change.name));
    else
      m_names.erase(KeyOf(change.name));
  }
  if (m_names.size() > kMaxFolderNames) {
    Drop();
    m_waitBeforeRebuild = kRebuildBackoff;
    return false;
  }
  return true;
}

int FolderNames::CountStem(const std::string& folder, std::string_view stem, int limit) {
  std::lock_guard lock(m_mutex);
  // A stem with wildcards in it means more to a listing's pattern than to the mirror.
  if (!Kept(stem) || stem.find_first_of("/*?") != std::string_view::npos || !Fresh(folder)) {
    ++m_listings;
    return CountStemByListing(folder, stem, limit);
  }
  std::string prefix = Lower(stem);
  prefix.push_back('.');
  int count = 0;
  for (auto it = m_names.lower_bound(prefix);
       it != m_names.end() && it->compare(0, prefix.size(), prefix) == 0; ++it)
    if (++count >= limit) break;
  return count;
}

std::uint64_t FolderNames::Rebuilds() const {
  std::lock_guard lock(m_mutex);
  return m_rebuilds;
}

std::uint64_t FolderNames::Listings() const {
  std::lock_guard lock(m_mutex);
  return m_listings;
}

}  // namespace faxmail
