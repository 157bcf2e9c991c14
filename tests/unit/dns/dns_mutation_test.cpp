// Random damage to real responses, bounded in count and seeded for repeatability: whatever a
// server sends, the parse stays inside the message, ends, and leaves consistent records.
#include <gtest/gtest.h>

#include <random>

#include "gateway/dns/dns_resolver.h"
#include "tests/unit/dns/dns_test_util.h"

namespace faxmail::test {
namespace {

constexpr int kMutationsPerSeed = 6000;
constexpr int kRandomMessages = 3000;

// Responses with every feature the parser handles: compression chains, each RDATA form,
// referrals with glue.
std::vector<std::pair<Bytes, int>> Seeds() {
  std::vector<std::pair<Bytes, int>> seeds;
  {
    Wire m;
    m.Header(ResponseFlags(true), 3, 1, 1).Question("mail.example.com");
    Wire mx;
    mx.U16(20).Labels("mx1").Pointer(12);
    m.Pointer(12).Record(15, 60, mx.bytes);
    const std::size_t mxName = m.Size() - mx.Size() + 2;
    Wire soa;
    soa.Labels("ns").Pointer(17).Labels("hostmaster").Pointer(mxName);
    soa.U32(1).U32(2).U32(3).U32(4).U32(5);
    m.Pointer(17).Record(6, 60, soa.bytes);
    Wire hinfo;
    hinfo.CharString("cpu").CharString("os");
    m.Pointer(mxName).Record(13, 60, hinfo.bytes);
    Wire ns;
    ns.Labels("a.ns").Pointer(17);
    m.Pointer(17).Record(2, 60, ns.bytes);
    m.Labels("a.ns").Pointer(17).Record(1, 60, Ipv4(192, 0, 2, 53));
    seeds.emplace_back(m.bytes, 16 + 18);
  }
  {
    Wire m;
    m.Header(ResponseFlags(false), 0, 2, 2).Question("b.test");
    Wire ns1, ns2;
    ns1.Name("ns1.b.test");
    ns2.Labels("ns2").Pointer(12);
    m.Pointer(12).Record(2, 60, ns1.bytes);
    const std::size_t ns1Name = m.Size() - ns1.Size();
    m.Pointer(12).Record(2, 60, ns2.bytes);
    m.Pointer(ns1Name).Record(1, 60, Ipv4(127, 0, 0, 1));
    m.Labels("ns2").Pointer(12).Record(28, 60, Bytes(16, 0x20));
    seeds.emplace_back(m.bytes, 6 + 18);
  }
  return seeds;
}

void CheckConsistent(const DNSResolver& resolver) {
  const int count = resolver.RecordCount();
  ASSERT_GE(count, 0);
  ASSERT_LE(count, 3 * 65535);
  DNSRecord r;
  for (int i = 0; i < std::min(count, 64); ++i) {
    ASSERT_TRUE(resolver.GetRecord(i, r));
    ASSERT_LE(r.ownerName.size(), DNSRecord::kMaxText);
    ASSERT_LE(r.text1.size(), DNSRecord::kMaxText);
    ASSERT_LE(r.text2.size(), DNSRecord::kMaxText);
    if (r.type != 15) {
      ASSERT_EQ(r.preference, 0);
    }
  }
  ASSERT_FALSE(resolver.GetRecord(count, r));
}

TEST(DnsMutation, DamagedResponsesParseWithinBoundsAndEnd) {
  const auto seeds = Seeds();
  for (std::size_t s = 0; s < seeds.size(); ++s) {
    std::mt19937 random(static_cast<std::uint32_t>(1234 + s));
    const Bytes& original = seeds[s].first;
    {
      DNSResolver intact;
      intact.TakeResponse(original, seeds[s].second);
      DNSRecord r;
      ASSERT_TRUE(intact.GetRecord(intact.RecordCount() - 1, r));
      ASSERT_NE(r.type, 0) << "seed " << s << " must parse whole";
    }
    for (int round = 0; round < kMutationsPerSeed; ++round) {
      Bytes message = original;
      const int edits = 1 + static_cast<int>(random() % 6);
      for (int e = 0; e < edits && !message.empty(); ++e) {
        const std::size_t at = random() % message.size();
        switch (random() % 6) {
          case 0: message[at] = static_cast<std::uint8_t>(random()); break;
          case 1: message[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
          case 2: message[at] = static_cast<std::uint8_t>(0xC0 | (random() % 4)); break;
          case 3: message.resize(at); break;
          case 4:
            message.insert(message.begin() + static_cast<long>(at),
                           static_cast<std::uint8_t>(random()));
            break;
          default: message.erase(message.begin() + static_cast<long>(at)); break;
        }
      }
      DNSResolver resolver;
      const int queryLength = seeds[s].second + static_cast<int>(random() % 3) - 1;
      resolver.TakeResponse(message, queryLength);
      CheckConsistent(resolver);
      if (HasFatalFailure()) {
        ADD_FAILURE() << "seed " << s << " round " << round;
        return;
      }
    }
  }
}

TEST(DnsMutation, RandomBytesParseWithinBoundsAndEnd) {
  std::mt19937 random(99);
  for (int round = 0; round < kRandomMessages; ++round) {
    Bytes message(random() % 600);
    for (auto& b : message) b = static_cast<std::uint8_t>(random());
    DNSResolver resolver;
    resolver.TakeResponse(message, static_cast<int>(random() % 40));
    CheckConsistent(resolver);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace faxmail::test
