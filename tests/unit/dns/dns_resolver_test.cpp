// Query and the referral walk against scripted DNS servers on loopback: the bytes sent, the
// results and log entries of every failure, responses arriving in pieces or cut short, the
// step budget, glue, and the MX query after a minimal or refused answer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "gateway/dns/dns_message.h"
#include "gateway/dns/dns_resolver.h"
#include "tests/unit/dns/dns_test_util.h"
#include "tests/unit/net/net_test_util.h"

namespace faxmail::test {
namespace {

constexpr std::uint32_t kFirst = 0x7F000001;   // 127.0.0.1
constexpr std::uint32_t kSecond = 0x7F000002;  // 127.0.0.2

// An authoritative answer for domain with two MX records, preference 20 first.
Bytes MailAnswer(std::string_view domain, unsigned flags) {
  Wire m;
  m.Header(flags, 2, 0, 0).Question(domain);
  Wire mx20, mx10;
  mx20.U16(20).Labels("mx20").Pointer(12);
  mx10.U16(10).Labels("mx10").Pointer(12);
  m.Pointer(12).Record(15, 60, mx20.bytes);
  m.Pointer(12).Record(15, 60, mx10.bytes);
  return m.bytes;
}

// A non-authoritative referral naming the given name servers, each with glue when it has an
// address.
struct NameServer {
  std::string name;
  std::string glue;  // dotted, or empty for none
};
Bytes Referral(std::string_view domain, const std::vector<NameServer>& servers) {
  unsigned glued = 0;
  for (const auto& s : servers) glued += s.glue.empty() ? 0 : 1;
  Wire m;
  m.Header(ResponseFlags(false), 0, static_cast<unsigned>(servers.size()), glued);
  m.Question(domain);
  for (const auto& s : servers) {
    Wire target;
    target.Name(s.name);
    m.Pointer(12).Record(2, 60, target.bytes);
  }
  for (const auto& s : servers) {
    if (s.glue.empty()) continue;
    const std::uint32_t address = platform::NetToHost32(*platform::InetAddr(s.glue));
    m.Name(s.name).Record(
        1, 60,
        Ipv4(static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
             static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)));
  }
  return m.bytes;
}

Bytes Empty(std::string_view domain, unsigned flags) {
  Wire m;
  m.Header(flags, 0, 0, 0).Question(domain);
  return m.bytes;
}

class DnsResolverTest : public LoggedTest {
 protected:
  // A scripted server on kFirst at a free port, and a resolver asking that port.
  std::unique_ptr<ScriptedDnsServer> Serve(std::uint32_t address,
                                           ScriptedDnsServer::Script script) {
    auto server = std::make_unique<ScriptedDnsServer>(address, m_port, std::move(script));
    EXPECT_TRUE(server->Ok());
    return server;
  }
  void SetUp() override {
    LoggedTest::SetUp();
    m_port = FreeLoopbackPort();
    resolver.SetServerPort(m_port);
  }
  std::uint16_t m_port = 0;
  DNSResolver resolver;
};

TEST_F(DnsResolverTest, QuerySendsTheQueryByteForByteAndHoldsTheAnswer) {
  auto server = Serve(
      kFirst, [](const Bytes&) { return Answer(MailAnswer("example.com", ResponseFlags(true))); });
  EXPECT_EQ(resolver.Query("127.0.0.1", "example.com"), 0);
  const auto received = server->Received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0], dns::BuildQuery("example.com", 255));
  EXPECT_EQ(received[0].size(), 31u);
  EXPECT_EQ(resolver.QueryLength(), 29);
  EXPECT_TRUE(resolver.IsAuthoritative());
  DNSRecord r;
  ASSERT_TRUE(resolver.FindRecord(0, 15, r));
  EXPECT_EQ(r.text1, "mx20.example.com");
  EXPECT_EQ(CountEntries("DNS- Lookup NameServer, Domain: 127.0.0.1, example.com"), 1);
  EXPECT_NE(Log().find("(DNS - 84)"), std::string::npos);
  EXPECT_EQ(CountEntries("Closing connection"), 1);
}

TEST_F(DnsResolverTest, DomainThatCannotBeAskedIsRefusedBeforeAnythingIsSent) {
  auto server = Serve(kFirst, [](const Bytes&) { return Answer(Empty("x", ResponseFlags(true))); });
  resolver.TakeResponse(MailAnswer("held.test", ResponseFlags(true)), 27);
  for (const std::string& domain :
       std::vector<std::string>{"example.com.", "", std::string(237, 'a'), "a..b"}) {
    EXPECT_EQ(resolver.Query("127.0.0.1", domain), DNSResolver::kQueryBadDomain) << domain;
    EXPECT_EQ(resolver.Lookup("127.0.0.1", domain), DNSResolver::kLookupFailed) << domain;
  }
  EXPECT_EQ(server->Connections(), 0);
  EXPECT_EQ(CountEntries("DNS- Error: Lookup: Domain cannot be asked: example.com."), 2);
  // The records held before stay.
  DNSRecord r;
  ASSERT_TRUE(resolver.FindRecord(1, 15, r));
  EXPECT_EQ(r.text1, "mx10.held.test");
  EXPECT_TRUE(resolver.IsAuthoritative());
}

TEST_F(DnsResolverTest, ServerThatCannotBeConnectedIsOneAndKeepsTheHeldRecords) {
  resolver.TakeResponse(MailAnswer("held.test", ResponseFlags(true)), 27);
  EXPECT_EQ(resolver.Query("127.0.0.1", "example.com"), DNSResolver::kQueryConnectFailed);
  EXPECT_EQ(CountEntries("DNS- Error: Lookup: Unable to connect to DNS ."), 1);
  EXPECT_NE(Log().find("(DNS - 146)"), std::string::npos);
  EXPECT_GE(CountEntries("WSA Socket Error: (10061)"), 1);
  EXPECT_EQ(resolver.RecordCount(), 2);
  // A name is no address: it is not connected to either.
  EXPECT_EQ(resolver.Query("localhost", "example.com"), DNSResolver::kQueryConnectFailed);
  EXPECT_EQ(resolver.Lookup("127.0.0.1", "example.com"), DNSResolver::kLookupFailed);
}

TEST_F(DnsResolverTest, NoResponseLengthIsTwo) {
  auto server = Serve(kFirst, [](const Bytes&) { return Reply{}; });  // closes at once
  EXPECT_EQ(resolver.Query("127.0.0.1", "example.com"), DNSResolver::kQueryNoResponse);
  EXPECT_EQ(CountEntries("DNS- Error: Lookup: Unable to receive from DNS ."), 1);
  EXPECT_NE(Log().find("(DNS - 163)"), std::string::npos);
  EXPECT_EQ(CountEntries("Closing connection"), 1);
}

TEST_F(DnsResolverTest, SilentServerTimesOutWithTwo) {
  auto server = Serve(kFirst, [](const Bytes&) { return Reply{{}, true}; });
  resolver.SetReceiveTimeout(200);
  EXPECT_EQ(resolver.Query("127.0.0.1", "example.com"), DNSResolver::kQueryNoResponse);
  EXPECT_EQ(CountEntries("WSA Socket Error: (10060)"), 1);
}

// Servers that hold the connection without ever finishing their answer cost one exchange at
// most its deadline, whatever each receive's time-out.
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

TEST_F(DnsResolverTest, ServerThatAcceptsAndNeverAnswersIsGivenUpAtTheDeadline) {
  auto server = Serve(kFirst, [](const Bytes&) { return Reply{{}, true}; });
  const auto start = Clock::now();
  EXPECT_EQ(resolver.Lookup("127.0.0.1", "example.com"), DNSResolver::kLookupFailed);
  EXPECT_LT(Clock::now() - start, 20s);
  EXPECT_EQ(CountEntries("DNS- Error: Lookup: Unable to receive from DNS ."), 1);
  EXPECT_EQ(CountEntries("WSA Socket Error: (10060)"), 1);
}

TEST_F(DnsResolverTest, ServerThatAnswersAByteAtATimeIsCutOffAtTheDeadline) {
  // Each byte well within the receive time-out; the whole answer would take some 40 s.
  auto server = Serve(kFirst, [](const Bytes&) {
    return Dribble(MailAnswer("example.com", ResponseFlags(true)), 500ms);
  });
  const auto start = Clock::now();
  // What arrived is kept, as for any answer cut short.
  EXPECT_EQ(resolver.Query("127.0.0.1", "example.com"), 0);
  EXPECT_LT(Clock::now() - start, 20s);
  EXPECT_LT(resolver.Response().size(), MailAnswer("example.com", ResponseFlags(true)).size());
  EXPECT_EQ(CountEntries("DNS- Error: Lookup: Response incomplete at the deadline: 127.0.0.1"), 1);
}

TEST_F(DnsResolverTest, ServerThatNeverAnswersTheConnectionIsGivenUpAtTheDeadline) {
  UnansweringListener silent;
  resolver.SetServerPort(silent.port);
  const auto start = Clock::now();
  EXPECT_EQ(resolver.Query("127.0.0.1", "example.com"), DNSResolver::kQueryConnectFailed);
  EXPECT_LT(Clock::now() - start, 20s);
  EXPECT_EQ(CountEntries("DNS- Error: Lookup: Unable to connect to DNS ."), 1);
  EXPECT_GE(CountEntries("WSA Socket Error: (10060)"), 1);
}

TEST_F(DnsResolverTest, WalkAlongServersThatNeverAnswerEndsAtTheLookupDeadline) {
  std::vector<NameServer> silent;
  for (int i = 0; i < 30; ++i) silent.push_back({"ns" + std::to_string(i) + ".test", "127.0.0.1"});
  std::atomic<int> queries{0};
  // A referral to itself, and silence for every server of it.
  auto server = Serve(kFirst, [&](const Bytes&) {
    return queries++ == 0 ? Answer(Referral("example.com", silent)) : Reply{{}, true};
  });
  resolver.SetDeadlines(400ms, 1500ms);
  EXPECT_EQ(resolver.Lookup("127.0.0.1", "example.com"), 30);
  // The walk would ask 19 servers and then once more for MX records, 400 ms each; past its
  // deadline nothing more is asked.
  EXPECT_LE(server->Connections(), 6);
  EXPECT_GE(CountEntries("DNS- Error: Lookup: Unable to receive from DNS ."), 2);
  // The referral stays the held answer.
  DNSRecord r;
  ASSERT_TRUE(resolver.FindRecord(0, 2, r));
  EXPECT_EQ(r.text1, "ns0.test");
}

TEST_F(DnsResolverTest, ResponseInPiecesIsReadWhole) {
  const Bytes whole = WithPrefix(MailAnswer("example.com", ResponseFlags(true)));
  // The length prefix split between its bytes, and the body in three pieces.
  const std::vector<Bytes> pieces = {
      Bytes(whole.begin(), whole.begin() + 1), Bytes(whole.begin() + 1, whole.begin() + 20),
      Bytes(whole.begin() + 20, whole.begin() + 50), Bytes(whole.begin() + 50, whole.end())};
  auto server = Serve(kFirst, [&](const Bytes&) { return Reply{pieces, false}; });
  EXPECT_EQ(resolver.Query("127.0.0.1", "example.com"), 0);
  EXPECT_EQ(resolver.Response(), Bytes(whole.begin() + 2, whole.end()));
  DNSRecord r;
  ASSERT_TRUE(resolver.FindRecord(1, 15, r));
  EXPECT_EQ(r.text1, "mx10.example.com");
}

TEST_F(DnsResolverTest, ResponseShorterThanItsLengthIsParsedAsFarAsItGoes) {
  const Bytes message = MailAnswer("example.com", ResponseFlags(true));
  Bytes cut = WithPrefix(message);
  cut[1] = static_cast<std::uint8_t>(cut[1] + 40);  // announces 40 bytes more than come
  cut.resize(cut.size() - 5);                       // and the second record is cut
  auto server = Serve(kFirst, [&](const Bytes&) { return Reply{{cut}, false}; });
  EXPECT_EQ(resolver.Query("127.0.0.1", "example.com"), 0);
  EXPECT_EQ(resolver.Response().size(), message.size() - 5);
  DNSRecord r;
  ASSERT_TRUE(resolver.FindRecord(0, 15, r));
  EXPECT_EQ(r.text1, "mx20.example.com");
  EXPECT_FALSE(resolver.FindRecord(1, 15, r));
  EXPECT_EQ(resolver.RecordCount(), 2);
}

TEST_F(DnsResolverTest, AuthoritativeFirstAnswerEndsTheWalkWhateverItsRcode) {
  auto server = Serve(kFirst, [](const Bytes&) {
    return Answer(MailAnswer("example.com", ResponseFlags(true, 2)));
  });
  EXPECT_EQ(resolver.Lookup("127.0.0.1", "example.com"), 0);
  EXPECT_EQ(server->Received().size(), 1u);
}

TEST_F(DnsResolverTest, ReferralWhoseFirstNameServerIsDownLeadsToTheSecond) {
  auto first = Serve(kFirst, [](const Bytes&) {
    return Answer(
        Referral("example.com", {{"a.ns.test", "127.0.0.3"}, {"b.ns.test", "127.0.0.2"}}));
  });
  auto second = Serve(
      kSecond, [](const Bytes&) { return Answer(MailAnswer("example.com", ResponseFlags(true))); });
  EXPECT_EQ(resolver.Lookup("127.0.0.1", "example.com"), 0);
  EXPECT_EQ(first->Received().size(), 1u);
  EXPECT_EQ(second->Received().size(), 1u);
  EXPECT_EQ(CountEntries("DNS- Lookup NameServer, Domain: 127.0.0.3, example.com"), 1);
  EXPECT_EQ(CountEntries("DNS- Error: Lookup: Unable to connect to DNS ."), 1);
  DNSRecord r;
  ASSERT_TRUE(resolver.FindRecord(0, 15, r));
  EXPECT_EQ(r.preference, 20);
  ASSERT_TRUE(resolver.FindRecord(1, 15, r));
  EXPECT_EQ(r.preference, 10);
}

TEST_F(DnsResolverTest, NameServerWithoutGlueIsResolvedBySystem) {
  auto first = Serve(kFirst, [](const Bytes&) {
    return Answer(Referral("example.com", {{"no-such-host.invalid", ""}, {"127.0.0.2", ""}}));
  });
  auto second = Serve(
      kSecond, [](const Bytes&) { return Answer(MailAnswer("example.com", ResponseFlags(true))); });
  EXPECT_EQ(resolver.Lookup("127.0.0.1", "example.com"), 0);
  EXPECT_EQ(second->Received().size(), 1u);
  EXPECT_EQ(CountEntries("DNS- Error: Lookup: Unable to resolve name server: no-such-host.invalid"),
            1);
}

TEST_F(DnsResolverTest, WalkThatFindsNoNameServerIsTwoAndKeepsItsRecords) {
  auto server = Serve(kFirst, [](const Bytes& query) {
    // Non-authoritative everything: an MX answer only to an MX query.
    if (QueryType(query) == 15) return Answer(MailAnswer("example.com", ResponseFlags(false)));
    return Answer(Empty("example.com", ResponseFlags(false, 4)));  // NOTIMP
  });
  EXPECT_EQ(resolver.Lookup("127.0.0.1", "example.com"), DNSResolver::kLookupNoNameServer);
  const auto received = server->Received();
  ASSERT_EQ(received.size(), 2u);
  // The second query is the first with QTYPE 15.
  Bytes expected = received[0];
  expected[expected.size() - 3] = 15;
  EXPECT_EQ(received[1], expected);
  EXPECT_EQ(received[1], dns::BuildQuery("example.com", 15));
  DNSRecord r;
  ASSERT_TRUE(resolver.FindRecord(0, 15, r));
  EXPECT_EQ(r.text1, "mx20.example.com");
}

TEST_F(DnsResolverTest, MinimalAnswerToAllTypesLeadsToAnMxQuery) {
  auto server = Serve(kFirst, [](const Bytes& query) {
    if (QueryType(query) == 15) return Answer(MailAnswer("example.com", ResponseFlags(true)));
    Wire m;
    m.Header(ResponseFlags(true), 1, 0, 0).Question("example.com");
    Wire hinfo;
    hinfo.CharString("RFC8482").CharString("");
    m.Pointer(12).Record(13, 3789, hinfo.bytes);
    return Answer(m.bytes);
  });
  EXPECT_EQ(resolver.Lookup("127.0.0.1", "example.com"), 0);
  EXPECT_EQ(server->Received().size(), 2u);
  DNSRecord r;
  ASSERT_TRUE(resolver.FindRecord(1, 15, r));
  EXPECT_EQ(r.text1, "mx10.example.com");
  EXPECT_EQ(
      CountEntries("DNS- Lookup: no MX record in the answer, asking for MX records: example.com"),
      1);
}

TEST_F(DnsResolverTest, AnswerWithMxRecordsOfTheDomainIsNotAskedAgain) {
  auto server = Serve(
      kFirst, [](const Bytes&) { return Answer(MailAnswer("Example.COM", ResponseFlags(true))); });
  EXPECT_EQ(resolver.Lookup("127.0.0.1", "example.com"), 0);
  EXPECT_EQ(server->Received().size(), 1u);
}

TEST_F(DnsResolverTest, BudgetOfStepsEndsAWalkInCircles) {
  auto server = Serve(kFirst, [](const Bytes&) {
    return Answer(Referral("example.com", {{"self.ns.test", "127.0.0.1"}}));
  });
  // Each pass and each name server asked is a step: ten passes and ten servers.
  EXPECT_EQ(resolver.Lookup("127.0.0.1", "example.com"), 30);
  EXPECT_EQ(server->Received().size(), 12u);  // 11 for all types, then one for MX
  EXPECT_EQ(resolver.LookupAuthoritative("127.0.0.1", "example.com", 3), 14);
  EXPECT_EQ(resolver.LookupAuthoritative("127.0.0.1", "example.com", 0), 10);
  DNSRecord r;
  ASSERT_TRUE(resolver.FindRecord(0, 2, r));
  EXPECT_EQ(r.text1, "self.ns.test");
}

TEST_F(DnsResolverTest, ReferralWhoseServersAreAllDownSpendsTheBudget) {
  std::vector<NameServer> down;
  for (int i = 0; i < 30; ++i)
    down.push_back({"ns" + std::to_string(i) + ".test", "127.0.0." + std::to_string(10 + i)});
  auto server = Serve(kFirst, [&](const Bytes&) { return Answer(Referral("example.com", down)); });
  // One pass, then 19 servers that cannot be connected.
  EXPECT_EQ(resolver.Lookup("127.0.0.1", "example.com"), 30);
  EXPECT_EQ(CountEntries("DNS- Error: Lookup: Unable to connect to DNS ."), 19);
}

}  // namespace
}  // namespace faxmail::test
