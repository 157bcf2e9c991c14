// Whether a path may no longer name the file it named: a watch on the file and on every folder
// of its path (inotify), asked with one cheap call instead of looking the path up again.
//
// Any change to what the path resolves to leaves a notice: the file moved, removed (its link
// count changes), replaced or changed in its attributes or data; a folder of the path moved,
// removed or changed in its attributes; with Data::kWatched, also a change of the file's data. The
// kernel queues a notice before the call that made
// the change returns, so a change made before a check is seen by the check, as a look-up by
// name would see it. A notice may also come for a change that moves nothing (the attributes):
// it only costs the caller a look-up. The watch is set only where it tells the whole story: an
// absolute path without symbolic links, "." or "..", every part of it on a local file system
// (changes made over a network file system leave no notice here); elsewhere Set returns null
// and the caller looks the path up every time.
// XXX: a file system mounted over a folder of the path leaves no notice.
//
// POSIX backend only. Thread-safe once set (Noticed only asks).
#pragma once

#include <memory>
#include <string>

namespace faxmail::platform {

class NameWatch {
 public:
  NameWatch() noexcept;
  ~NameWatch();
  NameWatch(const NameWatch&) = delete;
  NameWatch& operator=(const NameWatch&) = delete;

  // What is watched besides the name: a file that this process appends to itself (a log) must
  // not notice its own writes; one it only ever replaces whole (the hive) notices writes made
  // into it by others (an editor's in place).
  enum class Data { kIgnored, kWatched };
  // A watch on path; null where no watch can tell (see above). The caller then looks at the
  // path once (lstat: a symbolic link at its end is not followed by the watch) to learn what
  // it names: a change before that look shows in it, one after it leaves a notice.
  static std::unique_ptr<NameWatch> Set(const std::string& path, Data data);
  // A watch on the path of a file just opened through it (fd), once the path is seen to name
  // that file, a regular one, still; null when it does not, or no watch can be set.
  static std::unique_ptr<NameWatch> SetOnOpenFile(const std::string& path, int fd, Data data);
  // Whether anything happened to the path since the watch was set (a failed look counts).
  bool Noticed() const;

 private:
  int m_notify;
};

}  // namespace faxmail::platform
