#include "common/shared_sync.h"

#include "platform/file.h"

namespace faxmail {

SharedFolderSync::Folder& SharedFolderSync::StateOf(const std::string& folder) {
  std::lock_guard lock(m_mutex);
  std::unique_ptr<Folder>& state = m_folders[folder];
  if (!state) state = std::make_unique<Folder>();
  return *state;
}

long SharedFolderSync::Sync(const std::string& folder) {
  return StateOf(folder).Run([&folder] { return platform::SyncDirectory(folder); });
}

}  // namespace faxmail
