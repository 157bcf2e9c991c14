#include "gateway/queue/file_man.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "gateway/queue/counters.h"
#include "gateway/service/log.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "CFILEMAN";
constexpr int kOpenAttempts = 9;
// Bytes read ahead by ReadLine; what follows the line is given back with a seek.
constexpr std::size_t kReadChunk = 512;

using platform::kErrorSuccess;
using platform::kPathSeparator;

int CopyIfFits(const std::string& text, std::string& out, std::size_t size) {
  if (text.size() >= size) return 1;
  out = text;
  return 0;
}

bool IsReadyName(std::string_view name) { return !name.empty() && name.front() != '.'; }

}  // namespace

CFileMan::CFileMan() {
  m_settings = LoadGatewaySettings();
  if (m_settings.programPathTooLong)
    LogMessage(
        "CFileMan- ProgramPath is longer than 79 characters and is not used; "
        "set a shorter data directory",
        kTag, __LINE__);
}

int CFileMan::GetDomainName(std::string& out, std::size_t size) const {
  return CopyIfFits(m_settings.domainName, out, size);
}

int CFileMan::GetMailFrom(std::string& out, std::size_t size) const {
  return CopyIfFits(m_settings.mailFrom, out, size);
}

bool CFileMan::WriteText(platform::File& file, std::string_view text) {
  return Write(file, text.data(), text.size()) == text.size();
}

std::size_t CFileMan::Write(platform::File& file, const void* data, std::size_t count) {
  return file.Write(data, count) == kErrorSuccess ? count : 0;
}

std::size_t CFileMan::ReadLine(platform::File& file, std::string& line, std::size_t max) {
  line.clear();
  char chunk[kReadChunk];
  while (line.size() < max) {
    std::size_t got = 0;
    const std::size_t want = std::min(sizeof chunk, max - line.size());
    if (file.Read(chunk, want, got) != kErrorSuccess || got == 0) return 0;
    const auto* lf = static_cast<const char*>(std::memchr(chunk, '\n', got));
    const std::size_t take = lf ? static_cast<std::size_t>(lf - chunk) + 1 : got;
    line.append(chunk, take);
    if (take < got) file.Seek(-static_cast<std::int64_t>(got - take), SEEK_CUR);
    if (lf) return line.size();
  }
  return line.size();  // max bytes without an LF
}

int CFileMan::CloseFile(platform::File& file) { return file.Close() == kErrorSuccess ? 0 : 1; }

long CFileMan::OpenInFile(const std::string& path, platform::Access access, platform::Share share,
                          platform::File& file) {
  return platform::File::Open(path, access, share, platform::Disposition::OpenExisting, file,
                              platform::Links::DontFollow, platform::Kind::RegularFile);
}

bool CFileMan::IsNotRegularFile(long error) noexcept {
  return error == platform::kErrorStoppedOnSymlink || error == platform::kErrorCantAccessFile;
}

int CFileMan::GetNewTmpFilename(std::string& out, std::size_t size) {
  if (size < m_settings.programPath.size() + 8) return 1;
  std::uint32_t number = 0;
  // Lazy: a raw file is only acknowledged once the receiver has flushed the counter
  // (FlushCounters before its commit record), and a start removes every raw file that was not
  // acknowledged, so a number handed out again after a crash names nothing that is kept.
  TakeCounter("TmpIndex", number, true);
  out = m_settings.programPath + "OUT" + kPathSeparator + std::to_string(number) + ".cqx";
  return 0;
}

int CFileMan::Que_AddMsg(platform::File& file, std::string& path) {
  int result = 0;
  std::string name;
  {
    std::lock_guard lock(m_lock);
    GetNewTmpFilename(name, 260);
    if (platform::File::Open(name, platform::Access::ReadWrite, platform::Share::None,
                             platform::Disposition::CreateAlways, file) != kErrorSuccess) {
      LogMessageText("QUE_AddMsg Error: File open: ", name, kTag, __LINE__);
      LogSocketError();
      result = 2;
    }
  }
  path = name;
  return result;
}

std::string CFileMan::Folder(std::string_view folder) const {
  return m_settings.programPath + std::string(folder) + kPathSeparator;
}

int CFileMan::Que_CountMsgs(std::string_view folder, const NameSet& skip) {
  std::vector<platform::DirEntry> entries;
  if (platform::FindFiles(Folder(folder), "*.tmp", entries) != kErrorSuccess) return 0;
  return static_cast<int>(std::count_if(entries.begin(), entries.end(), [&](const auto& e) {
    return IsReadyName(e.name) && !skip.contains(e.name);
  }));
}

int CFileMan::Que_FindMsg(std::string_view folder, std::string& name, const NameSet& skip) {
  std::vector<platform::DirEntry> entries;
  if (platform::FindFiles(Folder(folder), "*.tmp", entries) != kErrorSuccess) return 0;
  for (const auto& entry : entries) {
    if (!IsReadyName(entry.name) || skip.contains(entry.name)) continue;
    platform::File probe;
    if (const long error = OpenInFile(Folder("IN") + entry.name, platform::Access::Attributes,
                                      platform::Share::None, probe);
        error != kErrorSuccess) {
      LogSocketError();
      // No writer will ever finish it: the answer, so that it is refused and set aside.
      if (!IsNotRegularFile(error)) continue;
    }
    if (probe.IsOpen()) probe.Close();
    name = entry.name;
    return 1;
  }
  return 0;
}

int CFileMan::Que_OpenMsg(platform::File& file, std::string& path, const NameSet& skip) {
  if (Que_CountMsgs("IN", skip) == 0) return 1;
  std::lock_guard lock(m_lock);
  std::string name;
  if (Que_FindMsg("IN", name, skip) == 0) return 1;
  const std::string shown = std::string("IN") + kPathSeparator + name;
  LogMessageText("Que_OpenMsg - filename to check for: ", shown, kTag, __LINE__);
  const std::string full = Folder("IN") + name;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if (!platform::FileExists(full))
      LogMessageText("Que_OpenMsg Error: access to file failed: ", shown, kTag, __LINE__);
    if (OpenInFile(full, platform::Access::Read, platform::Share::None, file) == kErrorSuccess) {
      AddIDNameLink(file.Id(), full);
      path = full;
      return 0;
    }
    LogMessageText("Que_OpenMsg Error: Unable to open the file: ", shown, kTag, __LINE__);
    const long error = LogSocketError();
    if (error == platform::kErrorSharingViolation) return 32;
    if (IsNotRegularFile(error)) {
      path = full;
      return kOpenRefused;
    }
  }
  return 1;
}

void CFileMan::Que_CloseMsg(platform::File& file) {
  DelIDNameLink(file.Id());
  file.Close();
}

int CFileMan::Que_CloseAndDeleteMsg(platform::File& file) {
  std::lock_guard lock(m_lock);
  const int id = file.Id();
  if (file.Close() != kErrorSuccess) {
    LogMessage("Error: File close error", kTag, __LINE__);
    return 1;
  }
  std::string path;
  GetNameForHandle(id, path);
  const auto slash = path.find_last_of(kPathSeparator);
  const std::string part = slash == std::string::npos ? path : path.substr(slash);
  LogMessageText("Deleting file: ", part, kTag, __LINE__);
  DelIDNameLink(id);
  if (const long error = platform::DeleteFile(path); error != kErrorSuccess) {
    char text[400];
    std::snprintf(text, sizeof text, "Que_CloseAndDeleteMsg- Error deleting file (%ld): %s", error,
                  part.c_str());
    LogMessage(text, kTag, __LINE__);
  }
  return 0;
}

void CFileMan::AddIDNameLink(int id, const std::string& path) {
  LogMessageText("AddIDNameLink ID: ", std::to_string(id), kTag, __LINE__);
  LogMessageText("AddIDNameLink Name: ", path, kTag, __LINE__);
  m_links.push_back({id, path});
}

int CFileMan::DelIDNameLink(int id) {
  const auto it = std::find_if(m_links.begin(), m_links.end(),
                               [id](const IDNameLink& link) { return link.id == id; });
  if (it == m_links.end()) return 1;
  LogMessageText("DelIDNameLink ID: ", std::to_string(id), kTag, __LINE__);
  LogMessageText("DelIDNameLink Name: ", it->path, kTag, __LINE__);
  m_links.erase(it);
  return 0;
}

int CFileMan::GetNameForHandle(int id, std::string& out, std::size_t size) const {
  const auto it = std::find_if(m_links.begin(), m_links.end(),
                               [id](const IDNameLink& link) { return link.id == id; });
  if (it == m_links.end()) return 1;
  if (it->path.size() >= size) return 2;
  out = it->path;
  return 0;
}

}  // namespace faxmail
