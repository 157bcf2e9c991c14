#include "gateway/smtp_in/spool_sink.h"

#include <utility>

#include "base/text.h"
#include "gateway/decode/decode_console.h"
#include "gateway/decode/decode_message.h"
#include "gateway/decode/part_reader.h"
#include "gateway/decode/sent_names.h"
#include "gateway/decode/transfer_decoders.h"
#include "gateway/queue/counters.h"
#include "gateway/service/log.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/stream.h"
#include "platform/win_error.h"

namespace faxmail {

using namespace decode;

namespace {

constexpr char kTag[] = "DECODE";

bool IsTextType(std::string_view mediaType) { return StartsWithNoCase(mediaType, "text/"); }

}  // namespace

SpoolSink::SpoolSink(SpoolSinkSettings settings, const EnvelopeList& envelope)
    : m_settings(std::move(settings)),
      m_scan(envelope, m_settings.overrideAddressCheck),
      m_nameWait(kNameInUseWait) {}

void SpoolSink::BeginHeaders(std::string_view) { m_scan.Begin(); }

void SpoolSink::HeaderSeen(HeaderKind kind, std::string_view block, std::size_t lineStart,
                           std::size_t valueStart) {
  m_scan.Seen(kind, block, lineStart, valueStart);
}

void SpoolSink::EndHeaders(std::string_view block) {
  if (!m_scan.End(block)) return;
  const std::string lines =
      FormatEnvelopeLines(m_scan.Sender(), m_scan.Recipients(), m_scan.Subject());
  if (m_settings.envelope) {
    if (!m_settings.envelope->Write(lines)) m_failed = true;
    return;
  }
  platform::Stream out;
  if (platform::Stream::Open(m_settings.envelopePath, "a", platform::StreamMode::Text,
                             platform::Share::None, out) != platform::kErrorSuccess) {
    ReportFileError(m_settings.envelopePath);
    m_failed = true;
    return;
  }
  out.Write(lines);
  if (out.Close() != platform::kErrorSuccess) m_failed = true;
}

int SpoolSink::AppendBodyText(PartReader& reader, TransferEncoding encoding) {
  if (m_settings.messageText) {
    StreamOutput output(*m_settings.messageText);
    DecodeBody(reader, encoding, output, false, encoding == TransferEncoding::Base64);
    if (output.Failed()) m_failed = true;
    return 0;
  }
  platform::Stream out;
  if (platform::Stream::Open(m_settings.messageTextPath, "a", platform::StreamMode::Text,
                             platform::Share::None, out) != platform::kErrorSuccess) {
    ReportFileError(m_settings.messageTextPath);
    m_failed = true;
    SkipPart(reader);
    return 1;
  }
  StreamOutput output(out);
  DecodeBody(reader, encoding, output, false, encoding == TransferEncoding::Base64);
  if (out.Close() != platform::kErrorSuccess || output.Failed()) m_failed = true;
  return 0;
}

int SpoolSink::SaveAttachment(PartReader& reader, bool /*inAppleDouble*/, const ContentType& type,
                              TransferEncoding encoding,
                              std::optional<std::string_view> disposition,
                              std::optional<std::string_view> contentMd5) {
  const bool textType = IsTextType(type.mediaType);
  const bool binary = !textType && encoding == TransferEncoding::Base64;
  LogMessageText2("DECODE - getting attachment name from: ",
                  disposition ? HeaderField(*disposition) : std::string_view(), kTag, __LINE__);
  std::optional<std::string> name;
  if (disposition) name = GetDispositionFilename(*disposition);
  LogMessageText2("DECODE - attachment name: ", name ? *name : std::string(), kTag, __LINE__);
  if (!name || name->empty()) name = GetNameParam(type.params, "name");
  if (!name || name->empty()) name = NameFromMediaType(type.mediaType);
  const std::string sentName = SafeSentName(*name);

  if (m_settings.attachmentListPath.empty() && m_settings.makeAttachmentList) {
    m_settings.attachmentListPath = m_settings.makeAttachmentList();
    m_settings.makeAttachmentList = nullptr;  // asked once: a list that failed is not tried again
  }
  if (m_settings.attachmentListPath.empty()) {
    // Without a list the attachment could not be found again after a crash: it is not saved.
    m_failed = true;
    SkipPart(reader);
    return 1;
  }

  while (IsAttFileNameInUse() != 0)
    platform::SleepMs(static_cast<std::uint32_t>(m_nameWait.count()));
  const std::string stored = AllocAttFileName(SentNameExtension(sentName));
  const std::string path = m_settings.programPath + "OUT" + platform::kPathSeparator + stored;
  m_attachments.push_back(path);

  {
    // The list line is written before the file is made: whatever a crash leaves, every
    // attachment file is named by a list or an envelope.
    platform::Stream list;
    if (platform::Stream::Open(m_settings.attachmentListPath, "a", platform::StreamMode::Text,
                               platform::Share::None, list) == platform::kErrorSuccess) {
      list.Write("<<" + sentName + ":" + stored + ">>\n");
      if (list.Close() != platform::kErrorSuccess) m_failed = true;
    } else {
      ReportFileError("Unable to open out file for write");
      m_failed = true;
    }
  }

  platform::Stream out;
  if (platform::Stream::Open(path, "w",
                             binary ? platform::StreamMode::Binary : platform::StreamMode::Text,
                             platform::Share::None, out) != platform::kErrorSuccess) {
    ReportFileError(path);
    m_failed = true;
    SkipPart(reader);
    ReleaseAttFileName();
    return 1;
  }
  StreamOutput output(out);
  // The digest serves only the Content-MD5 check: a part without one is not digested, which
  // leaves the decode of a large attachment to the speed of the disk rather than of MD5.
  const auto digest = DecodeBody(reader, encoding, output, contentMd5.has_value(), textType);
  if (contentMd5 && digest) CheckContentMd5(*digest, HeaderField(*contentMd5), path);
  // Complete on disk before the envelope that names it can become ready.
  const bool synced = !m_settings.syncAttachments || out.Sync();
  if (out.Close() != platform::kErrorSuccess || !synced || output.Failed()) m_failed = true;
  ReleaseAttFileName();
  return 0;
}

}  // namespace faxmail
