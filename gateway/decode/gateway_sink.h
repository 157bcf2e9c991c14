// GatewaySink: the files that decoding one received message produces in the data directory.
//
// Text parts are appended to the message text scratch file (OUT/Msgcnt.imp, text mode). Every
// other part is saved as "ATT<n>.<ext>" in OUT (binary for a non-text type in base64, else text
// mode) and listed in the attachment list as "<<" sent name ":" stored name ">>". The FROM, TO
// and SUBJECT lines of each header block that yields a sender or a recipient are appended to
// the envelope file.
//
// A sent name is made safe before it is listed: no control characters, and ':' '<' '>' become
// '_', so that the stored name is always what follows the line's first ':'. Its extension keeps
// only letters, digits, '-' and '_', so a stored name never leaves OUT. A part without any name
// is named after its media type ("attachment.png"). Sent names of kMaxSentName bytes or more
// are cut, keeping their extension (the text after the last dot) and, when they are UTF-8,
// whole characters. Attachment files are synced before they are closed.
//
// Every write is checked: a file that cannot be opened, written, synced or closed (a full disk,
// say) marks the decode as failed, and the files it made are listed, so that the caller can
// remove them and keep the raw message for another try instead of handing the fax server a cut
// envelope.
//
// Runs on the receiving session's thread inside the listener's work lock.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/decode/decode_sink.h"
#include "gateway/decode/recipients.h"

namespace faxmail::decode {

// A sent name is listed in fewer bytes than this; a longer one is cut.
inline constexpr std::size_t kMaxSentName = 100;
// Characters of the sent name's extension that the stored name carries.
inline constexpr std::size_t kMaxExtension = 3;
// The longest extension (after the last dot) that a cut sent name keeps: longer, the text
// behind the dot is part of the name, not a file type.
inline constexpr std::size_t kMaxKeptExtension = 8;

class GatewaySink final : public DecodeSink {
 public:
  // envelopePath: the envelope file the header lines are appended to; envelope: the session's
  // RCPT texts; bodyPath: the message text scratch file; programPath: the data directory.
  GatewaySink(std::string envelopePath, const EnvelopeList& envelope, std::string bodyPath,
              std::string programPath);

  void BeginHeaders(std::string_view block) override;
  void HeaderSeen(HeaderKind kind, std::string_view block, std::size_t lineStart,
                  std::size_t valueStart) override;
  void EndHeaders(std::string_view block) override;
  int AppendBodyText(PartReader& reader, TransferEncoding encoding) override;
  int SaveAttachment(PartReader& reader, bool inAppleDouble, const ContentType& type,
                     TransferEncoding encoding, std::optional<std::string_view> disposition,
                     std::optional<std::string_view> contentMd5) override;

  // How long a writer waits before asking again whether the attachment name is in use.
  void SetNameWait(std::chrono::milliseconds wait) { m_nameWait = wait; }

  // Some file of this message could not be written whole.
  bool Failed() const noexcept { return m_failed; }
  // The attachment files this sink allocated (full paths), made or not.
  const std::vector<std::string>& AttachmentFiles() const noexcept { return m_attachments; }

 private:
  std::string m_envelopePath;
  HeaderScan m_scan;
  std::string m_bodyPath;
  std::string m_programPath;
  std::chrono::milliseconds m_nameWait;
  std::vector<std::string> m_attachments;
  bool m_failed = false;
};

// The sent name as it is listed: controls removed, ':' '<' '>' made '_', cut below
// kMaxSentName bytes on a character boundary, keeping an extension of up to kMaxKeptExtension
// bytes.
std::string SafeSentName(std::string_view name);
// Up to kMaxExtension file-name-safe characters after the first '.' of the sent name
// ("report.final.pdf" gives "fin"); when those give none, the ones after its last '.', so a name
// whose first dot is inside it still keeps the extension that tells the fax server its type.
std::string SentNameExtension(std::string_view sentName);
// A sent name for a part that has none, from its media type.
std::string NameFromMediaType(std::string_view mediaType);

// "%lu@%s": the current time in seconds and $HOSTNAME (or "random-pc"), cut to size - 1
// characters; the count written, or -1 when it had to be cut.
int GenerateId(std::string& out, std::size_t size);

}  // namespace faxmail::decode
