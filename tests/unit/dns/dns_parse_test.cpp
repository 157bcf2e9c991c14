// The query message byte for byte, and the decoding of responses: compression, every RDATA
// form of the table, counts, response order, and what survives a malformed response.
#include <gtest/gtest.h>

#include <string>

#include "gateway/dns/dns_message.h"
#include "gateway/dns/dns_resolver.h"
#include "tests/unit/dns/dns_test_util.h"

namespace faxmail::test {
namespace {

// The query length of a domain: where the records of its response start.
int QueryLengthOf(std::string_view domain) { return static_cast<int>(domain.size() + 18); }

TEST(DnsQuery, ElevenCharacterDomainIsThirtyOneBytes) {
  const Bytes expected = {0x00, 0x1D, 0x86, 0x39, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x07, 'e',  'x',  'a',  'm',  'p',  'l',  'e',
                          0x03, 'c',  'o',  'm',  0x00, 0x00, 0xFF, 0x00, 0x01};
  EXPECT_EQ(dns::BuildQuery("example.com", 255), expected);
  // Letter case is kept; only QTYPE changes for an MX query.
  Bytes mx = dns::BuildQuery("ExAmple.COM", 15);
  ASSERT_EQ(mx.size(), 31u);
  EXPECT_EQ(std::string(mx.begin() + 15, mx.begin() + 22), "ExAmple");
  EXPECT_EQ(mx[28], 15);
}

TEST(DnsQuery, DomainsThatCannotBeAskedGiveNoQuery) {
  const std::string label63(63, 'a');
  // 236 characters: three labels of 63 and one of 44.
  const std::string longest = label63 + "." + label63 + "." + label63 + "." + std::string(44, 'b');
  ASSERT_EQ(longest.size(), 236u);
  struct Case {
    std::string domain;
    bool askable;
  } cases[] = {
      {"a", true},
      {"mail.example.com", true},
      {label63 + ".com", true},
      {longest, true},
      {"", false},
      {longest + "c", false},
      {label63 + "a.com", false},
      {"example.com.", false},
      {".example.com", false},
      {"example..com", false},
      {".", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(dns::IsAskableDomain(c.domain), c.askable) << c.domain;
    const Bytes query = dns::BuildQuery(c.domain, 255);
    EXPECT_EQ(query.empty(), !c.askable) << c.domain;
    if (c.askable) {
      EXPECT_EQ(query.size(), c.domain.size() + 20) << c.domain;
      EXPECT_EQ(query[0], 0);
      EXPECT_EQ(query[1], c.domain.size() + 18);
    }
  }
}

// mail.example.com with two MX records (preference 20 first), their owners and exchanges
// compressed into the question and into the first record, and an A record for the first
// exchange whose owner points into the first record's RDATA.
Bytes CompressedResponse() {
  Wire m;
  m.Header(ResponseFlags(true), 2, 0, 1);
  const std::size_t question = m.Size();  // 12
  m.Question("mail.example.com");
  Wire mx1;
  mx1.U16(20).Labels("mx1").Pointer(question);
  m.Pointer(question).Record(15, 86400, mx1.bytes);
  const std::size_t mx1Name = m.Size() - mx1.Size() + 2;
  Wire mx2;
  mx2.U16(10).Labels("backup").Pointer(question + 5);  // "example.com" in the question
  m.Pointer(question).Record(15, 3600, mx2.bytes);
  m.Pointer(mx1Name).Record(1, 0x7FFFFFFF, Ipv4(192, 0, 2, 1));
  return m.bytes;
}

TEST(DnsParse, CompressionIntoTheQuestionAndEarlierRecords) {
  DNSResolver resolver;
  resolver.TakeResponse(CompressedResponse(), QueryLengthOf("mail.example.com"));
  EXPECT_TRUE(resolver.IsAuthoritative());
  EXPECT_EQ(resolver.RecordCount(), 3);
  EXPECT_EQ(resolver.AnswerCount(), 2);
  EXPECT_EQ(resolver.AuthorityCount(), 0);
  EXPECT_EQ(resolver.AdditionalCount(), 1);

  DNSRecord first, second, address, none;
  ASSERT_TRUE(resolver.FindRecord(0, 15, first));
  ASSERT_TRUE(resolver.FindRecord(1, 15, second));
  EXPECT_FALSE(resolver.FindRecord(2, 15, none));
  // Response order, not preference order.
  EXPECT_EQ(first.preference, 20);
  EXPECT_EQ(first.ownerName, "mail.example.com");
  EXPECT_EQ(first.text1, "mx1.mail.example.com");
  EXPECT_EQ(first.timeToLive, 86400u);
  EXPECT_EQ(second.preference, 10);
  EXPECT_EQ(second.text1, "backup.example.com");
  ASSERT_TRUE(resolver.GetRecord(2, address));
  EXPECT_EQ(address.type, 1);
  EXPECT_EQ(address.ownerName, "mx1.mail.example.com");
  EXPECT_EQ(address.text1, "192.0.2.1");
  EXPECT_EQ(address.timeToLive, 0x7FFFFFFFu);
  EXPECT_EQ(address.preference, 0);
  EXPECT_TRUE(address.text2.empty());
  EXPECT_FALSE(resolver.GetRecord(3, none));
  EXPECT_FALSE(resolver.GetRecord(-1, none));
  EXPECT_FALSE(resolver.FindRecord(-1, 15, none));
}

TEST(DnsParse, LabelsThenAPointerAreJoinedWithADot) {
  Wire m;
  m.Header(ResponseFlags(false), 1, 0, 0);
  m.Question("example.org");
  Wire target;
  target.Labels("a.b").Pointer(12);
  m.Labels("www").Pointer(12).Record(5, 60, target.bytes);
  DNSResolver resolver;
  resolver.TakeResponse(m.bytes, QueryLengthOf("example.org"));
  DNSRecord record;
  ASSERT_TRUE(resolver.GetRecord(0, record));
  EXPECT_EQ(record.ownerName, "www.example.org");
  EXPECT_EQ(record.type, 5);
  EXPECT_EQ(record.text1, "a.b.example.org");
  EXPECT_FALSE(resolver.IsAuthoritative());
}

TEST(DnsParse, EveryRdataFormOfTheTable) {
  Wire m;
  m.Header(ResponseFlags(true), 5, 1, 0);
  m.Question("z.test");
  Wire soa;
  soa.Name("ns1.z.test").Labels("hostmaster").Pointer(12);
  soa.U32(2024010101).U32(3600).U32(600).U32(864000).U32(300);
  m.Pointer(12).Record(6, 300, soa.bytes);
  Wire hinfo;
  hinfo.CharString("RFC8482").CharString("");
  m.Pointer(12).Record(13, 3789, hinfo.bytes);
  Wire minfo;
  minfo.CharString("rmail").CharString("email");
  m.Pointer(12).Record(14, 1, minfo.bytes);
  // AAAA is not in the table: its RDATA is read as a name (here it does not decode), and the
  // record after it is still found through RDLENGTH.
  m.Pointer(12).Record(28, 1, Bytes{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  Wire ptr;
  ptr.Name("host.z.test");
  m.Pointer(12).Record(12, 5, ptr.bytes);
  Wire ns;
  ns.Labels("ns1").Pointer(12);
  m.Pointer(12).Record(2, 7, ns.bytes);

  DNSResolver resolver;
  resolver.TakeResponse(m.bytes, QueryLengthOf("z.test"));
  ASSERT_EQ(resolver.RecordCount(), 6);
  DNSRecord r;
  ASSERT_TRUE(resolver.GetRecord(0, r));
  EXPECT_EQ(r.type, 6);
  EXPECT_EQ(r.text1, "ns1.z.test");
  EXPECT_EQ(r.text2, "hostmaster.z.test");
  EXPECT_EQ(r.serial, 2024010101u);
  EXPECT_EQ(r.refresh, 3600u);
  EXPECT_EQ(r.retry, 600u);
  EXPECT_EQ(r.expire, 864000u);
  EXPECT_EQ(r.minimum, 300u);
  ASSERT_TRUE(resolver.GetRecord(1, r));
  EXPECT_EQ(r.type, 13);
  EXPECT_EQ(r.text1, "RFC8482");
  EXPECT_EQ(r.text2, "");
  EXPECT_EQ(r.timeToLive, 3789u);
  ASSERT_TRUE(resolver.GetRecord(2, r));
  EXPECT_EQ(r.text1, "rmail");
  EXPECT_EQ(r.text2, "email");
  ASSERT_TRUE(resolver.GetRecord(3, r));
  EXPECT_EQ(r.type, 28);
  EXPECT_EQ(r.text1, "");
  ASSERT_TRUE(resolver.GetRecord(4, r));
  EXPECT_EQ(r.type, 12);
  EXPECT_EQ(r.text1, "host.z.test");
  ASSERT_TRUE(resolver.FindRecord(0, 2, r));
  EXPECT_EQ(r.text1, "ns1.z.test");
  EXPECT_EQ(r.ownerName, "z.test");
}

TEST(DnsParse, ZeroRecords) {
  Wire m;
  m.Header(ResponseFlags(true, 3), 0, 0, 0).Question("nothing.test");
  DNSResolver resolver;
  DNSRecord r;
  // Nothing held yet.
  EXPECT_EQ(resolver.RecordCount(), 0);
  EXPECT_FALSE(resolver.GetRecord(0, r));
  resolver.TakeResponse(m.bytes, QueryLengthOf("nothing.test"));
  EXPECT_EQ(resolver.RecordCount(), 0);
  EXPECT_EQ(resolver.AnswerCount() + resolver.AuthorityCount() + resolver.AdditionalCount(), 0);
  EXPECT_FALSE(resolver.FindRecord(0, 15, r));
  EXPECT_FALSE(resolver.GetRecord(0, r));
  EXPECT_TRUE(resolver.IsAuthoritative());
}

TEST(DnsParse, TypeNames) {
  EXPECT_STREQ(DNSResolver::TypeName(5), "CName");
  EXPECT_STREQ(DNSResolver::TypeDescription(5), "Canonical Name");
  EXPECT_EQ(DNSResolver::TypeName(17), nullptr);
  EXPECT_EQ(DNSResolver::TypeDescription(17), nullptr);
  EXPECT_EQ(DNSResolver::TypeName(-1), nullptr);
  EXPECT_STREQ(DNSResolver::TypeName(0), "");
  EXPECT_STREQ(DNSResolver::TypeName(15), "MX");
  EXPECT_STREQ(DNSResolver::TypeDescription(15), "Mail Exchange");
  EXPECT_STREQ(DNSResolver::TypeName(16), "TXT");
  EXPECT_STREQ(DNSResolver::TypeDescription(6), "Start Of Zone Of Authority");
}

// Three records declared: a good MX record, then one that is broken as given and ends the
// message.
Bytes WithBrokenSecondRecord(const std::function<void(Wire&)>& broken) {
  Wire m;
  m.Header(ResponseFlags(true), 3, 0, 0).Question("b.test");
  Wire mx;
  mx.U16(5).Labels("mx").Pointer(12);
  m.Pointer(12).Record(15, 1, mx.bytes);
  broken(m);
  return m.bytes;
}

TEST(DnsParse, MalformedRecordStopsTheParseAndKeepsTheRecordsBefore) {
  struct Case {
    const char* name;
    std::function<void(Wire&)> broken;
  } cases[] = {
      {"pointer to itself", [](Wire& m) { m.Pointer(m.Size()).Record(1, 1, Ipv4(1, 1, 1, 1)); }},
      {"pointer forward", [](Wire& m) { m.Pointer(m.Size() + 2).Name("x").Record(1, 1, {}); }},
      {"pointer beyond the message", [](Wire& m) { m.Pointer(0x3FFF).Record(1, 1, {}); }},
      {"pointer loop through labels",
       [](Wire& m) {
         const std::size_t start = m.Size();
         m.Labels("loop").Pointer(start).Record(1, 1, {});
       }},
      {"label past the end", [](Wire& m) { m.U8(60).Text("short"); }},
      {"pointer cut in half", [](Wire& m) { m.U8(0xC0); }},
      {"fixed fields cut", [](Wire& m) { m.Pointer(12).U16(1).U16(1); }},
      {"rdata past the end", [](Wire& m) { m.Pointer(12).U16(1).U16(1).U32(1).U16(500); }},
      {"name over 255 characters",
       [](Wire& m) {
         for (int i = 0; i < 5; ++i) m.Labels(std::string(60, 'n'));
         m.U8(0).Record(1, 1, Ipv4(1, 1, 1, 1));
       }},
  };
  for (const Case& c : cases) {
    DNSResolver resolver;
    resolver.TakeResponse(WithBrokenSecondRecord(c.broken), QueryLengthOf("b.test"));
    EXPECT_EQ(resolver.RecordCount(), 3) << c.name;
    DNSRecord r;
    ASSERT_TRUE(resolver.FindRecord(0, 15, r)) << c.name;
    EXPECT_EQ(r.text1, "mx.b.test") << c.name;
    // The broken record and everything after it read as empty records.
    ASSERT_TRUE(resolver.GetRecord(1, r)) << c.name;
    EXPECT_EQ(r, DNSRecord()) << c.name;
    ASSERT_TRUE(resolver.GetRecord(2, r)) << c.name;
    EXPECT_EQ(r, DNSRecord()) << c.name;
    EXPECT_FALSE(resolver.FindRecord(0, 1, r)) << c.name;
    EXPECT_TRUE(resolver.FindRecord(1, 0, r)) << c.name;
    EXPECT_FALSE(resolver.FindRecord(2, 0, r)) << c.name;
  }
}

TEST(DnsParse, NameOfExactly255CharactersIsWhole) {
  // Four labels of 63 and one of 3: 4 * 63 + 3 + 4 dots = 259 > 255; three of 63 and one of
  // 63 = 255 with the dots.
  const std::string name = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                           std::string(63, 'c') + "." + std::string(63, 'd');
  ASSERT_EQ(name.size(), 255u);
  Wire m;
  m.Header(ResponseFlags(true), 1, 0, 0).Question("n.test");
  Wire target;
  target.Name(name);
  m.Pointer(12).Record(5, 1, target.bytes);
  DNSResolver resolver;
  resolver.TakeResponse(m.bytes, QueryLengthOf("n.test"));
  DNSRecord r;
  ASSERT_TRUE(resolver.GetRecord(0, r));
  EXPECT_EQ(r.text1, name);
}

TEST(DnsParse, RdataThatDoesNotDecodeLeavesItsTextEmptyAndTheParseGoesOn) {
  Wire m;
  m.Header(ResponseFlags(true), 3, 0, 0).Question("c.test");
  m.Pointer(12).Record(1, 1, Bytes{192, 0, 2});      // A of 3 bytes
  m.Pointer(12).Record(15, 1, Bytes{0, 7, 9, 'x'});  // MX name past its RDATA
  m.Pointer(12).Record(1, 1, Ipv4(198, 51, 100, 4));
  DNSResolver resolver;
  resolver.TakeResponse(m.bytes, QueryLengthOf("c.test"));
  DNSRecord r;
  ASSERT_TRUE(resolver.GetRecord(0, r));
  EXPECT_EQ(r.type, 1);
  EXPECT_EQ(r.text1, "");
  ASSERT_TRUE(resolver.GetRecord(1, r));
  EXPECT_EQ(r.preference, 7);
  EXPECT_EQ(r.text1, "");
  ASSERT_TRUE(resolver.GetRecord(2, r));
  EXPECT_EQ(r.text1, "198.51.100.4");
}

TEST(DnsParse, ShortMessagesHoldNoRecords) {
  for (std::size_t size = 0; size < 12; ++size) {
    Bytes message(size, 0xFF);
    DNSResolver resolver;
    resolver.TakeResponse(message, 20);
    EXPECT_EQ(resolver.RecordCount(), 0) << size;
  }
  // A question section longer than the message.
  Wire m;
  m.Header(ResponseFlags(true), 1, 0, 0);
  DNSResolver resolver;
  resolver.TakeResponse(m.bytes, 40);
  DNSRecord r;
  ASSERT_TRUE(resolver.GetRecord(0, r));
  EXPECT_EQ(r, DNSRecord());
}

}  // namespace
}  // namespace faxmail::test
