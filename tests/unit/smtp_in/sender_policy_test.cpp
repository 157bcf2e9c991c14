// The sender policy's lists: CIDR matching, sender patterns, per-user entries, and lists whose
// entries are malformed (which must never let everyone in).
#include <gtest/gtest.h>

#include "gateway/smtp_in/sender_policy.h"

namespace faxmail {
namespace {

using Verdict = SenderPolicy::Verdict;

TEST(NetworkRuleTest, ContainsTable) {
  struct Case {
    const char* rule;
    const char* client;
    bool inside;
  } cases[] = {
      {"10.0.0.0/8", "10.255.1.2", true},
      {"10.0.0.0/8", "11.0.0.1", false},
      {"10.0.0.0/8", "127.0.0.1", false},
      {"192.0.2.7", "192.0.2.7", true},
      {"192.0.2.7", "192.0.2.8", false},
      {"192.0.2.7/32", "192.0.2.7", true},
      {"192.0.2.0/25", "192.0.2.127", true},
      {"192.0.2.0/25", "192.0.2.128", false},
      {"192.0.2.77/24", "192.0.2.1", true},  // host bits of the entry do not count
      {"0.0.0.0/0", "203.0.113.9", true},
      {"127.0.0.0/8", "127.0.0.1", true},
      {"2001:db8::/32", "2001:db8:1::5", true},
      {"2001:db8::/32", "2001:db9::5", false},
      {"::1", "::1", true},
      {"::1", "::2", false},
      {"::/0", "fe80::1", true},
      // An IPv4 network holds the same client reached over IPv6 (mapped address).
      {"10.0.0.0/8", "::ffff:10.1.2.3", true},
      {"::ffff:10.0.0.0/104", "10.9.9.9", true},
      // An IPv6 network does not hold an IPv4 client outside it.
      {"2001:db8::/32", "10.0.0.1", false},
      {"10.0.0.0/8", "garbage", false},
  };
  for (const auto& c : cases) {
    const auto rule = ParseNetworkRule(c.rule);
    ASSERT_TRUE(rule) << c.rule;
    const auto client = ParseIpAddress(c.client);
    EXPECT_EQ(client && NetworkContains(*rule, *client), c.inside) << c.rule << " " << c.client;
  }
}

TEST(NetworkRuleTest, MalformedEntries) {
  for (const char* entry : {"",
                            "10.0.0.0/33",
                            "10.0.0/8",
                            "10.0.0.0.0",
                            "256.1.1.1",
                            "010.0.0.1",
                            "10.0.0.1/",
                            "10.0.0.1/08",
                            "10.0.0.1/-1",
                            "1.2.3.4/8/8",
                            "a.b.c.d",
                            "10.0.0.0 /8",
                            "::1/129",
                            "1:2:3:4:5:6:7:8:9",
                            "1::2::3",
                            ":::",
                            "12345::",
                            "fe80::1%eth0",
                            "1:2:3:4:5:6:7::8",
                            "::ffff:1.2.3",
                            "host.example"})
    EXPECT_FALSE(ParseNetworkRule(entry)) << entry;
}

TEST(NetworkRuleTest, Ipv6Forms) {
  const auto full = ParseIpAddress("2001:0db8:0000:0000:0000:0000:0000:0001");
  const auto shortForm = ParseIpAddress("2001:DB8::1");
  ASSERT_TRUE(full && shortForm);
  EXPECT_EQ(*full, *shortForm);
  const auto mapped = ParseIpAddress("::ffff:192.0.2.1");
  const auto dotted = ParseIpAddress("192.0.2.1");
  ASSERT_TRUE(mapped && dotted);
  EXPECT_EQ(*mapped, *dotted);
  EXPECT_TRUE(ParseIpAddress("1:2:3:4:5:6:7:8"));
  EXPECT_TRUE(ParseIpAddress("1:2:3:4:5:6::"));
  EXPECT_TRUE(ParseIpAddress("::"));
}

TEST(SenderRuleTest, MatchTable) {
  struct Case {
    const char* rule;
    const char* sender;
    bool match;
  } cases[] = {
      {"alice@example.org", "alice@example.org", true},
      {"alice@example.org", "Alice@EXAMPLE.org", true},  // both parts without letter case
      {"ALICE@Example.ORG", "alice@example.org", true},
      {"alice@example.org", "bob@example.org", false},
      {"alice@example.org", "alice@example.org.evil", false},
      {"alice@example.org", "xalice@example.org", false},
      {"@example.org", "anyone@example.org", true},
      {"@example.org", "anyone@EXAMPLE.ORG", true},
      {"@example.org", "anyone@sub.example.org", false},  // exactly that domain
      {"@example.org", "anyone@badexample.org", false},
      {"@example.org", "example.org", false},
      {"@example.org", "a@b@example.org", true},  // the domain follows the last '@'
      {"@[192.0.2.1]", "x@[192.0.2.1]", true},
  };
  for (const auto& c : cases) {
    const auto rule = ParseSenderRule(c.rule);
    ASSERT_TRUE(rule) << c.rule;
    EXPECT_TRUE(rule->user.empty());
    EXPECT_EQ(SenderMatches(*rule, c.sender), c.match) << c.rule << " " << c.sender;
  }
}

TEST(SenderRuleTest, PerUserAndMalformed) {
  const auto rule = ParseSenderRule("bob@corp.example:@fax.example");
  ASSERT_TRUE(rule);
  EXPECT_EQ(rule->user, "bob@corp.example");
  EXPECT_EQ(rule->domain, "fax.example");
  EXPECT_TRUE(rule->local.empty());
  for (const char* entry :
       {"", "alice", "alice@", "@", "@.example", "@exa..mple", "@exa mple", "<alice@example.org>",
        ":@example.org", "bad user:@example.org", "@example.org:", "a@b,c", "@[1.2.3.4"})
    EXPECT_FALSE(ParseSenderRule(entry)) << entry;
  EXPECT_FALSE(ParseSenderRule(std::string(65, 'u') + ":@example.org"));
}

TEST(SplitListTest, CommasAndBlanks) {
  const auto entries = SplitList(" a, b ,,c\td\r\ne ,");
  const std::vector<std::string_view> expected = {"a", "b", "c", "d", "e"};
  EXPECT_EQ(entries, expected);
  EXPECT_TRUE(SplitList(" , \t").empty());
}

TEST(SenderPolicyTest, NothingSetAllowsAll) {
  const SenderPolicy policy("", " ");
  EXPECT_FALSE(policy.Active());
  EXPECT_EQ(policy.Check("203.0.113.1", std::string(), std::nullopt), Verdict::Allowed);
  EXPECT_FALSE(policy.Refusal("203.0.113.1", "FROM:<>", std::nullopt));
}

TEST(SenderPolicyTest, VerdictTable) {
  const std::optional<std::string> nobody;
  const std::optional<std::string> bob = "bob";
  const std::optional<std::string> carol = "carol";
  struct Case {
    const char* networks;
    const char* senders;
    const char* client;
    std::optional<std::string> sender;
    const std::optional<std::string>& user;
    Verdict verdict;
  } cases[] = {
      {"10.0.0.0/8", "", "10.1.1.1", "a@x.example", nobody, Verdict::Allowed},
      {"10.0.0.0/8", "", "127.0.0.1", "a@x.example", nobody, Verdict::NotInNetworks},
      // Authentication is the stronger proof: it stands in for the address.
      {"10.0.0.0/8", "", "127.0.0.1", "a@x.example", bob, Verdict::Allowed},
      {"10.0.0.0/8, 127.0.0.1", "", "127.0.0.1", "a@x.example", nobody, Verdict::Allowed},
      {"", "@x.example", "127.0.0.1", "a@x.example", nobody, Verdict::Allowed},
      {"", "@x.example", "127.0.0.1", "a@y.example", nobody, Verdict::NotInSenders},
      // The null sender never asks for a fax.
      {"", "@x.example", "127.0.0.1", std::string(), nobody, Verdict::NotInSenders},
      {"", "@x.example", "127.0.0.1", std::nullopt, nobody, Verdict::NotInSenders},
      // Per-user entries: only for that user, and then they are the user's whole list.
      {"", "bob:@b.example", "127.0.0.1", "a@b.example", bob, Verdict::Allowed},
      {"", "bob:@b.example", "127.0.0.1", "a@x.example", bob, Verdict::NotInSenders},
      {"", "bob:@b.example", "127.0.0.1", "a@x.example", carol, Verdict::Allowed},
      {"", "bob:@b.example", "127.0.0.1", "a@x.example", nobody, Verdict::Allowed},
      {"", "bob:@b.example @x.example", "127.0.0.1", "a@x.example", bob, Verdict::Allowed},
      {"", "bob:@b.example @x.example", "127.0.0.1", "a@b.example", nobody, Verdict::NotInSenders},
      {"", "bob:@b.example @x.example", "127.0.0.1", "a@b.example", carol, Verdict::NotInSenders},
      // Both lists: the network is looked at first.
      {"10.0.0.0/8", "@x.example", "127.0.0.1", "a@y.example", nobody, Verdict::NotInNetworks},
      {"10.0.0.0/8", "@x.example", "10.0.0.1", "a@y.example", nobody, Verdict::NotInSenders},
  };
  for (const auto& c : cases) {
    const SenderPolicy policy(c.networks, c.senders);
    EXPECT_EQ(policy.Check(c.client, c.sender, c.user), c.verdict)
        << c.networks << " | " << c.senders << " | " << c.client << " | "
        << c.sender.value_or("(none)") << " | " << c.user.value_or("(none)");
  }
}

TEST(SenderPolicyTest, MalformedEntriesAreSkippedAndReported) {
  std::vector<std::string> problems;
  const SenderPolicy policy("10.0.0.0/33 127.0.0.0/8", "@x.example, nonsense", &problems);
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_NE(problems[0].find("AllowedNetworks: malformed entry skipped: \"10.0.0.0/33\""),
            std::string::npos);
  EXPECT_NE(problems[1].find("AllowedSenders: malformed entry skipped: \"nonsense\""),
            std::string::npos);
  EXPECT_EQ(policy.Check("127.0.0.1", "a@x.example", std::nullopt), Verdict::Allowed);
  EXPECT_EQ(policy.Check("127.0.0.1", "nonsense", std::nullopt), Verdict::NotInSenders);
}

TEST(SenderPolicyTest, ListsOfMalformedEntriesOnlyRefuseEveryone) {
  std::vector<std::string> problems;
  const SenderPolicy policy("10.0.0.0/99 everyone", "*, all", &problems);
  EXPECT_TRUE(policy.Active());
  ASSERT_EQ(problems.size(), 6u);
  EXPECT_NE(problems[2].find("AllowedNetworks: no valid entry"), std::string::npos);
  EXPECT_NE(problems[5].find("AllowedSenders: no valid entry, every sender is refused"),
            std::string::npos);
  for (const char* client : {"127.0.0.1", "10.0.0.1", "::1"})
    EXPECT_EQ(policy.Check(client, "a@x.example", std::nullopt), Verdict::NotInNetworks);
  // An authenticated client passes the networks but meets the empty sender list.
  EXPECT_EQ(policy.Check("127.0.0.1", "a@x.example", std::string("bob")), Verdict::NotInSenders);
}

TEST(SenderPolicyTest, RefusalRepliesAndParsesTheMailArgument) {
  const SenderPolicy policy("127.0.0.0/8", "@x.example");
  EXPECT_FALSE(policy.Refusal("127.0.0.1", "FROM:<a@x.example>", std::nullopt));
  EXPECT_FALSE(policy.Refusal("127.0.0.1", "FROM: <A@X.EXAMPLE> BODY=8BITMIME", std::nullopt));
  EXPECT_EQ(policy.Refusal("127.0.0.1", "FROM:<a@y.example>", std::nullopt),
            std::string_view("550 5.7.1 Sender address not allowed\r\n"));
  EXPECT_EQ(policy.Refusal("127.0.0.1", "FROM:<>", std::nullopt),
            std::string_view(SenderPolicy::kSenderRefused));
  EXPECT_EQ(policy.Refusal("127.0.0.1", "FROM:<a@x.example", std::nullopt),
            std::string_view(SenderPolicy::kSenderRefused));
  EXPECT_EQ(policy.Refusal("192.0.2.1", "FROM:<a@x.example>", std::nullopt),
            std::string_view("550 5.7.1 Client host not allowed to send mail here\r\n"));
}

}  // namespace
}  // namespace faxmail
