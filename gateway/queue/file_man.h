// CFileMan: the file manager shared by the receiver and the sender.
//
// It holds the settings both sides need (read once at construction) and owns the queue
// operations on the data directory: raw message files in OUT for the receiver; for the sender,
// finding, opening (without sharing), closing and deleting the ready files that the fax server
// leaves in IN (names ending in ".tmp" in any letter case, never a name beginning with "."),
// with a link from each open file's handle value to its path. Whoever writes to IN may put
// anything there, so a file of IN is only ever opened as a regular file, never through a
// symbolic link and never waiting on it (OpenInFile).
//
// Threads: receiver threads call Que_AddMsg; the one sender thread calls the rest. The lock
// serialises Que_AddMsg, Que_OpenMsg and Que_CloseAndDeleteMsg; the links are the sender's
// alone. The lock is never held while another is taken. Failures are logged (tag CFILEMAN) and
// returned as the small results given with each operation.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/service/settings.h"
#include "platform/file.h"

namespace faxmail {

struct IDNameLink {
  int id = -1;
  std::string path;
};

class CFileMan {
 public:
  // Loads the settings (creating the key, clearing FileNameUse, logging the domain name).
  CFileMan();
  CFileMan(const CFileMan&) = delete;
  CFileMan& operator=(const CFileMan&) = delete;

  // Settings. The copies fail with 1 (and copy nothing) when the text does not fit a buffer
  // of size bytes with its terminating zero.
  int GetDomainName(std::string& out, std::size_t size) const;
  int GetMailFrom(std::string& out, std::size_t size) const;
  std::uint32_t GetNotifyOnFailure() const { return m_settings.notifyOnFailure; }
  std::uint32_t GetNotifyOnSuccess() const { return m_settings.notifyOnSuccess; }
  std::uint32_t GetSubjectLine() const { return m_settings.subjectLine; }
  std::uint32_t GetIncludeTIFF() const { return m_settings.includeTiff; }
  std::uint32_t GetAttachFormat() const { return m_settings.attachFormat; }
  std::uint32_t GetNotificationFormat() const { return m_settings.notificationFormat; }
  const std::string& ProgramPath() const { return m_settings.programPath; }
  const GatewaySettings& Settings() const { return m_settings; }

  // Plain file helpers.
  static bool WriteText(platform::File& file, std::string_view text);
  // Returns the number of bytes written (0 when the write fails).
  static std::size_t Write(platform::File& file, const void* data, std::size_t count);
  // One line of at most max bytes including its LF; 0 when the end of the file or an error
  // comes before an LF (a last line without LF is never returned). The file position ends
  // right behind the bytes returned.
  static std::size_t ReadLine(platform::File& file, std::string& line, std::size_t max);
  static int CloseFile(platform::File& file);
  // Opens an existing file of IN: a regular file only, not through a symbolic link, without
  // waiting on a FIFO. The error of platform::File::Open; IsNotRegularFile tells a refusal.
  static long OpenInFile(const std::string& path, platform::Access access, platform::Share share,
                         platform::File& file);
  static bool IsNotRegularFile(long error) noexcept;

  // Receiver side.
  // 0 and ProgramPath + "OUT/<TmpIndex>.cqx"; 1 (counter untouched) when size cannot hold it.
  // The counter's change is lazy (TakeCounter): FlushCounters makes it durable.
  int GetNewTmpFilename(std::string& out, std::size_t size);
  // 0, or 2 when the raw message file cannot be created (logged).
  int Que_AddMsg(platform::File& file, std::string& path);

  // Sender side. folder is "IN" or "OUT" (inside the data directory). Ready files named in
  // skip (names without folder) are passed over: the sender sets files aside there for a while.
  using NameSet = std::set<std::string>;
  int Que_CountMsgs(std::string_view folder, const NameSet& skip = {});
  // 1 and the name of the first ready file that can be opened without sharing, else 0.
  int Que_FindMsg(std::string_view folder, std::string& name, const NameSet& skip = {});
  // 0 opened, 1 nothing to open, 32 the chosen file is held by another process,
  // kOpenRefused the chosen ready name is no regular file (path names it; nothing was opened).
  static constexpr int kOpenRefused = 2;
  int Que_OpenMsg(platform::File& file, std::string& path, const NameSet& skip = {});
  void Que_CloseMsg(platform::File& file);
  // 0, or 1 when the close fails (the file then stays).
  int Que_CloseAndDeleteMsg(platform::File& file);

  void AddIDNameLink(int id, const std::string& path);
  int DelIDNameLink(int id);
  // 0 copied, 1 no link for the handle, 2 the path does not fit size bytes with its zero.
  int GetNameForHandle(int id, std::string& out, std::size_t size = 260) const;
  std::size_t LinkCount() const { return m_links.size(); }

 private:
  std::string Folder(std::string_view folder) const;

  GatewaySettings m_settings;
  std::vector<IDNameLink> m_links;
  std::mutex m_lock;
};

}  // namespace faxmail
