// DecodeSink: where DecodeMessage hands what it finds in a message.
//
// The parser decides what each part is; the sink owns the files that the results go to: the
// message text file, the attachment files and their list, and the envelope lines made from the
// From, To, Cc and Subject headers. The gateway's sink (gateway/smtp_in/spool_sink.h) writes
// those files in the data directory; tests use a sink that records the calls.
//
// Calls, for each header block in the order the blocks are read (the top-level block, then the
// blocks of components, enclosed messages and reassembled split messages):
//   BeginHeaders(block)
//   HeaderSeen(kind, block, lineStart, valueStart)   for each recognised header, in block order
//   EndHeaders(block)                                once the block has been scanned
// and then, for a part whose content the parser does not handle itself, exactly one of
//   AppendBodyText(reader, encoding)     a text part of the message text
//   SaveAttachment(reader, ...)          any other part, to be stored as an attachment file
//   NotKept(mediaType)                   a part the parser drops
//
// HeaderSeen reports every recognised header (the four content headers too), so that a sink
// can tell where a To or Cc value ends: lineStart is the offset of the LF that begins the
// header's line, valueStart the offset just after its colon. block stays valid until
// EndHeaders returns, and the values passed to SaveAttachment until it returns.
//
// AppendBodyText and SaveAttachment are called with the reader positioned at the part's body;
// they decode it to its end with DecodeBody (transfer_decoders.h) and return 0, or 1 when the
// output file could not be opened. Whatever of the part a sink leaves unread is skipped by the
// parser afterwards. A sink must not throw.
//
// The sink also carries the SMTP envelope recipients of the transaction, which decide the
// envelope lines: the parser passes nothing about them.
//
// How the gateway's sink does its two file jobs with the decoders of transfer_decoders.h:
//   AppendBodyText: open the message text file for appending in text mode, then
//     DecodeBody(reader, encoding, StreamOutput(file), false, encoding == Base64).
//   SaveAttachment: sent name = GetDispositionFilename(*disposition), else
//     GetNameParam(type.params, "name"); binary output only for a non-text type in base64;
//     digest = DecodeBody(reader, encoding, StreamOutput(file), contentMd5 given, text type);
//     then, with a contentMd5, CheckContentMd5(*digest, *contentMd5, attachment path).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "gateway/decode/mime_headers.h"

namespace faxmail::decode {

class PartReader;

class DecodeSink {
 public:
  virtual ~DecodeSink() = default;

  virtual void BeginHeaders(std::string_view block) = 0;
  virtual void HeaderSeen(HeaderKind kind, std::string_view block, std::size_t lineStart,
                          std::size_t valueStart) = 0;
  // When the block held a sender or an accepted recipient, the sink appends its envelope
  // lines here.
  virtual void EndHeaders(std::string_view block) = 0;

  virtual int AppendBodyText(PartReader& reader, TransferEncoding encoding) = 0;

  // mediaType is the part's (possibly defaulted) media type with its parameters; disposition
  // and contentMd5 run from the value's start to the end of the header block (none when the
  // part has no such header). A sink that lists attachments knows its own list.
  virtual int SaveAttachment(PartReader& reader, bool inAppleDouble, const ContentType& type,
                             TransferEncoding encoding, std::optional<std::string_view> disposition,
                             std::optional<std::string_view> contentMd5) = 0;

  // Told by the parser of each part it read past without keeping any of it (an HTML body, a
  // message type other than rfc822 and partial, a part nested too deeply); the parser has
  // logged it. Counted here, and passed on to PartDropped.
  void NotKept(std::string_view mediaType) {
    ++m_partsNotKept;
    PartDropped(mediaType);
  }
  std::size_t PartsNotKept() const noexcept { return m_partsNotKept; }

 protected:
  virtual void PartDropped(std::string_view /*mediaType*/) {}

 private:
  std::size_t m_partsNotKept = 0;
};

}  // namespace faxmail::decode
