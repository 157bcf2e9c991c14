// Fuzz target of DNS response decoding: libFuzzer's entry point (clang -fsanitize=fuzzer), also
// driven by tests/fuzz/support/fuzz_driver.cpp under GCC.
//
// The first byte is the length of the domain that was asked (the query then is that + 18 bytes
// long, and the records start there); the rest is what the server sent over TCP: the two-byte
// length prefix, then the message, which may be cut short as a connection that closes early
// cuts it. The message goes through the resolver as a received one (TakeResponse), then every
// record is read back by index and by type, and the reader's name and character-string
// decoding runs at offsets taken from the message itself.
//
// Checked: every decoded text is at most DNSRecord::kMaxText characters, the record list never
// holds more records than the header counts, and the records of a type found by FindRecord
// are those GetRecord gives in order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gateway/dns/dns_message.h"
#include "gateway/dns/dns_resolver.h"

namespace {

using namespace faxmail;

// Record types asked of FindRecord: every type the resolver names, and one it does not.
constexpr int kTypesAsked = 18;
// Records read back by index; beyond the records a message of 64 KiB can hold at the sizes the
// fuzzer reaches.
constexpr int kRecordsChecked = 256;

[[noreturn]] void Fail(const char* what, int index) {
  std::fprintf(stderr, "%s (record %d)\n", what, index);
  std::abort();
}

void CheckRecord(const DNSRecord& record, int index) {
  for (const std::string* text : {&record.ownerName, &record.text1, &record.text2})
    if (text->size() > DNSRecord::kMaxText) Fail("a text over the longest name", index);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int queryLength = static_cast<int>(std::min<std::size_t>(data[0], dns::kMaxQueryDomain)) +
                          static_cast<int>(dns::kQueryOverhead);
  std::span<const std::uint8_t> stream(data + 1, size - 1);
  // The length prefix frames the message; a stream that ends before it keeps what arrived.
  if (stream.size() < 2) return 0;
  const std::size_t length = (std::size_t{stream[0]} << 8) | stream[1];
  const std::span<const std::uint8_t> message =
      stream.subspan(2, std::min(length, stream.size() - 2));

  DNSResolver resolver;
  resolver.TakeResponse(message, queryLength);
  const int count = resolver.RecordCount();
  if (count != resolver.AnswerCount() + resolver.AuthorityCount() + resolver.AdditionalCount())
    Fail("the section counts do not add up", count);
  // The header may count up to three times 65535 records while the message holds a few: the
  // first kRecordsChecked indices and the last ones are enough to judge the list.
  std::vector<DNSRecord> records;
  for (const int i : {-1, count - 1, count, count + 1}) {
    DNSRecord record;
    const bool got = resolver.GetRecord(i, record);
    if (got != (i >= 0 && i < count)) Fail("a record index answered wrongly", i);
    if (got) CheckRecord(record, i);
  }
  for (int i = 0; i < std::min(count, kRecordsChecked); ++i) {
    DNSRecord record;
    if (!resolver.GetRecord(i, record)) Fail("a record index answered wrongly", i);
    CheckRecord(record, i);
    records.push_back(std::move(record));
  }
  for (int type = 0; type < kTypesAsked; ++type) {
    (void)DNSResolver::TypeName(type);
    (void)DNSResolver::TypeDescription(type);
    int seen = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (records[i].type != type) continue;
      DNSRecord byType;
      if (!resolver.FindRecord(seen, type, byType) || !(byType == records[i]))
        Fail("FindRecord differs from GetRecord", static_cast<int>(i));
      ++seen;
    }
  }

  // The reader on its own, at offsets the message gives (as pointers and lengths would).
  const dns::MessageReader reader(message);
  for (std::size_t at = 0; at < message.size() && at < 64; ++at) {
    std::string text;
    std::size_t after = 0;
    if (reader.Name(at, message.size(), text, after)) {
      if (text.size() > DNSRecord::kMaxText) Fail("a name over the longest name", -1);
      if (after <= at || after > message.size()) Fail("a name ends outside the message", -1);
    }
    if (reader.CharacterString(at, message.size(), text, after) &&
        (after <= at || after > message.size()))
      Fail("a character string ends outside the message", -1);
  }
  return 0;
}
