// Messages split into message/partial parts: each part is stored in the id's folder of the
// store (part_directory.h) until the set is complete, then the joined message is decoded as if
// it had arrived in one piece, within the transaction that brought the last missing part.
//
// Store layout, all under the id's folder: "CT" the total ("%d\n", written by any part that
// carries the total parameter), one file per part named by its number, "FULL" the joined
// message while it is decoded. Parts may arrive in any order, the total with any of them.
//
// Limits: a total or part number above kMaxParts is refused like an invalid one, so that no
// message makes the gateway walk or create more names than that; a set that has seen no new
// part for kStaleSetSeconds is removed when the next split message arrives. Files are opened
// without sharing and never through a symbolic link (refused as "PATH: Is a symbolic link");
// a join that fails keeps every stored part. Runs inside the receiver's work lock: one caller
// at a time.
#pragma once

#include <cstdint>
#include <string>

#include "gateway/decode/decode_sink.h"
#include "gateway/decode/mime_headers.h"
#include "gateway/decode/part_reader.h"

namespace faxmail::decode {

// Parts of one split message at most.
inline constexpr int kMaxParts = 10000;
// A set whose folder has not changed for this long is abandoned (7 days).
inline constexpr std::uint64_t kStaleSetSeconds = 7ull * 24 * 60 * 60;

// Stores one message/partial part read from reader (headers: its header block, type: its
// parameters id, number and total) and decodes the joined message when the set is complete.
// 0 when the part was stored (and, if it completed the set, the message was decoded), 1 on any
// error; the rest of the part is then skipped.
int HandlePartial(PartReader& reader, const PartHeaders& headers, const ContentType& type,
                  DecodeSink& sink, int nesting);

// Removes the sets under partsFolder whose folders have not changed since now - maxAge.
void RemoveStalePartialSets(const std::string& partsFolder, std::uint64_t now,
                            std::uint64_t maxAge = kStaleSetSeconds);

// The leading decimal number of a text (blanks and a sign allowed before it, 0 without
// digits), clamped to the range of int.
int ParseDecimal(std::string_view text);

}  // namespace faxmail::decode
