// SpoolSink: the files that decoding one received message produces in the data directory.
//
// Text parts are appended to the message text scratch file (OUT/Msgcnt.imp, text mode). Every
// other part is saved as "ATT<n>.<ext>" in OUT (binary for a non-text type in base64, else text
// mode) and listed in the attachment list as "<<" sent name ":" stored name ">>". The FROM, TO
// and SUBJECT lines of each header block that yields a sender or a recipient are appended to
// the envelope file.
//
// A sent name is made safe before it is listed, and the stored name's extension taken from it,
// by the rules of gateway/decode/sent_names.h. Attachment files are synced before they are
// closed.
//
// Every write is checked: a file that cannot be opened, written, synced or closed (a full disk,
// say) marks the decode as failed, and the files it made are listed, so that the caller can
// remove them and keep the raw message for another try instead of handing the fax server a cut
// envelope.
//
// Runs on the receiving session's thread inside the listener's work lock.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/decode/decode_sink.h"
#include "gateway/decode/recipients.h"

namespace faxmail::platform {
class Stream;
}  // namespace faxmail::platform

namespace faxmail {

// Where one decode's files go, and how its recipients are matched.
struct SpoolSinkSettings {
  std::string envelopePath;     // the envelope file the header lines are appended to
  std::string messageTextPath;  // the message text scratch file (OUT/Msgcnt.imp)
  // The attachment list the stored names are added to; when empty, makeAttachmentList makes it
  // as the first attachment is saved (a message without attachments has none).
  std::string attachmentListPath;
  std::string programPath;  // the data directory, with its trailing separator
  // Every To and Cc address is a recipient, whatever the envelope says.
  bool overrideAddressCheck = false;
  // Each attachment is synced before it is closed; false when the caller syncs them itself
  // (after the work lock, so that one decode's disk waits hold up no other).
  bool syncAttachments = true;
  // Makes the attachment list: its path, or empty when it could not be made (reported by the
  // maker). Asked once at most; after a failure every attachment fails the decode.
  std::function<std::string()> makeAttachmentList = {};
  // The envelope and the message text already open for appending (text mode), kept by the
  // caller from their creation to their sync: written through them instead of opened by path
  // for each write. Their errors are the caller's to read once the decode ends.
  platform::Stream* envelope = nullptr;
  platform::Stream* messageText = nullptr;
};

class SpoolSink final : public decode::DecodeSink {
 public:
  // envelope: the session's RCPT texts.
  SpoolSink(SpoolSinkSettings settings, const decode::EnvelopeList& envelope);

  void BeginHeaders(std::string_view block) override;
  void HeaderSeen(decode::HeaderKind kind, std::string_view block, std::size_t lineStart,
                  std::size_t valueStart) override;
  void EndHeaders(std::string_view block) override;
  int AppendBodyText(decode::PartReader& reader, decode::TransferEncoding encoding) override;
  int SaveAttachment(decode::PartReader& reader, bool inAppleDouble,
                     const decode::ContentType& type, decode::TransferEncoding encoding,
                     std::optional<std::string_view> disposition,
                     std::optional<std::string_view> contentMd5) override;

  // How long a writer waits before asking again whether the attachment name is in use.
  void SetNameWait(std::chrono::milliseconds wait) { m_nameWait = wait; }

  // Some file of this message could not be written whole.
  bool Failed() const noexcept { return m_failed; }
  // The attachment files this sink allocated (full paths), made or not.
  const std::vector<std::string>& AttachmentFiles() const noexcept { return m_attachments; }
  // The attachment list in use: the one given, or the one made; empty when there is none.
  const std::string& AttachmentListPath() const noexcept { return m_settings.attachmentListPath; }

 private:
  SpoolSinkSettings m_settings;
  decode::HeaderScan m_scan;
  std::chrono::milliseconds m_nameWait;
  std::vector<std::string> m_attachments;
  bool m_failed = false;
};

}  // namespace faxmail
