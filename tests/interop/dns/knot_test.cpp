// The resolver against a real authoritative server (Knot) on loopback port 53: the walk from
// a root through a TLD to a mail domain with and without glue, a first name server that is
// down, a domain without MX records, a server that refuses queries for all types, and a
// server that is not there. Each test has its own addresses 127.53.T.x and its own servers.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "gateway/dns/dns_message.h"
#include "gateway/dns/dns_resolver.h"
#include "tests/support/knot_server.h"
#include "tests/unit/dns/dns_test_util.h"
#include "tests/unit/net/net_test_util.h"

namespace faxmail::test {
namespace {

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// Zones of one test; "@T" stands for the test's own third address byte. Role addresses:
// .1 root, .2 the TLD "test.", .3 the mail domains, .9 nothing listening.
const char kRootZone[] = R"($TTL 3600
. SOA a.root-servers.net. hostmaster.root-servers.net. 1 3600 600 86400 300
. NS a.root-servers.net.
a.root-servers.net. A 127.53.@T.1
test. NS ns1.test.
ns1.test. A 127.53.@T.2
)";

const char kTldZone[] = R"($ORIGIN test.
$TTL 3600
@ SOA ns1 hostmaster 1 3600 600 86400 300
@ NS ns1
ns1 A 127.53.@T.2
mail NS ns1.mail
ns1.mail A 127.53.@T.3
nomx NS ns1.nomx
ns1.nomx A 127.53.@T.3
noglue NS 127.53.@T.3.
twons NS a-dn.twons
twons NS b-up.twons
; Referrals list name servers in canonical order: a-dn (down) comes first.
a-dn.twons A 127.53.@T.9
b-up.twons A 127.53.@T.3
)";

std::string MailZone(const std::string& origin, const std::string& nameServers, bool withMx) {
  std::string zone = "$ORIGIN " + origin +
                     "\n$TTL 3600\n@ SOA ns hostmaster 1 3600 600 86400 300\n" + nameServers +
                     "@ A 192.0.2.25\n";
  if (withMx) zone += "@ MX 20 mx20\n@ MX 10 mx10.other.example.\nmx20 A 127.0.0.1\n";
  return zone;
}

class KnotTest : public LoggedTest {
 protected:
  void SetUp() override {
    LoggedTest::SetUp();
    if (!KnotInstalled()) GTEST_SKIP() << "knotd is not installed (apt package knot)";
  }
  // Root, TLD and mail-domain servers on 127.53.T.1, .2 and .3.
  void StartHierarchy(int t) {
    const std::string T = std::to_string(t);
    m_root = std::make_unique<KnotServer>(Address(t, 1),
                                          std::vector<Zone>{{".", Replace(kRootZone, "@T", T)}});
    m_tld = std::make_unique<KnotServer>(Address(t, 2),
                                         std::vector<Zone>{{"test.", Replace(kTldZone, "@T", T)}});
    const std::string three = Address(t, 3);
    m_mail = std::make_unique<KnotServer>(
        three, std::vector<Zone>{
                   {"mail.test.", MailZone("mail.test.", "@ NS ns1\nns1 A " + three + "\n", true)},
                   {"nomx.test.", MailZone("nomx.test.", "@ NS ns1\nns1 A " + three + "\n", false)},
                   {"noglue.test.", MailZone("noglue.test.", "@ NS " + three + ".\n", true)},
                   {"twons.test.", MailZone("twons.test.",
                                            "@ NS a-dn\n@ NS b-up\na-dn A " + Address(t, 9) +
                                                "\nb-up A " + three + "\n",
                                            true)}});
    ASSERT_TRUE(m_root->Ready()) << m_root->Log();
    ASSERT_TRUE(m_tld->Ready()) << m_tld->Log();
    ASSERT_TRUE(m_mail->Ready()) << m_mail->Log();
  }
  static std::string Address(int t, int role) {
    return "127.53." + std::to_string(t) + "." + std::to_string(role);
  }
  // The mail exchangers found, as "preference name", in the order FindRecord gives them.
  std::vector<std::string> MailExchangers() const {
    std::vector<std::string> found;
    DNSRecord r;
    for (int n = 0; resolver.FindRecord(n, 15, r); ++n)
      found.push_back(std::to_string(r.preference) + " " + r.text1);
    return found;
  }
  int LookupsOf(const std::string& server, const std::string& domain) {
    return CountEntries("DNS- Lookup NameServer, Domain: " + server + ", " + domain);
  }

  DNSResolver resolver;
  std::unique_ptr<KnotServer> m_root, m_tld, m_mail;
};

TEST_F(KnotTest, WalkFromTheRootWithGlueFindsBothMailExchangers) {
  StartHierarchy(1);
  EXPECT_EQ(resolver.Lookup(Address(1, 1), "mail.test"), 0);
  EXPECT_TRUE(resolver.IsAuthoritative());
  const auto found = MailExchangers();
  EXPECT_EQ(std::set<std::string>(found.begin(), found.end()),
            (std::set<std::string>{"20 mx20.mail.test", "10 mx10.other.example"}));
  // Root, TLD, mail server; its minimal answer to all types, then the MX query.
  EXPECT_EQ(LookupsOf(Address(1, 1), "mail.test"), 1);
  EXPECT_EQ(LookupsOf(Address(1, 2), "mail.test"), 1);
  EXPECT_EQ(LookupsOf(Address(1, 3), "mail.test"), 2);
  // The order is the response's: the same as the raw message holds them.
  const auto& raw = resolver.Response();
  ASSERT_EQ(found.size(), 2u);
  const std::string text(raw.begin(), raw.end());
  EXPECT_LT(text.find(found[0].substr(3, 4)), text.find(found[1].substr(3, 4)));
}

TEST_F(KnotTest, NameServerWithoutGlueIsAskedAtTheSystemResolversAddress) {
  StartHierarchy(2);
  EXPECT_EQ(resolver.Lookup(Address(2, 1), "noglue.test"), 0);
  EXPECT_EQ(LookupsOf(Address(2, 3), "noglue.test"), 2);
  EXPECT_EQ(MailExchangers().size(), 2u);
}

TEST_F(KnotTest, FirstNameServerDownLeadsToTheSecond) {
  StartHierarchy(3);
  EXPECT_EQ(resolver.Lookup(Address(3, 1), "twons.test"), 0);
  EXPECT_EQ(LookupsOf(Address(3, 9), "twons.test"), 1);
  EXPECT_EQ(CountEntries("DNS- Error: Lookup: Unable to connect to DNS ."), 1);
  EXPECT_EQ(MailExchangers().size(), 2u);
}

TEST_F(KnotTest, DomainWithoutMxHasNoMailExchangerAfterAskingForMx) {
  StartHierarchy(4);
  EXPECT_EQ(resolver.Lookup(Address(4, 1), "nomx.test"), 0);
  EXPECT_TRUE(MailExchangers().empty());
  EXPECT_EQ(LookupsOf(Address(4, 3), "nomx.test"), 2);
  // The answer to the MX query: no answer, the zone's SOA in the authority section.
  EXPECT_EQ(resolver.AnswerCount(), 0);
  DNSRecord soa;
  ASSERT_TRUE(resolver.FindRecord(0, 6, soa));
  EXPECT_EQ(soa.ownerName, "nomx.test");
  EXPECT_EQ(soa.text1, "ns.nomx.test");
  EXPECT_EQ(soa.text2, "hostmaster.nomx.test");
  EXPECT_EQ(soa.serial, 1u);
  EXPECT_EQ(soa.minimum, 300u);
}

TEST_F(KnotTest, UnknownDomainEndsAtTheAuthoritativeNxdomain) {
  StartHierarchy(5);
  EXPECT_EQ(resolver.Lookup(Address(5, 1), "absent.test"), 0);
  EXPECT_TRUE(MailExchangers().empty());
  EXPECT_EQ(LookupsOf(Address(5, 2), "absent.test"), 2);
}

TEST_F(KnotTest, ServerThatIsDownIsTen) {
  EXPECT_EQ(resolver.Lookup(Address(6, 1), "mail.test"), DNSResolver::kLookupFailed);
  EXPECT_EQ(CountEntries("DNS- Error: Lookup: Unable to connect to DNS ."), 1);
  EXPECT_EQ(CountEntries("WSA Socket Error: (10061)"), 2);
}

// Knot always answers a query for all types, minimally; a server that refuses it with NOTIMP
// is scripted here, on port 53 like the others. It also records the exact bytes sent.
TEST_F(KnotTest, ServerRefusingQueriesForAllTypesStillGivesTheMailExchangers) {
  const std::uint32_t address = platform::NetToHost32(*platform::InetAddr(Address(7, 4)));
  ScriptedDnsServer server(address, 53, [](const Bytes& query) {
    Wire m;
    if (QueryType(query) != 15) {
      m.Header(0x8104, 0, 0, 0).Question("refuse.test");  // NOTIMP, not authoritative
      return Answer(m.bytes);
    }
    m.Header(ResponseFlags(true), 1, 0, 0).Question("refuse.test", 15);
    Wire mx;
    mx.U16(5).Labels("mx").Pointer(12);
    m.Pointer(12).Record(15, 60, mx.bytes);
    return Answer(m.bytes);
  });
  ASSERT_TRUE(server.Ok());
  EXPECT_EQ(resolver.Lookup(Address(7, 4), "refuse.test"), 0);
  EXPECT_EQ(MailExchangers(), std::vector<std::string>{"5 mx.refuse.test"});
  const auto received = server.Received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0], dns::BuildQuery("refuse.test", 255));
  EXPECT_EQ(received[1], dns::BuildQuery("refuse.test", 15));
}

}  // namespace
}  // namespace faxmail::test
