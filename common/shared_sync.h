// Folder syncs shared by the threads that ask for one at the same time (a group commit).
//
// A rename or creation is durable once a sync of its folder has begun after it. So a caller
// takes a ticket, and the first sync to begin after its ticket covers it: while one sync runs,
// everyone who arrives waits, and the next sync serves them all. Twenty sessions committing at
// once cost two syncs of OUT, not twenty.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "base/group_commit.h"

namespace faxmail {

class SharedFolderSync {
 public:
  SharedFolderSync() = default;
  SharedFolderSync(const SharedFolderSync&) = delete;
  SharedFolderSync& operator=(const SharedFolderSync&) = delete;

  // Makes every rename and creation made in folder before the call durable: 0, or the error
  // of the sync that covered the call (platform::SyncDirectory's errors).
  long Sync(const std::string& folder);

 private:
  using Folder = GroupCommit;
  Folder& StateOf(const std::string& folder);

  std::mutex m_mutex;  // guards m_folders; a Folder, once made, stays
  std::map<std::string, std::unique_ptr<Folder>> m_folders;
};

}  // namespace faxmail
