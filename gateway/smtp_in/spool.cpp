// Spooling: one received message becomes the files the fax server takes from OUT.
//
// The decoder writes the message text into a scratch file (OUT/Msgcnt.imp) and the stored
// attachment names into a scratch list, made when the first attachment is saved (most mail has
// none, and then no list is made); the scratch file then becomes the message text file that the
// envelope names, "<envelope name>.bdy", and the envelope carries the list's lines.
// Files given up here (the list) are kept as spares for the next decode's scratch files and
// the next commit records, so that mail after mail is spooled without files being freed. The
// envelope gets its ready name last, and only once that copy and every attachment it names are
// complete and on disk, and the scratch files are gone. The work lock is held while the message
// text scratch file exists (it has a fixed name) and the envelope's name is in use; the files that
// have names of their own are synced, marked decoded and given up or the ready name outside the
// lock, and the disk waits of one decode hold up no other. The folder syncs are shared by the
// decodes that need one at the same time.
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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
#include "platform/temp_file.h"
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

// Holds the envelope name's in-use flag for one decode: every exit gives it back, after the
// decode's files (declared later, so let go first) are gone.
class EnvNameInUse {
 public:
  EnvNameInUse() = default;
  ~EnvNameInUse() { ReleaseEnvFileName(); }
  EnvNameInUse(const EnvNameInUse&) = delete;
  EnvNameInUse& operator=(const EnvNameInUse&) = delete;
};

// Files synced together: their writes are started at once and then waited for one by one, so
// the disk takes them in one go; the bound keeps the open files of one decode few.
constexpr std::size_t kSyncBatch = 16;

// Syncs files written and closed before. Only their data and size matter to their readers,
// so the times on them are not synced. durableFirst runs once the first files' write-back has
// begun, before any is waited for: what it syncs goes to the disk together with them.
bool SyncFiles(const std::vector<std::string>& paths, const std::function<bool()>& durableFirst) {
  bool firstDone = false;
  for (std::size_t first = 0; first < paths.size(); first += kSyncBatch) {
    std::vector<platform::File> files;
    for (std::size_t i = first; i < paths.size() && i < first + kSyncBatch; ++i) {
      platform::File file;
      if (platform::File::Open(paths[i], platform::Access::Read, platform::Share::ReadWrite,
                               platform::Disposition::OpenExisting, file,
                               platform::Links::DontFollow) != platform::kErrorSuccess)
        return false;
      file.StartWriteBack();
      files.push_back(std::move(file));
    }
    if (!firstDone && !durableFirst()) return false;
    firstDone = true;
    for (platform::File& file : files)
      if (file.SyncData() != platform::kErrorSuccess || file.Close() != platform::kErrorSuccess)
        return false;
  }
  return true;
}

// The envelope (still open, its buffer written), its message text copy and its attachments,
// complete on disk; the envelope is closed.
bool SyncWritten(platform::Stream& envelope, const std::string& bodyCopy,
                 const std::vector<platform::TempFile>& attachments,
                 const std::function<bool()>& durableFirst) {
  envelope.Handle().StartWriteBack();
  std::vector<std::string> paths = {bodyCopy};
  for (const platform::TempFile& attachment : attachments) paths.push_back(attachment.Path());
  return SyncFiles(paths, durableFirst) &&
         envelope.Handle().SyncData() == platform::kErrorSuccess &&
         envelope.Close() == platform::kErrorSuccess;
}

std::string FileNameOf(const std::string& path) {
  const auto slash = path.find_last_of(platform::kPathSeparator);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void SMTPInThread::Decode(const std::string& path) {
  m_server.DecodeFile(path, Recipients(), std::nullopt);
}

bool SMTPIn::DecodeFile(const std::string& path, const std::vector<std::string>& recipients,
                        std::optional<CommitKind> commit, std::string* markerPath) {
  // The attachment list is made by the sink when the message's first attachment is saved, and
  // removed with the others when the decode fails; declared first, it goes last, so that every
  // attachment file is named by it while that file exists.
  platform::TempFile attachmentList;
  auto makeAttachmentList = [this, &attachmentList]() -> std::string {
    std::string list = CreateAttachListFile(kAttachListRetryWait, &m_spares, &m_outNames);
    LogMessageText2("SMTPIn - attachment file name: ", list, kTag, __LINE__);
    // CreateAutoFile leaves the list made and empty; without one the path is the folder alone.
    if (list.empty() || list.back() == platform::kPathSeparator) {
      LogBoth("SMTPIn- Error: Unable to open attachment file for writing: ", list, __LINE__);
      return {};
    }
    attachmentList = platform::TempFile(list);
    return list;
  };
  // The raw file and the data directory's path are this decode's own: had before the work
  // lock, so that the decodes queued behind it do not wait for them.
  std::unique_ptr<decode::PartReader> reader;
  const bool readable = decode::PartReader::Open(path, platform::Share::None, reader);
  const std::string programPath = GetProgramPath();
  std::unique_lock work(WorkLock());
  LogMessageText2("SMTPIn - Decode(fname): ", path, kTag, __LINE__);
  while (IsEnvFileNameInUse() != 0) {
    LogMessage2("SMTPIn - File name taken, waiting for 25 sec ", kTag, __LINE__);
    platform::SleepMs(static_cast<std::uint32_t>(kNameInUseWait.count()));
  }
  std::optional<EnvNameInUse> inUse(std::in_place);

  // Every file below is removed when the decode ends early or fails, unless it was handed on
  // (renamed to its ready name, or given up to the fax server) first.
  platform::TempFile messageText(GetBodyFileName());
  LogMessageText2("SMTPIn - mesage file name: ", messageText.Path(), kTag, __LINE__);
  m_spares.Take(messageText.Path());
  // Made empty, then written through this one open until the decode ends; declared after its
  // file, it is closed before a failed decode removes that.
  platform::Stream textOut;
  if (platform::Stream::Open(messageText.Path(), "w", platform::StreamMode::Text,
                             platform::Share::None, textOut) != platform::kErrorSuccess) {
    LogBoth("SMTPIn- Error: Unable to open message file for writing: ", messageText.Path(),
            __LINE__);
    return false;
  }
  std::string allocated;
  if (AllocEnvFileName(&allocated) != platform::kErrorSuccess) allocated = GetEnvFileName();
  platform::TempFile envelope(allocated);
  const std::string& envelopePath = envelope.Path();
  LogMessageText2("SMTPIn - New file name: ", envelopePath, kTag, __LINE__);
  if (envelopePath.empty() || !CreateEmpty(envelopePath)) {
    LogBoth("SMTPIn- Error: Unable to open new file for writing: ", envelopePath, __LINE__);
    return false;
  }
  // The envelope names its raw file, so that a restart after a crash can tell an envelope
  // whose decode it repeats from one left on purpose (a ready name that could not be given).
  if (commit) platform::SetFileTag(envelopePath, kRawFileTag, FileNameOf(path));
  // Appended to through this one open from here to its sync, which closes it.
  platform::Stream out;
  if (platform::Stream::Open(envelopePath, "a", platform::StreamMode::Text, platform::Share::None,
                             out) != platform::kErrorSuccess) {
    LogBoth("SMTPIn- Error: Unable to open new file for writing: ", envelopePath, __LINE__);
    return false;
  }
  const std::string outFolder = platform::ParentFolder(envelopePath);
  std::vector<platform::TempFile> attachments;
  bool failed = false;

  if (!readable) {
    LogBoth("SMTPIn- Error: Unable to open translation ip file: ", path, __LINE__);
  } else {
    SpoolSinkSettings settings{envelopePath,      messageText.Path(),     {},
                               programPath,       OverrideAddressCheck(), false,
                               makeAttachmentList};
    settings.envelope = &out;
    settings.messageText = &textOut;
    SpoolSink sink(std::move(settings), recipients);
    decode::DecodeMessage(*reader, "text/plain", false, sink);
    failed = sink.Failed();
    for (const std::string& file : sink.AttachmentFiles()) attachments.emplace_back(file);
  }
  reader.reset();
  if (textOut.Close() != platform::kErrorSuccess) failed = true;

  // The message text file that the envelope names ("<ENV name>.bdy"): the scratch file itself,
  // renamed, which leaves the same file as a copy and the scratch file's deletion would.
  platform::TempFile bodyCopy;
  if (failed) {
    // Nothing more is written for a message that is already known to be incomplete.
  } else {
    LogMessageText2("SMTPIn- Output file: ", envelopePath, kTag, __LINE__);
    const auto at = envelopePath.find(std::string("OUT") + platform::kPathSeparator + "ENV");
    const std::string bodyCopyName =
        (at == std::string::npos ? envelopePath : envelopePath.substr(at + 4)) + ".bdy";
    bodyCopy = platform::TempFile(programPath + "OUT" + platform::kPathSeparator + bodyCopyName);
    // The scratch file is the decode's own and closed.
    if (platform::RenameFile(messageText.Path(), bodyCopy.Path(), true, platform::Holders::kNone) !=
        platform::kErrorSuccess) {
      LogBoth("SMTPIn- Error: Unable to copy the message text to: ", bodyCopy.Path(), __LINE__);
      failed = true;
    } else {
      messageText.Release();
    }
    out.Write("\nBEGIN BODY\n");
    out.Write("<<" + bodyCopyName + ">>");
    out.Write("\nEND BODY\n\n");
    if (!attachmentList.Path().empty()) CopyAttachmentList(attachmentList.Path(), programPath, out);
    if (!out.Flush()) failed = true;
  }

  if (failed) {
    // A ready envelope is always whole: the raw message stays for another try.
    LogBoth("SMTPIn- Error: Unable to write the message's files, message kept: ", path, __LINE__);
    return false;
  }

  // The message text scratch file is gone and what is left is this decode's alone: the name is
  // given back and the next decode may begin while these files reach the disk.
  inUse.reset();
  work.unlock();
  // The list goes before the folder syncs below, which make its removal durable with the rest.
  if (!attachmentList.Path().empty()) {
    const std::string listPath = attachmentList.Release();
    if (m_spares.Give(listPath) != platform::kErrorSuccess)
      LogMessageText2("SMTPIn- Failde to delete attach file : ", listPath, kTag, __LINE__);
  }
  // The envelope's number, and the name given back, are durable before the envelope's files
  // are known to be (a sync of a new file makes its name durable too) and before anything makes
  // this decode finished: from then on the number is not handed out again, and a start must
  // not take the envelope for one cut short. Their syncs go to the disk together: the flush
  // runs once the files' write-back has begun. Decodes that flush at once share its sync.
  if (!SyncWritten(out, bodyCopy.Path(), attachments,
                   [] { return FlushEnvFileName() == platform::kErrorSuccess; })) {
    LogBoth("SMTPIn- Error: Unable to write the message's files, message kept: ", path, __LINE__);
    return false;
  }

  if (commit) {
    // The envelope and its files are complete and their names durable; from the rename of the
    // record (or of the raw file that is its own record) on, a restart finishes this decode
    // instead of repeating it.
    const bool byNote = *commit == CommitKind::kNote;
    const std::string record = byNote ? path : CommitRecordPath(path);
    const std::string marker = byNote ? DecodedRawPath(path, FileNameOf(envelopePath))
                                      : DecodedMarkerPath(path, FileNameOf(envelopePath));
    if (m_folderSync.Sync(outFolder) != platform::kErrorSuccess ||
        platform::RenameFile(record, marker, true, platform::Holders::kNone) !=
            platform::kErrorSuccess ||
        m_folderSync.Sync(outFolder) != platform::kErrorSuccess) {
      LogBoth("SMTPIn- Error: Unable to mark the message as decoded, message kept: ", path,
              __LINE__);
      if (platform::FileExists(marker)) platform::RenameFile(marker, record, true);
      return false;
    }
    if (markerPath) *markerPath = marker;
  }

  // From here on the files belong to the envelope, whatever becomes of its rename.
  bodyCopy.Release();
  for (platform::TempFile& attachment : attachments) attachment.Release();
  const std::string ready = envelopePath + ".tmp";
  LogMessageText2("SMTPIn- Renaming from: ", envelopePath, kTag, __LINE__);
  LogMessageText2("SMTPIn- Renaming to: ", ready, kTag, __LINE__);
  // Never over an existing ready file: that one belongs to the fax server.
  if (platform::RenameFile(envelopePath, ready, false) != platform::kErrorSuccess)
    LogBoth("SMTPIn- Error: Unable to rename the envelope to its ready name: ", ready, __LINE__);
  else
    m_folderSync.Sync(outFolder);
  envelope.Release();
  return true;
}

}  // namespace faxmail
