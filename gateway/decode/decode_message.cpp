#include "gateway/decode/decode_message.h"

#include <new>
#include <string>

#include "gateway/decode/decode_console.h"
#include "gateway/decode/partial_message.h"
#include "gateway/service/log.h"

namespace faxmail::decode {

namespace {

constexpr std::string_view kDefaultType = "text/plain";
constexpr char kTag[] = "DECODE";

// A part read past without keeping any of it: logged with its media type and counted, so
// that what a message lost can be told from the log.
int NotKept(PartReader& reader, std::string_view mediaType, DecodeSink& sink) {
  LogMessageText2("DECODE - Part not kept: ", mediaType, kTag, __LINE__);
  sink.NotKept(mediaType);
  return SkipPart(reader);
}

void WarnTooDeep() { Warn("parts nested too deeply; skipping the inner part"); }

int DecodePart(PartReader& reader, std::string_view defaultType, bool inAppleDouble,
               DecodeSink& sink, int nesting) {
  for (;;) {
    const PartHeaders headers = ReadHeaders(reader, sink);
    ConsoleOut("headers len : " + std::to_string(headers.block.size()) + "\n");

    // A value without '/' in its own header field is no media type.
    std::string_view typeValue = defaultType;
    if (const auto value = headers.ContentTypeValue();
        value && HeaderField(*value).find('/') != std::string_view::npos)
      typeValue = *value;
    const ContentType type = ParseContentType(typeValue);
    const std::string_view media = type.mediaType;
    const bool encoded = headers.encoding != TransferEncoding::None;

    if (EqualsNoCase(media, "message/rfc822")) {
      if (encoded) Warn("ignoring invalid content encoding on message/rfc822");
      // The enclosed message is read like a message of its own, in the same part.
      if (nesting >= kMaxNesting) {
        WarnTooDeep();
        return NotKept(reader, media, sink);
      }
      ++nesting;
      defaultType = kDefaultType;
      inAppleDouble = false;
      continue;
    }
    if (EqualsNoCase(media, "message/partial")) {
      if (encoded) Warn("ignoring invalid content encoding on message/partial");
      return HandlePartial(reader, headers, type, sink, nesting);
    }
    const auto disposition = headers.DispositionValue();
    const bool named =
        (disposition && GetDispositionFilename(*disposition)) || GetNameParam(type.params, "name");
    const bool html = StartsWithNoCase(media, "text/html");
    if (StartsWithNoCase(media, "message/")) return NotKept(reader, media, sink);
    // An HTML body is the twin of a plain one, or of nothing a fax can show; an HTML file sent
    // as an attachment is kept like any other file.
    if (html && !named && !(disposition && IsAttachmentDisposition(*disposition)))
      return NotKept(reader, media, sink);
    if (StartsWithNoCase(media, "multipart/")) {
      if (encoded) Warn("ignoring invalid content encoding on multipart");
      return HandleMultipart(reader, type, sink, nesting);
    }

    int result = 0;
    if (!inAppleDouble && StartsWithNoCase(media, "text/") && !html && !named) {
      result = sink.AppendBodyText(reader, headers.encoding);
    } else {
      result = sink.SaveAttachment(reader, inAppleDouble, type, headers.encoding, disposition,
                                   headers.ContentMd5Value());
    }
    SkipPart(reader);  // whatever the sink left unread
    return result;
  }
}

}  // namespace

int SkipPart(PartReader& reader) {
  for (;;) {
    const std::string_view run = reader.PeekRun();
    if (!run.empty()) {
      reader.Skip(run.size());
      continue;
    }
    if (reader.GetChar() == PartReader::kEndOfPart) return 0;
  }
}

int DecodeMessage(PartReader& reader, std::string_view defaultType, bool inAppleDouble,
                  DecodeSink& sink, int nesting) {
  if (nesting > 0) return DecodePart(reader, defaultType, inAppleDouble, sink, nesting);
  try {
    const std::size_t before = sink.PartsNotKept();
    const int result = DecodePart(reader, defaultType, inAppleDouble, sink, nesting);
    if (const std::size_t dropped = sink.PartsNotKept() - before; dropped > 0)
      LogMessage2("DECODE - Parts not kept: " + std::to_string(dropped), kTag, __LINE__);
    return result;
  } catch (const std::bad_alloc&) {
    MemoryExhausted();
  }
}

int HandleMultipart(PartReader& reader, const ContentType& type, DecodeSink& sink, int nesting) {
  if (nesting >= kMaxNesting) {
    WarnTooDeep();
    return NotKept(reader, type.mediaType, sink);
  }
  const std::string_view media = type.mediaType;
  const std::string_view componentType =
      EqualsNoCase(media, "multipart/digest") ? "message/rfc822" : kDefaultType;
  const bool appleDouble = EqualsNoCase(media, "multipart/appledouble");
  std::string boundary;
  if (auto value = GetParam(type.params, "boundary")) {
    boundary = std::move(*value);
  } else {
    Warn("multipart message has no boundary parameter");
  }
  reader.AddBoundary(boundary);
  // A delimiter on the body's first line must be seen as one: it follows a line end.
  reader.UngetNewline();
  SkipPart(reader);  // the preamble
  while (reader.ReadBoundary() == 0)
    DecodePart(reader, componentType, appleDouble, sink, nesting + 1);
  SkipPart(reader);  // the epilogue
  return 0;
}

}  // namespace faxmail::decode
