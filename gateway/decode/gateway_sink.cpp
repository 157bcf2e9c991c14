#include "gateway/decode/gateway_sink.h"

#include <cctype>

#include "base/utf8.h"

#include "gateway/decode/decode_console.h"
#include "gateway/decode/decode_message.h"
#include "gateway/decode/part_reader.h"
#include "gateway/decode/transfer_decoders.h"
#include "gateway/queue/counters.h"
#include "gateway/service/log.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/stream.h"
#include "platform/win_error.h"

namespace faxmail::decode {

namespace {

constexpr char kTag[] = "DECODE";

bool IsSafeExtensionChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
}

bool IsTextType(std::string_view mediaType) { return StartsWithNoCase(mediaType, "text/"); }

// Where the name's extension starts: its last dot, unless a folder separator follows it (a dot
// in a folder name is no extension).
std::size_t ExtensionDot(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return std::string_view::npos;
  const auto slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos && slash > dot) return std::string_view::npos;
  return dot;
}

}  // namespace

std::string SafeSentName(std::string_view name) {
  std::string safe;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) continue;
    safe.push_back(c == ':' || c == '<' || c == '>' ? '_' : c);
  }
  if (safe.size() < kMaxSentName) return safe;
  // The name's own extension (after its last dot) survives the cut: it is what tells the fax
  // server how to read the file. A dot further from the end is part of the name.
  constexpr std::size_t kRoom = kMaxSentName - 1;
  std::string_view stem(safe);
  std::string_view tail;
  if (const auto dot = ExtensionDot(safe);
      dot != std::string::npos && safe.size() - dot - 1 <= kMaxKeptExtension) {
    stem = stem.substr(0, dot);
    tail = std::string_view(safe).substr(dot);
  }
  return std::string(Utf8Prefix(stem, kRoom - tail.size())) + std::string(tail);
}

std::string SentNameExtension(std::string_view sentName) {
  const auto safeAfter = [sentName](std::size_t dot) {
    std::string extension;
    for (const char c : sentName.substr(dot + 1, kMaxExtension))
      if (IsSafeExtensionChar(c)) extension.push_back(c);
    return extension;
  };
  const auto first = sentName.find('.');
  if (first == std::string_view::npos) return {};
  std::string extension = safeAfter(first);
  // A first dot inside the name ("Nr. 5 Vertrag.pdf", "\xd0\xb3. ...") gives nothing a file
  // name can carry; the name's own extension then still tells the fax server the file's type.
  if (extension.empty())
    if (const auto last = ExtensionDot(sentName); last != std::string_view::npos && last != first)
      extension = safeAfter(last);
  return extension;
}

std::string NameFromMediaType(std::string_view mediaType) {
  struct Known {
    const char* subtype;
    const char* extension;
  };
  static constexpr Known kKnown[] = {{"jpeg", "jpg"}, {"tiff", "tif"}, {"plain", "txt"},
                                     {"octet-stream", "bin"}, {"html", "htm"}};
  const auto slash = mediaType.find('/');
  std::string subtype;
  if (slash != std::string_view::npos)
    for (const char c : mediaType.substr(slash + 1)) {
      if (!IsSafeExtensionChar(c) && c != '-') break;
      subtype.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
  for (const auto& known : kKnown)
    if (subtype == known.subtype) return std::string("attachment.") + known.extension;
  return subtype.empty() ? "attachment.bin" : "attachment." + subtype;
}

int GenerateId(std::string& out, std::size_t size) {
  const auto host = platform::GetEnv("HOSTNAME");
  std::string id = std::to_string(platform::ReadClock().seconds) + "@" +
                   (host ? *host : std::string("random-pc"));
  if (size == 0) {
    out.clear();
    return -1;
  }
  const bool cut = id.size() > size - 1;
  if (cut) id.resize(size - 1);
  out = id;
  return cut ? -1 : static_cast<int>(id.size());
}

GatewaySink::GatewaySink(std::string envelopePath, const EnvelopeList& envelope,
                         std::string bodyPath, std::string programPath)
    : m_envelopePath(std::move(envelopePath)),
      m_scan(envelope),
      m_bodyPath(std::move(bodyPath)),
      m_programPath(std::move(programPath)),
      m_nameWait(kNameInUseWait) {}

void GatewaySink::BeginHeaders(std::string_view) { m_scan.Begin(); }

void GatewaySink::HeaderSeen(HeaderKind kind, std::string_view block, std::size_t lineStart,
                             std::size_t valueStart) {
  m_scan.Seen(kind, block, lineStart, valueStart);
}

void GatewaySink::EndHeaders(std::string_view block) {
  if (!m_scan.End(block)) return;
  platform::Stream out;
  if (platform::Stream::Open(m_envelopePath, "a", platform::StreamMode::Text,
                             platform::Share::None, out) != platform::kErrorSuccess) {
    ReportFileError(m_envelopePath);
    m_failed = true;
    return;
  }
  out.Write(FormatEnvelopeLines(m_scan.Sender(), m_scan.Recipients(), m_scan.Subject()));
  if (out.Close() != platform::kErrorSuccess) m_failed = true;
}

int GatewaySink::AppendBodyText(PartReader& reader, TransferEncoding encoding) {
  platform::Stream out;
  if (platform::Stream::Open(m_bodyPath, "a", platform::StreamMode::Text, platform::Share::None,
                             out) != platform::kErrorSuccess) {
    ReportFileError(m_bodyPath);
    m_failed = true;
    SkipPart(reader);
    return 1;
  }
  StreamOutput output(out);
  DecodeBody(reader, encoding, output, false, encoding == TransferEncoding::Base64);
  if (out.Close() != platform::kErrorSuccess || output.Failed()) m_failed = true;
  return 0;
}

int GatewaySink::SaveAttachment(PartReader& reader, bool /*inAppleDouble*/, const ContentType& type,
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

  while (IsAttFileNameInUse() != 0)
    platform::SleepMs(static_cast<std::uint32_t>(m_nameWait.count()));
  const std::string stored = AllocAttFileName(SentNameExtension(sentName));
  const std::string path = m_programPath + "OUT" + platform::kPathSeparator + stored;
  m_attachments.push_back(path);

  {
    // The list line is written before the file is made: whatever a crash leaves, every
    // attachment file is named by a list or an envelope.
    platform::Stream list;
    if (platform::Stream::Open(reader.AttachmentListPath(), "a", platform::StreamMode::Text,
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
  const auto digest = DecodeBody(reader, encoding, output, true, textType);
  if (contentMd5 && digest) CheckContentMd5(*digest, HeaderField(*contentMd5), path);
  // Complete on disk before the envelope that names it can become ready.
  const bool synced = out.Sync();
  if (out.Close() != platform::kErrorSuccess || !synced || output.Failed()) m_failed = true;
  ReleaseAttFileName();
  return 0;
}

}  // namespace faxmail::decode
