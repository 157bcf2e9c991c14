// DecodeMessage: one mail message (or one body part of it), read once front to back.
//
// Reads the part's header block, decides from its content type what the body is and disposes
// of it: text parts and attachments go to the DecodeSink, multiparts and enclosed messages are
// decoded part by part, split messages are stored and reassembled (partial_message.h). An HTML
// part is skipped unless it comes as a file (a file name, or an attachment disposition), and so
// are message types other than rfc822 and partial. Each skipped part is logged on the secondary
// channel ("DECODE - Part not kept: " and its media type) and told to the sink; the whole
// message's count follows at its end ("DECODE - Parts not kept: " and the count) when there
// were any. The receiver calls it once per message with the default type "text/plain", not in
// AppleDouble.
//
// A message is untrusted: nothing in it can end the process or make memory grow without bound.
// Multiparts, enclosed messages and reassembled messages nest at most kMaxNesting levels; a
// deeper part is skipped with a warning. Only a real allocation failure ends the process
// ("Memory exhausted"). Warnings and progress lines go to the console (decode_console.h).
//
// Results: 0 when the part was handled or skipped, 1 when it failed (its remaining content is
// then skipped); callers do not act on them. Runs on the calling thread, inside the receiver's
// work lock: one message at a time.
#pragma once

#include <string_view>

#include "gateway/decode/decode_sink.h"
#include "gateway/decode/mime_headers.h"
#include "gateway/decode/part_reader.h"

namespace faxmail::decode {

// Levels of multiparts, enclosed messages and reassembled messages one inside the other.
inline constexpr int kMaxNesting = 64;

// nesting is the number of such levels around the part being read: 0 for a whole message.
int DecodeMessage(PartReader& reader, std::string_view defaultType, bool inAppleDouble,
                  DecodeSink& sink, int nesting = 0);

int HandleMultipart(PartReader& reader, const ContentType& type, DecodeSink& sink, int nesting);

// Reads and discards everything up to the end of the current part; returns 0.
int SkipPart(PartReader& reader);

}  // namespace faxmail::decode
