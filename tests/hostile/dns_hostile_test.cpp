// Hostile DNS servers against the resolver: a scripted server on loopback answers each query
// with a broken response (pointer loops, forward pointers, over-long names, RDLENGTH past the
// end, huge counts, an empty or endless response, silence, a wrong id, the TC bit, 500 mail
// exchangers). Each row says the lookup's result and the mail exchangers that survive; then
// the same resolver and a new one both find the exchanger of a sound server, and the test
// process's memory stayed under a bound.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "gateway/dns/dns_resolver.h"
#include "tests/hostile/hostile_support.h"
#include "tests/unit/dns/dns_test_util.h"

namespace faxmail {
namespace {

using test::Bytes;
using test::Reply;
using test::Wire;

constexpr char kDomain[] = "dest.test";
constexpr std::uint32_t kLoopback = 0x7f000001;
// Short deadlines, so that a server that never ends its answer costs the row little; bounds
// against a hang, not measures.
constexpr std::chrono::milliseconds kQueryDeadline{1500};
constexpr std::chrono::milliseconds kLookupDeadline{3000};
// The test process holds at most a few responses of at most 64 KiB and their records.
constexpr long kResidentBoundKiB = test::kResidentBoundKiB;
// Offset of the question's name in a response (right after the header).
constexpr std::size_t kQuestionName = 12;
// Any non-zero result: the row only says the lookup failed.
constexpr int kAnyFailure = -1;

// The header with id and flags, the question for kDomain (all types).
Wire Start(unsigned flags, unsigned an, unsigned ns = 0, unsigned ar = 0, unsigned id = 0x8639) {
  Wire m;
  m.U16(id).U16(flags).U16(1).U16(an).U16(ns).U16(ar).Question(kDomain);
  return m;
}

// An MX record owned by the question's name whose exchange is label + the question's name.
Wire& Mx(Wire& m, const std::string& label, unsigned preference = 10) {
  Wire rdata;
  rdata.U16(preference)
      .U8(static_cast<unsigned>(label.size()))
      .Text(label)
      .U16(0xC000u | kQuestionName);
  return m.Pointer(kQuestionName).Record(15, 3600, rdata.bytes);
}

const unsigned kAuthoritative = test::ResponseFlags(true);

// A record whose framing holds but whose exchange name does not decode stays in the list
// without a name: the sender finds no address for it and goes on with the next one.
const std::vector<std::string> kGoodThenNameless = {"mx1.dest.test", ""};

struct DnsRow {
  const char* name;
  std::function<Reply()> reply;
  int result;                   // of Lookup, or kAnyFailure
  std::vector<std::string> mx;  // the exchangers FindRecord gives, in order
};

Reply Good(const std::string& label) {
  Wire m = Start(kAuthoritative, 1);
  Mx(m, label);
  return test::Answer(m.bytes);
}

// One good MX record, then a second one whose bytes the row breaks with more.
Reply GoodThenBroken(const std::function<void(Wire&)>& broken, unsigned an = 2) {
  Wire m = Start(kAuthoritative, an);
  Mx(m, "mx1");
  broken(m);
  return test::Answer(m.bytes);
}

const DnsRow kDnsRows[] = {
    {"PointerLoopInOwnerName",
     [] { return GoodThenBroken([](Wire& m) {
            m.Pointer(m.Size()).Record(15, 1, {0, 1, 0});
          }); },
     0,
     {"mx1.dest.test"}},
    {"PointerLoopBetweenTwoNames",
     [] {
       return GoodThenBroken([](Wire& m) {
         const std::size_t at = m.Size();
         m.Pointer(at + 2).Pointer(at).Record(15, 1, {0, 1, 0});
       });
     },
     0,
     {"mx1.dest.test"}},
    {"ForwardPointerInExchange",
     [] {
       return GoodThenBroken([](Wire& m) {
         const std::size_t rdata = m.Size() + 2 + 10;
         Wire r;
         r.U16(5).Pointer(rdata + 4).U8(3).Text("fwd").U8(0);
         m.Pointer(kQuestionName).Record(15, 1, r.bytes);
       });
     },
     0, kGoodThenNameless},
    {"NameOver255Characters",
     [] {
       return GoodThenBroken([](Wire& m) {
         Wire r;
         r.U16(5);
         for (int i = 0; i < 5; ++i) r.U8(63).Text(std::string(63, static_cast<char>('a' + i)));
         r.U8(0);
         m.Pointer(kQuestionName).Record(15, 1, r.bytes);
       });
     },
     0, kGoodThenNameless},
    {"RdlengthPastTheEnd",
     [] {
       return GoodThenBroken([](Wire& m) {
         m.Pointer(kQuestionName).U16(15).U16(1).U32(1).U16(500).U16(5).U8(2).Text("mx");
       });
     },
     0,
     {"mx1.dest.test"}},
    {"LabelPastTheEnd",
     [] { return GoodThenBroken([](Wire& m) { m.U8(60).Text("short"); }); },
     0,
     {"mx1.dest.test"}},
    {"HugeCountsInAShortMessage",
     [] { return GoodThenBroken([](Wire&) {}, 65535); },
     0,
     {"mx1.dest.test"}},
    {"HugeCountsInEverySection",
     [] {
       Wire m = Start(kAuthoritative, 65535, 65535, 65535);
       Mx(m, "mx1");
       return test::Answer(m.bytes);
     },
     0,
     {"mx1.dest.test"}},
    {"EmptyResponse",
     [] {
       return Reply{{}, false};
     },
     DNSResolver::kLookupFailed,
     {}},
    {"ZeroLengthResponse",
     [] {
       return Reply{{{0, 0}}, false};
     },
     kAnyFailure,
     {}},
    {"NeverEndingResponse",
     [] {
       Reply reply;
       reply.pieces.push_back({0xFF, 0xFF});
       for (int i = 0; i < 4000; ++i) reply.pieces.push_back(Bytes(16, 0xC0));
       reply.pause = std::chrono::milliseconds(5);
       return reply;
     },
     kAnyFailure,
     {}},
    {"AcceptsAndNeverAnswers",
     [] {
       return Reply{{}, true};
     },
     DNSResolver::kLookupFailed,
     {}},
    {"WrongId",
     // The id is not looked at: one connection carries one query and its answer.
     [] {
       Wire m = Start(kAuthoritative, 1, 0, 0, 0x1234);
       Mx(m, "mx1");
       return test::Answer(m.bytes);
     },
     0,
     {"mx1.dest.test"}},
    {"TruncatedBitSet",
     [] {
       Wire m = Start(kAuthoritative | 0x0200u, 1);
       Mx(m, "mx1");
       return test::Answer(m.bytes);
     },
     0,
     {"mx1.dest.test"}},
    {"FiveHundredMxRecords",
     [] {
       Wire m = Start(kAuthoritative, 500);
       for (int i = 0; i < 500; ++i) Mx(m, "mx" + std::to_string(i), static_cast<unsigned>(i));
       return test::Answer(m.bytes);
     },
     0,
     [] {
       std::vector<std::string> names;
       for (int i = 0; i < 500; ++i) names.push_back("mx" + std::to_string(i) + ".dest.test");
       return names;
     }()},
    {"ReferralToItselfForEver",
     [] {
       // Not authoritative; its name server is this very server (with glue).
       Wire m = Start(test::ResponseFlags(false), 0, 1, 1);
       Wire ns;
       ns.U8(2).Text("ns").U16(0xC000u | kQuestionName);
       m.Pointer(kQuestionName).Record(2, 1, ns.bytes);
       m.U8(2).Text("ns").Pointer(kQuestionName).Record(1, 1, test::Ipv4(127, 0, 0, 1));
       return test::Answer(m.bytes);
     },
     kAnyFailure,
     {}},
};

void PrintTo(const DnsRow& row, std::ostream* os) { *os << row.name; }

std::vector<std::string> Exchangers(const DNSResolver& resolver) {
  std::vector<std::string> names;
  DNSRecord record;
  for (int n = 0; resolver.FindRecord(n, 15, record); ++n) names.push_back(record.text1);
  return names;
}

long OwnResidentKiB() {
  const std::string status = test::ReadWholeFile("/proc/self/status");
  const auto at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

class DnsHostile : public test::RootTest, public ::testing::WithParamInterface<DnsRow> {};

TEST_P(DnsHostile, CleanOutcomeAndTheNextLookupWorks) {
  const DnsRow& row = GetParam();
  const std::uint16_t port = test::FreeLoopbackPort();
  test::ScriptedDnsServer hostile(kLoopback, port, [&](const Bytes&) { return row.reply(); });
  ASSERT_TRUE(hostile.Ok());
  DNSResolver resolver;
  resolver.SetServerPort(port);
  resolver.SetDeadlines(kQueryDeadline, kLookupDeadline);
  const int result = resolver.Lookup("127.0.0.1", kDomain);
  if (row.result == kAnyFailure) {
    EXPECT_NE(result, 0);
  } else {
    EXPECT_EQ(result, row.result);
  }
  EXPECT_EQ(Exchangers(resolver), row.mx);
  EXPECT_LT(OwnResidentKiB(), kResidentBoundKiB);

  // Nothing of the row is left to spoil the next lookup, on the same object or a new one.
  const std::uint16_t goodPort = test::FreeLoopbackPort();
  test::ScriptedDnsServer good(kLoopback, goodPort, [](const Bytes&) { return Good("sound"); });
  ASSERT_TRUE(good.Ok());
  resolver.SetServerPort(goodPort);
  EXPECT_EQ(resolver.Lookup("127.0.0.1", kDomain), 0);
  EXPECT_EQ(Exchangers(resolver), std::vector<std::string>{"sound.dest.test"});
  DNSResolver fresh;
  fresh.SetServerPort(goodPort);
  EXPECT_EQ(fresh.Lookup("127.0.0.1", kDomain), 0);
  EXPECT_EQ(Exchangers(fresh), std::vector<std::string>{"sound.dest.test"});
}

INSTANTIATE_TEST_SUITE_P(Rows, DnsHostile, ::testing::ValuesIn(kDnsRows), test::RowName());

}  // namespace
}  // namespace faxmail
