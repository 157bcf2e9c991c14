// MAIL and RCPT arguments as real clients write them, and the malformed ones that must not be
// taken for a path.
#include <gtest/gtest.h>

#include "gateway/smtp_in/mail_path.h"

namespace faxmail {
namespace {

TEST(MailPathTest, PathsAndParametersAreTakenApart) {
  struct Case {
    const char* argument;
    const char* keyword;
    const char* address;
    std::vector<std::pair<std::string, std::string>> parameters;
  } cases[] = {
      {"FROM:<a@example.com>", "FROM", "a@example.com", {}},
      {"from: <a@example.com>", "FROM", "a@example.com", {}},  // blank after the colon
      {"From:a@example.com", "FROM", "a@example.com", {}},     // no brackets
      {"FROM:<>", "FROM", "", {}},                             // the null path
      {"FROM:<a@example.com> SIZE=1024 BODY=8BITMIME",
       "FROM",
       "a@example.com",
       {{"SIZE", "1024"}, {"BODY", "8BITMIME"}}},
      {"FROM:<a@example.com>  size=10\t", "FROM", "a@example.com", {{"SIZE", "10"}}},
      {"TO:<+15551234@fax.example>", "TO", "+15551234@fax.example", {}},
      {"TO:<@relay.example,@b.example:u@fax.example> NOTIFY=NEVER",
       "TO",
       "u@fax.example",
       {{"NOTIFY", "NEVER"}}},
      {"FROM:<\"odd > name\"@example.com> AUTH=<>",
       "FROM",
       "\"odd > name\"@example.com",
       {{"AUTH", "<>"}}},
      {"FROM:<a@example.com> SMTPUTF8", "FROM", "a@example.com", {{"SMTPUTF8", ""}}},
  };
  for (const Case& c : cases) {
    const auto path = ParseMailPath(c.argument, c.keyword);
    ASSERT_TRUE(path) << c.argument;
    EXPECT_EQ(path->address, c.address) << c.argument;
    EXPECT_EQ(path->parameters, c.parameters) << c.argument;
  }
  const auto path = ParseMailPath("FROM:<a@b> SIZE=77", "FROM");
  EXPECT_EQ(path->Parameter("SIZE"), "77");
  EXPECT_EQ(path->Parameter("BODY"), std::nullopt);
}

TEST(MailPathTest, MalformedArgumentsAreNoPath) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "FROM"},
      {"FROM", "FROM"},
      {"FROM <a@b>", "FROM"},  // no colon
      {"TO:<a@b>", "FROM"},    // the other keyword
      {"FROMAGE:<a@b>", "FROM"},
      {"FROM:", "FROM"},             // nothing after the colon
      {"FROM:<a@b", "FROM"},         // bracket not closed
      {"FROM:<\"a>@b", "FROM"},      // quote not closed: the bracket is inside it
      {"FROM:<a@b>SIZE=1", "FROM"},  // no blank before a parameter
      {"FROM:<a@b> =1", "FROM"},     // parameter without a keyword
      {"FROM:<a@b> -X=1", "FROM"},   // a keyword starts with a letter or digit
      {"FROM:<a@b> SI_ZE=1", "FROM"},
      {"FROM:<@relay.example>", "FROM"},  // a source route and no mailbox
  };
  for (const auto& [argument, keyword] : cases)
    EXPECT_FALSE(ParseMailPath(argument, keyword)) << argument;
}

}  // namespace
}  // namespace faxmail
