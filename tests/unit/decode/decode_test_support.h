// Helpers of the decoder tests: console capture, a sink that records what the parser hands
// over, and a transcript of one decoding for golden comparisons.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/decode/decode_console.h"
#include "gateway/decode/decode_message.h"
#include "gateway/decode/decode_sink.h"
#include "gateway/decode/part_reader.h"
#include "tests/support/test_support.h"

namespace faxmail::decode::test {

// Captures the decoder's console texts while it lives (one at a time).
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;
  std::string out;  // standard output
  std::string err;  // standard error
  // Both, in order, each text behind "out: " or "err: ".
  std::string both;

 private:
  ConsoleWriters m_previous;
};

struct RecordedHeader {
  HeaderKind kind;
  std::string field;  // the header's value up to the end of its field
  std::size_t lineStart;
  std::size_t valueStart;
};

struct RecordedAttachment {
  std::string sentName;  // disposition filename, else the name parameter, else ""
  bool hasName = false;
  std::string mediaType;
  std::vector<std::string> params;
  TransferEncoding encoding = TransferEncoding::None;
  bool inAppleDouble = false;
  std::optional<std::string> disposition;  // the value's header field
  std::optional<std::string> contentMd5;
  std::string content;
  std::string digest;
  bool md5Ok = true;
};

// Records the calls and decodes bodies into memory the way the gateway's files are written:
// text parts with CRs of base64 data dropped; attachments with a digest, text types without
// their decoded CRs.
class RecordingSink : public DecodeSink {
 public:
  void BeginHeaders(std::string_view block) override;
  void HeaderSeen(HeaderKind kind, std::string_view block, std::size_t lineStart,
                  std::size_t valueStart) override;
  void EndHeaders(std::string_view block) override;
  int AppendBodyText(PartReader& reader, TransferEncoding encoding) override;
  int SaveAttachment(PartReader& reader, bool inAppleDouble, const ContentType& type,
                     TransferEncoding encoding, std::optional<std::string_view> disposition,
                     std::optional<std::string_view> contentMd5) override;

  void PartDropped(std::string_view mediaType) override { notKept.emplace_back(mediaType); }

  std::vector<std::string> blocks;  // every header block, in order
  std::vector<RecordedHeader> headers;
  std::string text;  // all text parts, appended
  std::vector<std::string> textParts;
  std::vector<RecordedAttachment> attachments;
  std::vector<std::string> listPaths;  // reader.AttachmentListPath() at each attachment
  std::vector<std::string> notKept;    // media types of the parts dropped
  // Every call in order, one line each.
  std::string transcript;
};

// Bytes made printable: \n, \r, \t, \\, \" and \xHH for the rest outside 0x20..0x7e.
std::string Escape(std::string_view bytes);
std::string_view KindName(HeaderKind kind);

// Decodes a message from memory (read in pieces of chunk bytes when chunk is not 0) and
// returns the sink's transcript followed by the console texts.
std::string DecodeTranscript(std::string_view message, std::size_t chunk = 0);

std::unique_ptr<PartReader> MemoryReader(std::string_view data, std::size_t chunk = 0);

// Reads a file of tests/unit/decode/data.
std::string DataFile(const std::string& name);

}  // namespace faxmail::decode::test
