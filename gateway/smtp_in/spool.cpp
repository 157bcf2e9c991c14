// Decode: one received message becomes the files the fax server takes from OUT.
//
// The envelope gets its ready name last, and only once the message text file and every
// attachment it names are complete and on disk, and the scratch files are gone. The work lock
// is held throughout: the scratch files have fixed names.
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "gateway/decode/decode_message.h"
#include "gateway/decode/part_reader.h"
#include "gateway/queue/counters.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "gateway/smtp_in/smtp_in.h"
#include "gateway/smtp_in/spool_commit.h"
#include "gateway/smtp_in/spool_sink.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/stream.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "SMTP_IN";

// Creates (or empties) a file in text mode and closes it.
bool CreateEmpty(const std::string& path) {
  platform::Stream file;
  if (platform::Stream::Open(path, "w", platform::StreamMode::Text, platform::Share::None, file) !=
      platform::kErrorSuccess)
    return false;
  return file.Close() == platform::kErrorSuccess;
}

// Copies the attachment list into the envelope, one character at a time; the lines that name
// an attachment (they contain ">>") are written and their files looked at.
void CopyAttachmentList(const std::string& listPath, const std::string& programPath,
                        platform::Stream& envelope) {
  platform::Stream list;
  if (platform::Stream::Open(listPath, "r", platform::StreamMode::Text, platform::Share::None,
                             list) != platform::kErrorSuccess)
    return;
  bool begun = false;
  std::string line;
  for (;;) {
    const int c = list.GetChar();
    if (c != platform::Stream::kEof && c != '\n' && c != '\r') {
      line.push_back(static_cast<char>(c));
      continue;
    }
    if (line.find(">>") != std::string::npos) {
      if (!begun) envelope.Write("BEGIN ATTACH\n");
      begun = true;
      envelope.Write(line);
      envelope.Write("\n");
      LogMessageText2("SMTPIn- BEGIN ATTACH written: ", line, kTag, __LINE__);
      const auto colon = line.find(':');
      const auto end = line.find(">>", colon == std::string::npos ? 0 : colon);
      const std::string stored =
          colon == std::string::npos || end == std::string::npos || end < colon
              ? std::string()
              : line.substr(colon + 1, end - colon - 1);
      const std::string full = programPath + "OUT" + platform::kPathSeparator + stored;
      LogMessageText2("SMTPIn- FullAttachmentPath: ", full, kTag, __LINE__);
      platform::File file;
      if (platform::File::Open(full, platform::Access::Attributes, platform::Share::ReadWrite,
                               platform::Disposition::OpenExisting,
                               file) == platform::kErrorSuccess) {
        std::uint64_t size = 0;
        file.Size(size);
        LogMessageText2("SMTPIn- Attachment: ", stored, kTag, __LINE__);
        LogMessageText2("SMTPIn- Attachment File Size: ", std::to_string(size), kTag, __LINE__);
      }
    }
    line.clear();
    if (c == platform::Stream::kEof) break;
  }
  list.Close();
  if (begun) envelope.Write("END ATTACH\n");
}

// Removes what a failed decode made: the files it allocated and the scratch files.
void RemovePartialFiles(const std::vector<std::string>& paths) {
  for (const std::string& path : paths)
    if (!path.empty()) platform::DeleteFile(path);
}

std::string FileNameOf(const std::string& path) {
  const auto slash = path.find_last_of(platform::kPathSeparator);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void SMTPInThread::Decode(const std::string& path) { m_server.DecodeFile(path, Recipients(), {}); }

bool SMTPIn::DecodeFile(const std::string& path, const std::vector<std::string>& recipients,
                        const std::string& record, std::string* markerPath) {
  std::lock_guard work(WorkLock());
  LogMessageText2("SMTPIn - Decode(fname): ", path, kTag, __LINE__);
  while (IsEnvFileNameInUse() != 0) {
    LogMessage2("SMTPIn - File name taken, waiting for 25 sec ", kTag, __LINE__);
    platform::SleepMs(static_cast<std::uint32_t>(kNameInUseWait.count()));
  }

  const std::string bodyPath = GetBodyFileName();
  LogMessageText2("SMTPIn - mesage file name: ", bodyPath, kTag, __LINE__);
  if (!CreateEmpty(bodyPath)) {
    LogBoth("SMTPIn- Error: Unable to open message file for writing: ", bodyPath, __LINE__);
    platform::DeleteFile(bodyPath);
    ReleaseEnvFileName();
    return false;
  }
  const std::string listPath = CreateAttachListFile();
  LogMessageText2("SMTPIn - attachment file name: ", listPath, kTag, __LINE__);
  if (!CreateEmpty(listPath)) {
    LogBoth("SMTPIn- Error: Unable to open attachment file for writing: ", listPath, __LINE__);
    platform::DeleteFile(listPath);
    platform::DeleteFile(bodyPath);
    ReleaseEnvFileName();
    return false;
  }
  std::string envelopePath;
  if (AllocEnvFileName(&envelopePath) != platform::kErrorSuccess) envelopePath = GetEnvFileName();
  LogMessageText2("SMTPIn - New file name: ", envelopePath, kTag, __LINE__);
  if (envelopePath.empty() || !CreateEmpty(envelopePath)) {
    LogBoth("SMTPIn- Error: Unable to open new file for writing: ", envelopePath, __LINE__);
    if (!envelopePath.empty()) platform::DeleteFile(envelopePath);
    platform::DeleteFile(listPath);
    platform::DeleteFile(bodyPath);
    ReleaseEnvFileName();
    return false;
  }
  const std::string programPath = GetProgramPath();
  // Every file this decode makes, removed again when the decode fails.
  std::vector<std::string> made = {envelopePath, listPath, bodyPath};
  bool failed = false;

  {
    std::unique_ptr<decode::PartReader> reader;
    if (!decode::PartReader::Open(path, platform::Share::None, reader)) {
      LogBoth("SMTPIn- Error: Unable to open translation ip file: ", path, __LINE__);
    } else {
      SpoolSink sink({envelopePath, bodyPath, listPath, programPath, OverrideAddressCheck()},
                     recipients);
      decode::DecodeMessage(*reader, "text/plain", false, sink);
      failed = sink.Failed();
      made.insert(made.end(), sink.AttachmentFiles().begin(), sink.AttachmentFiles().end());
    }
  }

  platform::Stream envelope;
  if (failed) {
    // Nothing more is written for a message that is already known to be incomplete.
  } else if (platform::Stream::Open(envelopePath, "a", platform::StreamMode::Text,
                                    platform::Share::None, envelope) != platform::kErrorSuccess) {
    const long error = platform::LastError();
    std::fprintf(stderr, "Error: Unable to open output file for writing: error %ld\n", error);
    failed = true;
  } else {
    LogMessageText2("SMTPIn- Output file: ", envelopePath, kTag, __LINE__);
    const auto at = envelopePath.find(std::string("OUT") + platform::kPathSeparator + "ENV");
    const std::string bodyName =
        (at == std::string::npos ? envelopePath : envelopePath.substr(at + 4)) + ".bdy";
    const std::string bodyFile = programPath + "OUT" + platform::kPathSeparator + bodyName;
    made.push_back(bodyFile);
    if (platform::CopyFile(bodyPath, bodyFile, true, true) != platform::kErrorSuccess) {
      LogBoth("SMTPIn- Error: Unable to copy the message text to: ", bodyFile, __LINE__);
      failed = true;
    }
    envelope.Write("\nBEGIN BODY\n");
    envelope.Write("<<" + bodyName + ">>");
    envelope.Write("\nEND BODY\n\n");
    CopyAttachmentList(listPath, programPath, envelope);
    if (!envelope.Sync()) failed = true;
    if (envelope.Close() != platform::kErrorSuccess) failed = true;
  }

  if (failed) {
    // A ready envelope is always whole: the raw message stays for another try.
    LogBoth("SMTPIn- Error: Unable to write the message's files, message kept: ", path, __LINE__);
    RemovePartialFiles(made);
    ReleaseEnvFileName();
    return false;
  }

  if (platform::DeleteFile(listPath) != platform::kErrorSuccess)
    LogMessageText2("SMTPIn- Failde to delete attach file : ", listPath, kTag, __LINE__);
  if (platform::DeleteFile(bodyPath) != platform::kErrorSuccess)
    LogMessageText2("SMTPIn- Failde to delete msg file : ", bodyPath, kTag, __LINE__);

  const std::string outFolder = platform::ParentFolder(envelopePath);
  if (!record.empty()) {
    // The envelope and its files are complete and their names durable; from the rename of the
    // record on, a restart finishes this decode instead of repeating it.
    const std::string marker = DecodedMarkerPath(path, FileNameOf(envelopePath));
    if (platform::SyncDirectory(outFolder) != platform::kErrorSuccess ||
        platform::RenameFile(record, marker, true) != platform::kErrorSuccess ||
        platform::SyncDirectory(outFolder) != platform::kErrorSuccess) {
      LogBoth("SMTPIn- Error: Unable to mark the message as decoded, message kept: ", path,
              __LINE__);
      if (platform::FileExists(marker)) platform::RenameFile(marker, record, true);
      RemovePartialFiles(made);
      ReleaseEnvFileName();
      return false;
    }
    if (markerPath) *markerPath = marker;
  }

  const std::string ready = envelopePath + ".tmp";
  LogMessageText2("SMTPIn- Renaming from: ", envelopePath, kTag, __LINE__);
  LogMessageText2("SMTPIn- Renaming to: ", ready, kTag, __LINE__);
  // Never over an existing ready file: that one belongs to the fax server.
  if (platform::RenameFile(envelopePath, ready, false) != platform::kErrorSuccess)
    LogBoth("SMTPIn- Error: Unable to rename the envelope to its ready name: ", ready, __LINE__);
  else
    platform::SyncDirectory(outFolder);
  ReleaseEnvFileName();
  return true;
}

}  // namespace faxmail
