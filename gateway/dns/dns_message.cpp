#include "gateway/dns/dns_message.h"

namespace faxmail::dns {

namespace {

// A length byte with either of its two top bits set is a compression pointer.
constexpr std::uint8_t kPointerBits = 0xC0;
// Fixed fields after a record's owner name: TYPE, CLASS, TTL, RDLENGTH.
constexpr std::size_t kRecordFixedSize = 10;

std::string DottedQuad(const std::uint8_t* bytes) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if (i) text += '.';
    text += std::to_string(bytes[i]);
  }
  return text;
}

// Decodes the RDATA of record, lying in [r, end), by the record's type.
void DecodeRecordData(const MessageReader& reader, std::span<const std::uint8_t> message,
                      std::size_t r, std::size_t end, DNSRecord& record) {
  std::size_t after = 0;
  switch (record.type) {
    case kTypeA:
      if (end - r >= 4) record.text1 = DottedQuad(message.data() + r);
      break;
    case kTypeMX: {
      std::uint16_t preference = 0;
      if (end - r < 2 || !reader.U16(r, preference)) break;
      record.preference = preference;
      if (!reader.Name(r + 2, end, record.text1, after)) record.text1.clear();
      break;
    }
    case kTypeSOA: {
      if (!reader.Name(r, end, record.text1, after)) {
        record.text1.clear();
        break;
      }
      std::size_t at = after;
      if (!reader.Name(at, end, record.text2, after)) {
        record.text2.clear();
        break;
      }
      at = after;
      if (end - at < 20) break;
      reader.U32(at, record.serial);
      reader.U32(at + 4, record.refresh);
      reader.U32(at + 8, record.retry);
      reader.U32(at + 12, record.expire);
      reader.U32(at + 16, record.minimum);
      break;
    }
    case kTypeHINFO:
    case kTypeMINFO: {
      if (!reader.CharacterString(r, end, record.text1, after)) {
        record.text1.clear();
        break;
      }
      if (!reader.CharacterString(after, end, record.text2, after)) record.text2.clear();
      break;
    }
    default:
      if (!reader.Name(r, end, record.text1, after)) record.text1.clear();
      break;
  }
}

}  // namespace

bool IsAskableDomain(std::string_view domain) {
  if (domain.empty() || domain.size() > kMaxQueryDomain) return false;
  std::size_t label = 0;
  for (const char c : domain) {
    if (c == '.') {
      if (label == 0) return false;  // leading or doubled dot
      label = 0;
    } else if (++label > kMaxLabel) {
      return false;
    }
  }
  return label != 0;  // a trailing dot leaves an empty last label
}

std::vector<std::uint8_t> BuildQuery(std::string_view domain, int qtype) {
  std::vector<std::uint8_t> query;
  if (!IsAskableDomain(domain)) return query;
  const std::size_t length = domain.size() + kQueryOverhead;
  query.reserve(length + 2);
  query.push_back(static_cast<std::uint8_t>(length >> 8));
  query.push_back(static_cast<std::uint8_t>(length & 0xFF));
  query.push_back(kQueryId[0]);
  query.push_back(kQueryId[1]);
  query.push_back(0x01);  // QR 0, OPCODE 0, AA 0, TC 0, RD 1
  query.push_back(0x00);  // RA 0, Z 0, RCODE 0
  for (const int count : {1, 0, 0, 0}) {
    query.push_back(0);
    query.push_back(static_cast<std::uint8_t>(count));
  }
  std::size_t start = 0;
  while (start <= domain.size()) {
    std::size_t dot = domain.find('.', start);
    if (dot == std::string_view::npos) dot = domain.size();
    query.push_back(static_cast<std::uint8_t>(dot - start));
    for (std::size_t i = start; i < dot; ++i) query.push_back(static_cast<std::uint8_t>(domain[i]));
    start = dot + 1;
  }
  query.push_back(0);
  query.push_back(static_cast<std::uint8_t>((qtype >> 8) & 0xFF));
  query.push_back(static_cast<std::uint8_t>(qtype & 0xFF));
  query.push_back(0);
  query.push_back(static_cast<std::uint8_t>(kClassIN));
  return query;
}

bool MessageReader::U8(std::size_t at, std::uint8_t& out) const {
  if (at >= m_message.size()) return false;
  out = m_message[at];
  return true;
}

bool MessageReader::U16(std::size_t at, std::uint16_t& out) const {
  if (at >= m_message.size() || m_message.size() - at < 2) return false;
  out = static_cast<std::uint16_t>((m_message[at] << 8) | m_message[at + 1]);
  return true;
}

bool MessageReader::U32(std::size_t at, std::uint32_t& out) const {
  if (at >= m_message.size() || m_message.size() - at < 4) return false;
  out = (std::uint32_t{m_message[at]} << 24) | (std::uint32_t{m_message[at + 1]} << 16) |
        (std::uint32_t{m_message[at + 2]} << 8) | std::uint32_t{m_message[at + 3]};
  return true;
}

bool MessageReader::Name(std::size_t at, std::size_t end, std::string& text,
                         std::size_t& after) const {
  text.clear();
  if (end > m_message.size()) end = m_message.size();
  std::size_t position = at;
  // Start of the current run of labels: a pointer must lead to a position before it, so the
  // runs start ever earlier and the walk ends.
  std::size_t runStart = at;
  bool jumped = false;
  for (;;) {
    if (position >= end) return false;
    const std::uint8_t length = m_message[position];
    if (length & kPointerBits) {
      if (end - position < 2) return false;
      const std::size_t target =
          (static_cast<std::size_t>(length & 0x3F) << 8) | m_message[position + 1];
      if (target >= runStart) return false;
      if (!jumped) {
        after = position + 2;
        jumped = true;
      }
      position = runStart = target;
      // Labels reached through a pointer lie anywhere earlier in the message.
      end = m_message.size();
      continue;
    }
    if (length == 0) {
      if (!jumped) after = position + 1;
      return true;
    }
    if (end - position - 1 < length) return false;
    const std::size_t grown = text.size() + (text.empty() ? 0 : 1) + length;
    if (grown > DNSRecord::kMaxText) return false;
    if (!text.empty()) text += '.';
    text.append(reinterpret_cast<const char*>(m_message.data() + position + 1), length);
    position += 1 + std::size_t{length};
  }
}

bool MessageReader::CharacterString(std::size_t at, std::size_t end, std::string& text,
                                    std::size_t& after) const {
  text.clear();
  if (end > m_message.size()) end = m_message.size();
  if (at >= end) return false;
  const std::uint8_t length = m_message[at];
  if (end - at - 1 < length) return false;
  text.assign(reinterpret_cast<const char*>(m_message.data() + at + 1), length);
  after = at + 1 + std::size_t{length};
  return true;
}

SectionCounts ReadSectionCounts(std::span<const std::uint8_t> message) {
  SectionCounts counts;
  const MessageReader reader(message);
  std::uint16_t an = 0, ns = 0, ar = 0;
  if (reader.U16(6, an) && reader.U16(8, ns) && reader.U16(10, ar)) {
    counts.answers = an;
    counts.authority = ns;
    counts.additional = ar;
  }
  return counts;
}

void ParseRecords(std::span<const std::uint8_t> message, std::size_t first, int count,
                  std::vector<DNSRecord>& out) {
  const MessageReader reader(message);
  std::size_t position = first;
  for (int i = 0; i < count; ++i) {
    DNSRecord record;
    std::size_t q = 0;
    if (!reader.Name(position, message.size(), record.ownerName, q)) return;
    if (message.size() - q < kRecordFixedSize) return;
    std::uint16_t type = 0, rdLength = 0;
    reader.U16(q, type);
    reader.U32(q + 4, record.timeToLive);
    reader.U16(q + 8, rdLength);
    record.type = type;
    const std::size_t r = q + kRecordFixedSize;
    if (message.size() - r < rdLength) return;
    const std::size_t end = r + rdLength;
    DecodeRecordData(reader, message, r, end, record);
    out.push_back(std::move(record));
    position = end;
  }
}

}  // namespace faxmail::dns
