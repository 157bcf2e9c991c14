#include "tools/faxmailsim/ready_file.h"

#include <cstdint>
#include <cstdio>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/temp_file.h"
#include "platform/win_error.h"
#include "tools/faxmailsim/files.h"

namespace faxmail::sim {
namespace {

constexpr char kCrLf[] = "\r\n";
constexpr char kWorkSuffix[] = ".wrk";  // anything but ".tmp" until the file is complete
constexpr char kReadySuffix[] = ".tmp";
// Tries at fresh names before giving up: others write into IN as well.
constexpr int kNameTries = 1000;
// The gateway keeps attachment names of IN in 21 characters.
constexpr std::size_t kMaxInName = 21;
// The name a mail shows for an attachment; the sender keeps the text after "<<" below 100.
constexpr std::size_t kMaxShownName = 60;

std::string Extension(std::string_view shownName) {
  constexpr std::size_t kMaxExtension = 4;  // the dot and three letters
  const auto dot = shownName.rfind('.');
  if (dot == std::string_view::npos || shownName.size() - dot > kMaxExtension) return ".dat";
  std::string ext = ".";
  for (const char c : shownName.substr(dot + 1)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!plain) return ".dat";
    ext += c;
  }
  return ext;
}

std::string BreakKeywords(std::string text) {
  // The sender looks for these anywhere in a line, also in the body.
  for (const std::string_view keyword : {"FROM:", "SUBJECT:"}) {
    for (std::size_t at = 0; (at = text.find(keyword, at)) != std::string::npos;)
      text.insert(at + keyword.size() - 1, 1, ' '), at += keyword.size() + 1;
  }
  return text;
}

}  // namespace

std::string SafeLine(std::string_view text, std::size_t limit) {
  std::string line;
  for (const char c : text.substr(0, limit)) {
    const auto u = static_cast<unsigned char>(c);
    line += (u < 0x20 || u == 0x7f) ? '?' : c;
  }
  return line;
}

std::string ReadyFileText(const ReadyFile& file, const std::vector<std::string>& storedNames) {
  std::string text;
  text += "FROM: " + SafeLine(file.from) + kCrLf;
  text += "TO: <" + SafeLine(file.to) + ">" + kCrLf;
  text += "SUBJECT: " + SafeLine(file.subject) + kCrLf;
  text += std::string(kCrLf) + "BEGIN BODY" + kCrLf + kCrLf;
  for (const std::string& line : file.body) {
    std::string safe = BreakKeywords(SafeLine(line));
    // A line of one full stop would end the mail at the receiving server.
    if (safe == ".") safe = ". ";
    text += safe + kCrLf;
  }
  text += std::string(kCrLf) + "END BODY" + kCrLf + kCrLf;
  if (!file.attachments.empty()) {
    text += std::string("BEGIN ATTACH") + kCrLf;
    for (std::size_t i = 0; i < file.attachments.size(); ++i) {
      std::string shown = SafeLine(file.attachments[i].shownName, kMaxShownName);
      for (char& c : shown)
        if (c == ':' || c == '<' || c == '>') c = '_';
      text += "<<" + shown + ":" + storedNames[i] + ">>" + kCrLf;
    }
    text += std::string("END ATTACH") + kCrLf;
  }
  return text;
}

std::string PutReadyFile(const std::string& inFolder, const ReadyFile& file,
                         std::string& readyName) {
  readyName.clear();
  if (!platform::DirectoryExists(inFolder)) return "no folder " + inFolder;
  const platform::ClockReading now = platform::ReadClock();
  std::uint32_t serial = static_cast<std::uint32_t>(platform::ProcessId()) * 7919u +
                         now.seconds * 1000u + now.milliseconds;

  for (int attempt = 0; attempt < kNameTries; ++attempt, ++serial) {
    char stem[16];  // "SIM" and eight digits
    std::snprintf(stem, sizeof stem, "SIM%08u", serial % 100000000u);
    const std::string ready = inFolder + stem + kReadySuffix;
    if (platform::FileExists(ready)) continue;
    platform::TempFile work;
    long err = platform::TempFile::Create(inFolder + stem + kWorkSuffix,
                                          platform::Disposition::CreateNew, work);
    if (err == platform::kErrorFileExists) continue;
    if (err != platform::kErrorSuccess)
      return "cannot create " + inFolder + stem + kWorkSuffix + " (error " + std::to_string(err) +
             ")";

    std::vector<platform::TempFile> attachments;
    std::vector<std::string> names;
    bool taken = false;
    for (std::size_t i = 0; i < file.attachments.size(); ++i) {
      std::string name = stem;
      if (i > 0) {
        name += '_';
        name += std::to_string(i);
      }
      name += Extension(file.attachments[i].shownName);
      if (name.size() > kMaxInName) return "too many attachments";
      platform::TempFile copy;
      err = platform::TempFile::Create(inFolder + name, platform::Disposition::CreateNew, copy);
      if (err == platform::kErrorFileExists) {
        taken = true;
        break;
      }
      if (err != platform::kErrorSuccess)
        return "cannot create " + inFolder + name + " (error " + std::to_string(err) + ")";
      if (std::string failed =
              CopyInto(file.attachments[i].sourcePath, kMaxAttachmentBytes, copy.file());
          !failed.empty())
        return failed;
      if ((err = copy.file().Sync()) != platform::kErrorSuccess || (err = copy.Close()) != 0)
        return "cannot write " + inFolder + name + " (error " + std::to_string(err) + ")";
      attachments.push_back(std::move(copy));
      names.push_back(std::move(name));
    }
    if (taken) continue;  // another writer has this stem; every file made so far goes

    const std::string text = ReadyFileText(file, names);
    if ((err = work.file().Write(text)) != platform::kErrorSuccess ||
        (err = work.file().Sync()) != platform::kErrorSuccess)
      return "cannot write " + work.Path() + " (error " + std::to_string(err) + ")";
    platform::SyncDirectory(inFolder);  // the attachments' names before the ready name
    if ((err = work.Commit(ready, /*replace=*/false)) != platform::kErrorSuccess) {
      if (err == platform::kErrorAlreadyExists) continue;
      return "cannot rename to " + ready + " (error " + std::to_string(err) + ")";
    }
    // The ready file names them now: they are the sender's.
    for (platform::TempFile& copy : attachments) copy.Release();
    platform::SyncDirectory(inFolder);
    readyName = std::string(stem) + kReadySuffix;
    return {};
  }
  return "no free file name in " + inFolder;
}

}  // namespace faxmail::sim
