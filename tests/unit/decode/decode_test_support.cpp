#include "tests/unit/decode/decode_test_support.h"

#include <cstdio>

#include "gateway/decode/transfer_decoders.h"
#include "tests/support/test_support.h"

namespace faxmail::decode::test {

namespace {

ConsoleCapture* g_capture = nullptr;

void CaptureOut(std::string_view text) {
  if (!g_capture) return;
  g_capture->out.append(text);
  g_capture->both.append("out: ").append(text);
}

void CaptureErr(std::string_view text) {
  if (!g_capture) return;
  g_capture->err.append(text);
  g_capture->both.append("err: ").append(text);
}

std::string Field(std::string_view block, std::size_t at) {
  return std::string(HeaderField(block.substr(at)));
}

}  // namespace

ConsoleCapture::ConsoleCapture() {
  g_capture = this;
  m_previous = SetConsoleWriters({CaptureOut, CaptureErr});
}

ConsoleCapture::~ConsoleCapture() {
  SetConsoleWriters(m_previous);
  g_capture = nullptr;
}

std::string Escape(std::string_view bytes) {
  std::string out;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      default:
        if (c < 0x20 || c > 0x7e) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out.push_back(ch);
        }
    }
  }
  return out;
}

std::string_view KindName(HeaderKind kind) {
  switch (kind) {
    case HeaderKind::ContentType: return "Content-Type";
    case HeaderKind::ContentTransferEncoding: return "Content-Transfer-Encoding";
    case HeaderKind::ContentDisposition: return "Content-Disposition";
    case HeaderKind::ContentMd5: return "Content-MD5";
    case HeaderKind::From: return "From";
    case HeaderKind::Subject: return "Subject";
    case HeaderKind::To: return "To";
    case HeaderKind::Cc: return "Cc";
  }
  return "?";
}

void RecordingSink::BeginHeaders(std::string_view block) {
  blocks.emplace_back(block);
  transcript += "headers \"" + Escape(block) + "\"\n";
}

void RecordingSink::HeaderSeen(HeaderKind kind, std::string_view block, std::size_t lineStart,
                               std::size_t valueStart) {
  headers.push_back({kind, Field(block, valueStart), lineStart, valueStart});
  transcript += "  ";
  transcript.append(KindName(kind)).append(" \"").append(Escape(headers.back().field)) += "\"\n";
}

void RecordingSink::EndHeaders(std::string_view /*block*/) { transcript += "end headers\n"; }

int RecordingSink::AppendBodyText(PartReader& reader, TransferEncoding encoding) {
  std::string part;
  StringOutput output(part);
  DecodeBody(reader, encoding, output, false, encoding == TransferEncoding::Base64);
  text += part;
  textParts.push_back(part);
  transcript +=
      "text encoding=" + std::to_string(static_cast<int>(encoding)) + " \"" + Escape(part) + "\"\n";
  return 0;
}

int RecordingSink::SaveAttachment(PartReader& reader, bool inAppleDouble, const ContentType& type,
                                  TransferEncoding encoding,
                                  std::optional<std::string_view> disposition,
                                  std::optional<std::string_view> contentMd5) {
  RecordedAttachment a;
  a.mediaType = type.mediaType;
  a.params = type.params;
  a.encoding = encoding;
  a.inAppleDouble = inAppleDouble;
  std::optional<std::string> name;
  if (disposition) {
    a.disposition = std::string(HeaderField(*disposition));
    name = GetDispositionFilename(*disposition);
  }
  if (!name) name = GetParam(type.params, "name");
  a.hasName = name.has_value();
  a.sentName = name.value_or("");
  if (contentMd5) a.contentMd5 = std::string(HeaderField(*contentMd5));
  StringOutput output(a.content);
  const bool textType = StartsWithNoCase(type.mediaType, "text/");
  a.digest = DecodeBody(reader, encoding, output, true, textType).value_or("");
  const std::string path = "ATT" + std::to_string(attachments.size() + 1);
  if (contentMd5) a.md5Ok = CheckContentMd5(a.digest, *contentMd5, path);
  listPaths.push_back(reader.AttachmentListPath());
  transcript += "attachment " + path +
                " name=" + (a.hasName ? "\"" + Escape(a.sentName) + "\"" : "none") + " type=\"" +
                Escape(a.mediaType) + "\" encoding=" + std::to_string(static_cast<int>(encoding)) +
                " appledouble=" + (inAppleDouble ? "1" : "0") + " digest=" + a.digest +
                (contentMd5 ? std::string(" md5=") + (a.md5Ok ? "ok" : "bad") : "") + " \"" +
                Escape(a.content) + "\"\n";
  attachments.push_back(std::move(a));
  return 0;
}

std::unique_ptr<PartReader> MemoryReader(std::string_view data, std::size_t chunk) {
  return std::make_unique<PartReader>(std::make_unique<MemorySource>(data, chunk));
}

std::string DecodeTranscript(std::string_view message, std::size_t chunk) {
  ConsoleCapture console;
  RecordingSink sink;
  auto reader = MemoryReader(message, chunk);
  const int result = DecodeMessage(*reader, "text/plain", false, sink);
  return sink.transcript + "result " + std::to_string(result) + "\n" + console.both;
}

std::string DataFile(const std::string& name) {
  return faxmail::test::ReadWholeFile(faxmail::test::SourceDir() + "/tests/unit/decode/data/" +
                                      name);
}

}  // namespace faxmail::decode::test
