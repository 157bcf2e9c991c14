// The DNS message formats the resolver speaks: the query it sends and bounds-checked decoding
// of the responses it receives.
//
// Decoding never reads outside the message it is given and never loops: every label,
// character string, field and record is checked against the end of its region, a compression
// pointer must point before the start of the run of labels it ends (so each jump goes strictly
// backwards), and a name longer than DNSRecord::kMaxText characters is malformed. Any such
// fault is a false result; callers decide what survives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/dns/dns_record.h"

namespace faxmail::dns {

inline constexpr int kTypeA = 1;
inline constexpr int kTypeNS = 2;
inline constexpr int kTypeSOA = 6;
inline constexpr int kTypeHINFO = 13;
inline constexpr int kTypeMINFO = 14;
inline constexpr int kTypeMX = 15;
inline constexpr int kTypeAny = 255;
inline constexpr int kClassIN = 1;

// The query's fixed ID, the same for every query.
inline constexpr std::uint8_t kQueryId[2] = {0x86, 0x39};
// The size of the message header, and of a query around its name: header, the name's first
// length byte and closing zero, QTYPE and QCLASS.
inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::size_t kQueryOverhead = 18;
// Longest domain that can be asked: its message length must fit the low byte of the length
// prefix and the whole query a 256-byte buffer.
inline constexpr std::size_t kMaxQueryDomain = 236;
inline constexpr std::size_t kMaxLabel = 63;

// Whether a domain can be asked: 1 to kMaxQueryDomain characters, labels of 1 to kMaxLabel
// characters, no leading, doubled or trailing dot.
bool IsAskableDomain(std::string_view domain);

// The query for domain and qtype as sent over TCP: the two-byte length prefix, then a standard
// query with ID 0x86 0x39 and RD set, one question of QCLASS IN. Empty when the domain cannot
// be asked. Its message length (size less the prefix) is the domain's length + 18.
std::vector<std::uint8_t> BuildQuery(std::string_view domain, int qtype);

// Bounds-checked reads over one received message.
class MessageReader {
 public:
  explicit MessageReader(std::span<const std::uint8_t> message) : m_message(message) {}

  std::size_t Size() const noexcept { return m_message.size(); }
  bool U8(std::size_t at, std::uint8_t& out) const;
  bool U16(std::size_t at, std::uint16_t& out) const;
  bool U32(std::size_t at, std::uint32_t& out) const;

  // The name at at, whose first run of labels lies below end, following compression
  // pointers; after is the position after the name where it starts.
  bool Name(std::size_t at, std::size_t end, std::string& text, std::size_t& after) const;
  // The character string at at, lying below end.
  bool CharacterString(std::size_t at, std::size_t end, std::string& text,
                       std::size_t& after) const;

 private:
  std::span<const std::uint8_t> m_message;
};

// The three section counts of a message header (zero when the header is incomplete).
struct SectionCounts {
  int answers = 0;
  int authority = 0;
  int additional = 0;
  int Total() const noexcept { return answers + authority + additional; }
};
SectionCounts ReadSectionCounts(std::span<const std::uint8_t> message);

// Decodes the resource records of message, the first at offset first, at most count of them,
// appending each to out. Stops at the first record whose framing is malformed (owner name,
// fixed fields or RDATA beyond the message); records before it are kept. A record whose
// RDATA does not decode by its type keeps what did decode and the parse goes on after its
// RDATA, which its RDLENGTH still frames.
void ParseRecords(std::span<const std::uint8_t> message, std::size_t first, int count,
                  std::vector<DNSRecord>& out);

}  // namespace faxmail::dns
