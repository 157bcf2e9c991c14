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
  Folder& state = StateOf(folder);
  std::unique_lock lock(state.mutex);
  const std::uint64_t ticket = ++state.tickets;
  for (;;) {
    if (state.covered >= ticket) return state.lastResult;
    if (!state.running) break;
    state.done.wait(lock);
  }
  // This sync covers every ticket handed out before it began, this one among them.
  state.running = true;
  const std::uint64_t upTo = state.tickets;
  lock.unlock();
  const long result = platform::SyncDirectory(folder);
  lock.lock();
  state.running = false;
  state.covered = upTo;
  state.lastResult = result;
  state.done.notify_all();
  return result;
}

}  // namespace faxmail
