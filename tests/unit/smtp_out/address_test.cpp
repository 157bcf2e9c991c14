// The address routines and reply codes of the sender.
#include <gtest/gtest.h>

#include "gateway/smtp_out/address.h"
#include "gateway/smtp_out/smtp_out.h"

namespace faxmail {
namespace {

TEST(Address, ExtractAddress) {
  struct Case {
    const char* text;
    const char* address;
  };
  const Case cases[] = {
      {"TO: <ALICE@DEST.TEST>", "ALICE@DEST.TEST"},
      {"TO: Alice <alice@dest.test>", "alice@dest.test"},
      {"To: \"Bob <b>\" <bob@x.test>", "bob@x.test"},  // the last "<" counts
      {"TO:<<bob@x.test>>", "bob@x.test"},
      {"TO: <bob@x.test", "bob@x.test"},  // no ">": to the end
      {"TO: < bob@x.test >", "bob@x.test"},
      {"TO: <<<a@b>", "a@b"},
      {"  plain@x.test \r\n", "plain@x.test"},
      {"Name \"quoted@x.test", "\"quoted@x.test"},  // the quote stays
      {"", ""},
      {"<>", ""},
      {"TO: <\t>", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ExtractAddress(c.text), c.address) << c.text;
}

TEST(Address, DomainAfterTheFirstAtSign) {
  struct Case {
    const char* text;
    const char* domain;
  };
  const Case cases[] = {
      {"TO: <ALICE@DEST.TEST>", "DEST.TEST"},
      {"TO: <a@b@c.test>", "b@c.test"},
      {"TO: <postmaster>", "postmaster"},  // no at sign: the whole address
      {"TO: <alice@>", "alice@"},          // nothing after it: the whole address
      {"TO: <127.0.0.1>", "127.0.0.1"},
  };
  for (const Case& c : cases) EXPECT_EQ(AddressDomain(c.text), c.domain) << c.text;
}

TEST(Address, ReplyCodeAtTheStartOfTheLine) {
  struct Case {
    const char* line;
    int code;
  };
  const Case cases[] = {
      {"250 OK", 250},
      {"250-first of many", 250},
      {"354 go ahead", 354},
      {"221", 221},
      {"", 0},
      {"hello", 0},
      {" 250 late", 0},
      {"99999999999999 x", 999999999},
  };
  for (const Case& c : cases) EXPECT_EQ(SMTPOut::GetAck(c.line), c.code) << c.line;
}

}  // namespace
}  // namespace faxmail
