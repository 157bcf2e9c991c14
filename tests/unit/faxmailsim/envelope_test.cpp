// Envelopes as the gateway writes them are read back line for line; every envelope it could
// not have written is refused with a reason, never half-read.
#include "tools/faxmailsim/envelope.h"

#include <gtest/gtest.h>

#include <string>

namespace faxmail::sim {
namespace {

// An envelope as the receiver writes it: CR LF, one group, a body and two attachments.
const std::string kGood =
    "FROM: <alice@mail.test>\r\n"
    "TO: \"5550100\" <5550100@fax.test>\r\n"
    "TO: \"Fax User\" <+49-555-0199@fax.test>\r\n"
    "SUBJECT: Quarterly report\r\n"
    "\r\n"
    "BEGIN BODY\r\n"
    "<<ENV12.bdy>>\r\n"
    "END BODY\r\n"
    "\r\n"
    "BEGIN ATTACH\r\n"
    "<<report.pdf:ATT3.pdf>>\r\n"
    "<<notes.text:ATT4.tex>>\r\n"
    "END ATTACH\r\n";

TEST(Envelope, GatewayEnvelopeIsReadLineForLine) {
  Envelope e;
  ASSERT_EQ(ParseEnvelope(kGood, e), "");
  ASSERT_EQ(e.recipients.size(), 2u);
  EXPECT_EQ(e.recipients[0].line, "\"5550100\" <5550100@fax.test>");
  EXPECT_EQ(e.recipients[0].address, "5550100@fax.test");
  EXPECT_EQ(e.recipients[0].number, "5550100");
  EXPECT_TRUE(e.recipients[0].numeric);
  EXPECT_EQ(e.recipients[1].number, "+49-555-0199");
  EXPECT_TRUE(e.recipients[1].numeric);
  for (const Recipient& r : e.recipients) {
    EXPECT_EQ(r.sender, "alice@mail.test");
    EXPECT_EQ(r.subject, "Quarterly report");
  }
  EXPECT_EQ(e.bodyName, "ENV12.bdy");
  ASSERT_EQ(e.attachments.size(), 2u);
  EXPECT_EQ(e.attachments[0].shownName, "report.pdf");
  EXPECT_EQ(e.attachments[0].storedName, "ATT3.pdf");
  EXPECT_EQ(e.attachments[1].shownName, "notes.text");
  EXPECT_EQ(e.attachments[1].storedName, "ATT4.tex");
}

TEST(Envelope, WithoutAttachmentsAndWithLfLineEnds) {
  Envelope e;
  ASSERT_EQ(ParseEnvelope("FROM: <a@b.test>\nTO: <12@f.test>\nSUBJECT: \n\nBEGIN BODY\n"
                          "<<ENV1.bdy>>\nEND BODY\n\n",
                          e),
            "");
  EXPECT_TRUE(e.attachments.empty());
  ASSERT_EQ(e.recipients.size(), 1u);
  EXPECT_EQ(e.recipients[0].subject, "");
}

TEST(Envelope, EachGroupKeepsItsOwnSenderAndSubject) {
  // A message with an enclosed message gives two groups.
  Envelope e;
  ASSERT_EQ(ParseEnvelope("FROM: <a@x.test>\r\nTO: <1@f.test>\r\nSUBJECT: outer\r\n"
                          "FROM: <b@y.test>\r\nTO: <2@f.test>\r\nTO: <3@f.test>\r\n"
                          "SUBJECT: inner\r\n\r\nBEGIN BODY\r\n<<ENV2.bdy>>\r\nEND BODY\r\n\r\n",
                          e),
            "");
  ASSERT_EQ(e.recipients.size(), 3u);
  EXPECT_EQ(e.recipients[0].sender, "a@x.test");
  EXPECT_EQ(e.recipients[0].subject, "outer");
  EXPECT_EQ(e.recipients[2].sender, "b@y.test");
  EXPECT_EQ(e.recipients[2].subject, "inner");
}

TEST(Envelope, NumbersThatAreNotNumeric) {
  struct Case {
    const char* to;
    const char* number;
    bool numeric;
  };
  const Case cases[] = {
      {"<5550100@fax.test>", "5550100", true},
      {"\"x\" <+1-555-0100@fax.test>", "+1-555-0100", true},
      {"<bob@fax.test>", "bob", false},
      {"<555 0100@fax.test>", "555 0100", false},
      {"<--@fax.test>", "--", false},
      {"<123456789012345678901@fax.test>", "123456789012345678901", false},  // 21 digits
      {"<12345678901234567890@fax.test>", "12345678901234567890", true},
      {"<@fax.test>", "@fax.test", false},
  };
  for (const Case& c : cases) {
    Envelope e;
    const std::string text = "FROM: <a@b.test>\r\nTO: " + std::string(c.to) +
                             "\r\nSUBJECT: s\r\n\r\nBEGIN BODY\r\n<<E.bdy>>\r\nEND BODY\r\n";
    ASSERT_EQ(ParseEnvelope(text, e), "") << c.to;
    EXPECT_EQ(e.recipients[0].number, c.number) << c.to;
    EXPECT_EQ(e.recipients[0].numeric, c.numeric) << c.to;
  }
}

std::string WithHeader(const std::string& header) {
  return header + "\r\nBEGIN BODY\r\n<<ENV7.bdy>>\r\nEND BODY\r\n\r\n";
}
std::string WithAttachment(const std::string& line) {
  return WithHeader("FROM: <a@b.test>\r\nTO: <1@f.test>\r\nSUBJECT: s\r\n") + "BEGIN ATTACH\r\n" +
         line + "\r\nEND ATTACH\r\n";
}

TEST(Envelope, HostileEnvelopesAreRefusedWithAReason) {
  const std::string header = "FROM: <a@b.test>\r\nTO: <1@f.test>\r\nSUBJECT: s\r\n";
  std::string manyRecipients = "FROM: <a@b.test>\r\n";
  for (std::size_t i = 0; i <= kMaxRecipients; ++i) manyRecipients += "TO: <1@f.test>\r\n";
  manyRecipients += "SUBJECT: s\r\n";
  std::string manyAttachments = WithHeader(header) + "BEGIN ATTACH\r\n";
  for (std::size_t i = 0; i <= kMaxAttachments; ++i) manyAttachments += "<<a:ATT1.txt>>\r\n";
  manyAttachments += "END ATTACH\r\n";
  struct Case {
    std::string text;
    const char* reason;  // a part of the reason
  };
  const Case cases[] = {
      {"", "no message text section"},
      {WithHeader(""), "no FROM line"},
      {WithHeader("TO: <1@f.test>\r\nSUBJECT: s\r\n"), "TO line before any FROM line"},
      {WithHeader("FROM: <a@b.test>\r\nSUBJECT: s\r\n"), "no TO line"},
      {WithHeader("FROM: <a@b.test>\r\nTO: <1@f.test>\r\n"), "no SUBJECT line"},
      {WithHeader("FROM: <>\r\nTO: <1@f.test>\r\nSUBJECT: s\r\n"), "FROM line without an address"},
      {WithHeader("FROM: <a b@c.test>\r\nTO: <1@f.test>\r\nSUBJECT: s\r\n"), "not a usable sender"},
      {WithHeader("FROM: <a@b.test>\r\nTO: <>\r\nSUBJECT: s\r\n"), "TO line without an address"},
      {WithHeader(header + "X-Other: 1\r\n"), "not a header line"},
      {header + "\r\nBEGIN BODY\r\n<<../ENV7.bdy>>\r\nEND BODY\r\n", "not a plain file name"},
      {header + "\r\nBEGIN BODY\r\n<<..>>\r\nEND BODY\r\n", "not a plain file name"},
      {header + "\r\nBEGIN BODY\r\n<</etc/passwd>>\r\nEND BODY\r\n", "not a plain file name"},
      {header + "\r\nBEGIN BODY\r\nENV7.bdy\r\nEND BODY\r\n", "message text file's line expected"},
      {header + "\r\nBEGIN BODY\r\n<<ENV7.bdy>>\r\n", "no END BODY line"},
      {header + "\r\nSTART\r\n", "BEGIN BODY expected"},
      {WithAttachment("<<a.txt:../OUT/ATT1.txt>>"), "not a plain file name"},
      {WithAttachment("<<a.txt:..>>"), "not a plain file name"},
      {WithAttachment("<<a.txt:sub/ATT1.txt>>"), "not a plain file name"},
      {WithAttachment("<<a.txt:.hidden>>"), "not a plain file name"},
      {WithAttachment("<<a.txt:>>"), "not a plain file name"},
      {WithAttachment("<<no colon>>"), "an attachment line expected"},
      {WithAttachment("ATT1.txt"), "an attachment line expected"},
      {WithHeader(header) + "BEGIN ATTACH\r\n<<a:ATT1.txt>>\r\n", "no END ATTACH line"},
      {WithAttachment("<<a:ATT1.txt>>") + "more\r\n", "text after END ATTACH"},
      {WithHeader("FROM: <a@b.test>\r\nTO: <1@f.test>\r\nSUBJECT: " +
                  std::string(kMaxEnvelopeLine, 'x') + "\r\n"),
       "longer than 1024 bytes"},
      {std::string(kMaxEnvelopeLine + 1, 'F'), "longer than 1024 bytes"},
      {std::string(kMaxEnvelopeBytes + 1, '\n'), "larger than"},
      {WithHeader(manyRecipients), "more than 100 recipients"},
      {manyAttachments, "more than 32 attachments"},
  };
  for (const Case& c : cases) {
    Envelope e;
    const std::string reason = ParseEnvelope(c.text, e);
    EXPECT_NE(reason.find(c.reason), std::string::npos)
        << "reason: " << reason << "\nenvelope: " << c.text.substr(0, 200);
    for (const char ch : reason) EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << reason;
  }
}

TEST(Envelope, ZeroByteInALineIsRefused) {
  std::string text = WithHeader("FROM: <a@b.test>\r\nTO: <1@f.test>\r\nSUBJECT: s\r\n");
  text.insert(text.find("SUBJECT: s") + 9, 1, '\0');
  Envelope e;
  EXPECT_NE(ParseEnvelope(text, e).find("zero byte"), std::string::npos);
}

TEST(Envelope, RefusalNamesTheLineMadePrintable) {
  Envelope e;
  const std::string reason = ParseEnvelope(WithHeader("FROM: <a@b.test>\r\nX-\x1b[2J: 1\r\n"), e);
  EXPECT_NE(reason.find("line 2"), std::string::npos) << reason;
  EXPECT_EQ(reason.find('\x1b'), std::string::npos) << reason;
}

TEST(Envelope, AddressesAndNumbers) {
  EXPECT_EQ(ExtractAddress("\"A <x>\" <a@b.test>"), "a@b.test");
  EXPECT_EQ(ExtractAddress("  a@b.test "), "a@b.test");
  EXPECT_EQ(ExtractAddress("<a@b.test"), "a@b.test");
  EXPECT_EQ(NormalNumber(" +1 (555) 010-0 "), "15550100");
  EXPECT_TRUE(IsPlainFileName("ATT12.pdf"));
  EXPECT_FALSE(IsPlainFileName(std::string(kMaxStoredName + 1, 'a')));
  EXPECT_FALSE(IsPlainFileName("a\\b"));
  EXPECT_FALSE(IsPlainFileName("a\tb"));
}

}  // namespace
}  // namespace faxmail::sim
