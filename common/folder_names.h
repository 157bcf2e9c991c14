// FolderNames: the names of one folder that begin with a given text, kept in memory, so that
// CreateAutoFile's stem checks need no listing of a large folder.
//
// The mirror is exact, never a guess: it is made from a listing taken after a watch on the
// folder's names began, and before every answer it takes in, under its lock and without
// waiting, every change the watch has for it (platform::DirectoryWatch, Events::Names). So a
// file that any process made, renamed or deleted before the question is known to it, as a
// listing at that moment would know it. Whenever it cannot vouch for that (notices lost, the
// folder moved, replaced or not watchable, more names than kMaxFolderNames), it answers from a
// listing, as if it did not exist, and makes itself again at the next question.
//
// Only names beginning with the given text are kept (the "~" of CreateAutoFile's names): the
// folder's other files cost nothing. Folders and hidden names (beginning with ".") are not
// kept, as the stem check does not count them. Any thread; one lock inside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "platform/dir_watch.h"

namespace faxmail {

// More names of the kept kind than any sane folder holds: beyond this the mirror is dropped
// and listings answer, so that a folder filled on purpose cannot make the gateway's memory grow.
inline constexpr std::size_t kMaxFolderNames = 100000;

class FolderNames {
 public:
  // keep: the text every kept name begins with (letter case ignored).
  explicit FolderNames(std::string keep) : m_keep(std::move(keep)) {}
  FolderNames(const FolderNames&) = delete;
  FolderNames& operator=(const FolderNames&) = delete;

  // How many regular, not hidden entries of folder (ending with the separator) are named
  // stem + "." + anything, letter case ignored, counting no further than limit: as a listing
  // would count them. -1 when the folder cannot be listed; 0 when it does not exist.
  int CountStem(const std::string& folder, std::string_view stem, int limit);

  // The same count from a listing of the folder, without a mirror.
  static int CountStemByListing(const std::string& folder, std::string_view stem, int limit);

  // How many times the mirror was made from a listing, and how many answers came from a
  // listing instead (for tests and benchmarks).
  std::uint64_t Rebuilds() const;
  std::uint64_t Listings() const;

 private:
  // m_mutex held for all of these.
  bool Fresh(const std::string& folder);
  bool Rebuild(const std::string& folder);
  void Drop();
  bool Kept(std::string_view name) const;

  const std::string m_keep;
  mutable std::mutex m_mutex;  // guards everything below
  platform::DirectoryWatch m_watch;
  std::string m_folder;  // the folder mirrored; empty while there is no mirror
  // The name in lower case, "/" and the name itself (no name holds "/"), so that the names of
  // one stem lie together whatever their case.
  std::set<std::string> m_names;
  unsigned m_waitBeforeRebuild = 0;  // questions answered by listings before the next try
  std::uint64_t m_rebuilds = 0;
  std::uint64_t m_listings = 0;
};

}  // namespace faxmail
