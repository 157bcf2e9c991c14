// Folder syncs shared by the threads that ask for one at the same time (a group commit).
//
// A rename or creation is durable once a sync of its folder has begun after it. So a caller
// takes a ticket, and the first sync to begin after its ticket covers it: while one sync runs,
// everyone who arrives waits, and the next sync serves them all. Twenty sessions committing at
// once cost two syncs of OUT, not twenty.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

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
  struct Folder {
    std::mutex mutex;
    std::condition_variable done;
    std::uint64_t tickets = 0;  // handed out
    std::uint64_t covered = 0;  // every ticket up to this one has had its sync
    bool running = false;
    long lastResult = 0;
  };
  Folder& StateOf(const std::string& folder);

  std::mutex m_mutex;  // guards m_folders; a Folder, once made, stays
  std::map<std::string, std::unique_ptr<Folder>> m_folders;
};

}  // namespace faxmail
