// Which header addresses become fax recipients, and what the envelope lines look like.
#include <gtest/gtest.h>

#include "gateway/decode/sent_names.h"
#include "gateway/decode/recipients.h"
#include "gateway/service/settings.h"

namespace faxmail::decode {
namespace {

TEST(AddressParts, ExtractLocalPartAndFaxNumber) {
  struct Case {
    const char* text;
    const char* address;
    const char* local;
    bool fax;
  } cases[] = {
      {"Fax User <12345@fax.example>", "12345@fax.example", "12345", true},
      {"12345@fax.example", "12345@fax.example", "12345", true},
      {" <+49-30-1234@fax> ", "+49-30-1234@fax", "+49-30-1234", true},
      {"\"Name\" 555@fax", "\" 555@fax", "\" 555", false},
      {"a <b <c@d>>", "c@d", "c", false},
      {"<unterminated@x", "unterminated@x", "unterminated", false},
      {"@lead", "@lead", "@lead", false},
      {"", "", "", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExtractEmailAddress(c.text), c.address) << c.text;
    EXPECT_EQ(LocalPart(c.text), c.local) << c.text;
    EXPECT_EQ(IsFaxNumber(c.text), c.fax) << c.text;
  }
}

TEST(AddressParts, FormatRecipient) {
  struct Case {
    const char* text;
    const char* named;
    const char* bare;
  } cases[] = {
      {"Fax User <12345@fax.example>", "\"Fax User\" <12345@fax.example>", "<12345@fax.example>"},
      {"12345@fax.example", "\"12345\" <12345@fax.example>", "<12345@fax.example>"},
      {"<12345@fax.example>", "\"12345\" <12345@fax.example>", "<12345@fax.example>"},
      {"\"Doe@Home\" <1@f>", "\"DoeHome\" <1@f>", "<1@f>"},
      {"\"\" <1@f>", "\"1\" <1@f>", "<1@f>"},
      {"", "\"\" <>", "<>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatRecipient(c.text, true), c.named) << c.text;
    EXPECT_EQ(FormatRecipient(c.text, false), c.bare) << c.text;
  }
}

TEST(HeaderValues, UnfoldAndEncodedWords) {
  EXPECT_EQ(UnfoldValue("one\n\ttwo\n\tthree\nNext: x"), "onetwothree");
  EXPECT_EQ(UnfoldValue("one\n two\nNext: x"), "one two");
  EXPECT_EQ(UnfoldValue("\nstarts with LF"), "\nstarts with LF");
  struct Case {
    std::string in, out;
  } cases[] = {
      {"=?iso-8859-1?Q?Caf=E9_au_lait?=", "Caf\xE9 au lait"},
      {"Re: =?utf-8?B?SGVsbG8gV29ybGQ=?= tail", "Re: Hello World tail"},
      {"=?x?q?=41=42?=", "AB"},
      {"plain text", "plain text"},
      {"=?x?Z?abc?=", "=?x?Z?abc?="},
      {"=?a?Q?one?= =?a?Q?two?=", "one =?a?Q?two?="},
      {"=?a?Q?bad=ZZx?=", "badZZx"},
      {"=?a?B?QQ\r\n==?=", "A"},
  };
  for (auto c : cases) {
    std::string text = c.in;
    DecodeEncodedWord(text);
    EXPECT_EQ(text, c.out) << c.in;
  }
}

class RecipientsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetOverrideAddressCheck(false); }
  void TearDown() override { SetOverrideAddressCheck(false); }
  std::vector<std::string> Extract(std::string_view value, const EnvelopeList& envelope) {
    std::vector<std::string> out;
    ExtractRecipients(value, envelope, out, nullptr, OverrideAddressCheck());
    return out;
  }
};

TEST_F(RecipientsTest, EnvelopeDecides) {
  const EnvelopeList envelope = {"TO:<12345@fax.example>"};
  struct Case {
    const char* value;
    std::vector<std::string> accepted;
  } cases[] = {
      {" Fax User <12345@fax.example>", {"\"Fax User\" <12345@fax.example>"}},
      {" 12345@fax.example", {"\"12345\" <12345@fax.example>"}},
      {" <12345@FAX.Example>", {"\"12345\" <12345@FAX.Example>"}},
      {" other@example.org", {}},
      {" \"Doe, Jane\" <12345@fax.example>", {"\"Jane\" <12345@fax.example>"}},
      {" a@b, Fax <12345@fax.example>,\n\tother@c", {"\"Fax\" <12345@fax.example>"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Extract(c.value, envelope), c.accepted) << c.value;
}

TEST_F(RecipientsTest, WithoutEnvelopeDigitsAreFaxNumbers) {
  EXPECT_EQ(Extract(" +1-555-0100@fax, alice@example.org", {}),
            std::vector<std::string>{"\"+1-555-0100\" <+1-555-0100@fax>"});
  // An entry with nothing after "TO:" counts as no envelope address.
  EXPECT_EQ(Extract(" 777@fax", {"TO:   "}), std::vector<std::string>{"\"777\" <777@fax>"});
}

TEST_F(RecipientsTest, OverrideAcceptsEveryAddress) {
  SetOverrideAddressCheck(true);
  EXPECT_EQ(Extract(" alice@example.org", {"TO:<1@fax>"}),
            std::vector<std::string>{"\"alice\" <alice@example.org>"});
}

TEST_F(RecipientsTest, LongPiecesAreTakenWhole) {
  const std::string address = std::string(300, '1') + "@fax";
  EXPECT_EQ(Extract(" " + address, {}),
            std::vector<std::string>{"\"" + std::string(300, '1') + "\" <" + address + ">"});
}

TEST(EnvelopeLines, SortedWithoutExactDuplicatesAndControlsRemoved) {
  const std::string lines =
      FormatEnvelopeLines("Alice <alice@example.org>",
                          {"\"Fax\" <2@f>", "\"Fax\" <1@f>", "\"Fax\" <2@f>", "\"Other\" <2@f>"},
                          "=?x?Q?Hi=0ABEGIN_ATTACH=0D=0A<<x:y>>?=");
  EXPECT_EQ(lines,
            "FROM: <alice@example.org>\n"
            "TO: \"Fax\" <1@f>\n"
            "TO: \"Fax\" <2@f>\n"
            "TO: \"Other\" <2@f>\n"
            "SUBJECT: HiBEGIN ATTACH<<x:y>>\n");
  EXPECT_EQ(FormatEnvelopeLines("", {}, ""), "FROM: <>\nSUBJECT: \n");
}

TEST(MatchBudgetTest, PiecesAndLinesAreBoundedPerMessage) {
  MatchBudget budget;
  EXPECT_EQ(budget.Pieces(kMaxAddressPieces - 1), kMaxAddressPieces - 1);
  EXPECT_EQ(budget.Pieces(5), 1u);
  EXPECT_EQ(budget.Pieces(3), 0u);
  EXPECT_EQ(budget.PiecesLeftOut(), 7u);
  for (std::size_t i = 0; i < kMaxMatchLogLines; ++i) ASSERT_TRUE(budget.Line()) << i;
  EXPECT_FALSE(budget.Line());
  EXPECT_FALSE(budget.Line());
  EXPECT_EQ(budget.LinesLeftOut(), 2u);
}

TEST(MatchBudgetTest, PiecesPastTheBoundAreNotMatched) {
  const EnvelopeList envelope = {"TO:<1@f>", "TO:<2@f>"};
  std::string value = "<1@f>";
  for (std::size_t i = 1; i < kMaxAddressPieces; ++i) value += ", other" + std::to_string(i) + "@x";
  value += ", <2@f>";
  MatchBudget budget;
  std::vector<std::string> out;
  ExtractRecipients(value, envelope, out, &budget);
  EXPECT_EQ(out, (std::vector<std::string>{"\"1\" <1@f>"}));
  EXPECT_EQ(budget.PiecesLeftOut(), 1u);
  // Without a budget every piece is matched.
  out.clear();
  ExtractRecipients(value, envelope, out);
  EXPECT_EQ(out, (std::vector<std::string>{"\"1\" <1@f>", "\"2\" <2@f>"}));
}

// Feeds the scan as the parser does: every line of the block that starts with a recognised
// header name, in order (lineStart: the LF before the line, valueStart: after the colon).
bool ScanBlock(HeaderScan& scan, const std::string& block) {
  scan.Begin();
  std::size_t at = 0;
  while ((at = block.find('\n', at)) != std::string::npos) {
    const std::string_view line = std::string_view(block).substr(at + 1);
    const auto colon = line.find(':');
    HeaderKind kind;
    bool known = true;
    if (line.starts_with("To:"))
      kind = HeaderKind::To;
    else if (line.starts_with("Cc:"))
      kind = HeaderKind::Cc;
    else if (line.starts_with("From:"))
      kind = HeaderKind::From;
    else if (line.starts_with("Subject:"))
      kind = HeaderKind::Subject;
    else
      known = false;
    if (known) scan.Seen(kind, block, at, at + 1 + colon + 1);
    ++at;
  }
  return scan.End(block);
}

TEST(HeaderScanTest, ToAndCcValueEnds) {
  const EnvelopeList envelope = {"TO:<1@f>", "TO:<2@f>", "TO:<3@f>"};
  struct Case {
    const char* name;
    std::string block;
    std::vector<std::string> recipients;
  } cases[] = {
      {"continuation lines", "\nTo: <1@f>,\n <2@f>\nSubject: s", {"\"1\" <1@f>", "\"2\" <2@f>"}},
      {"colon in the display name",
       "\nTo: \"Sales: Fax\" <1@f>\nX-Other: y\nSubject: s",
       {"\"Sales: Fax\" <1@f>"}},
      {"pending value at the block end", "\nTo: \"A: B\" <3@f>", {"\"A: B\" <3@f>"}},
      {"To then Cc", "\nTo: <1@f>\nCc: <2@f>", {"\"1\" <1@f>", "\"2\" <2@f>"}},
  };
  for (const auto& c : cases) {
    HeaderScan scan(envelope);
    EXPECT_TRUE(ScanBlock(scan, c.block)) << c.name;
    EXPECT_EQ(scan.Recipients(), c.recipients) << c.name;
  }
}

// A To or Cc value whose first line holds a colon (group syntax, a source route) waits for the
// next recognised header. The header lines before that one are never part of it: with the
// address check overridden every piece of a value is a recipient, so a Date or Message-ID line
// taken into the value would become one.
TEST(HeaderScanTest, PendingValueEndsWithItsOwnField) {
  const EnvelopeList envelope = {"TO:<a@b>", "TO:<c@d>"};
  const std::string after = "\nDate: Tue, 8 Dec 2026 10:00:00 +0000\nMessage-ID: <m1@host.test>\n";
  struct Case {
    const char* name;
    std::string block;
    std::vector<std::string> recipients;  // the same with and without the override
  } cases[] = {
      {"group at the block end", "\nTo: list: a@b, c@d;" + after, {"\"a\" <a@b>", "\"c\" <c@d>"}},
      {"empty group at the block end", "\nTo: undisclosed-recipients:;" + after, {}},
      {"source route at the block end", "\nTo: <@relay:a@b>" + after, {"\"a\" <a@b>"}},
      {"route over several relays",
       "\nTo: Fax Desk <@r1.test,@r2.test:c@d>" + after,
       {"\"Fax Desk\" <c@d>"}},
      {"group over folded lines",
       "\nTo: team: a@b,\n c@d;" + after,
       {"\"a\" <a@b>", "\"c\" <c@d>"}},
      {"group finished by a later header",
       "\nTo: list: a@b;" + after + "Subject: s\n",
       {"\"a\" <a@b>"}},
      {"pending Cc finished by To", "\nCc: nobody:;" + after + "To: <c@d>\n", {"\"c\" <c@d>"}},
      {"address and group in one value",
       "\nTo: <c@d>, list: a@b;" + after,
       {"\"c\" <c@d>", "\"a\" <a@b>"}},
  };
  for (const bool override : {false, true}) {
    SetOverrideAddressCheck(override);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (override ? ", override" : ""));
      HeaderScan scan(envelope, override);
      EXPECT_EQ(ScanBlock(scan, c.block), !c.recipients.empty());
      EXPECT_EQ(scan.Recipients(), c.recipients);
      for (const auto& r : scan.Recipients()) {
        EXPECT_EQ(r.find("m1@host"), std::string::npos) << r;
        EXPECT_EQ(r.find("Date"), std::string::npos) << r;
      }
    }
  }
  SetOverrideAddressCheck(false);
}

TEST(HeaderValues, EveryEncodedWordOfTheSubject) {
  struct Case {
    const char* name;
    std::string in, out;
  } cases[] = {
      {"two Q words", "=?iso-8859-1?Q?Caf=E9?= =?iso-8859-1?Q?_au_lait?=", "Caf\xE9 au lait"},
      {"two B words", "=?utf-8?B?SGVsbG8=?= =?utf-8?B?IFdvcmxk?=", "Hello World"},
      {"charsets and encodings mixed", "=?iso-8859-1?q?Gr=FC=DFe?=\t=?UTF-8?b?w7w=?=",
       "Gr\xFC\xDF"
       "e\xC3\xBC"},
      {"plain text between keeps its blanks", "Re: =?a?Q?one?= and =?a?Q?two?= end",
       "Re: one and two end"},
      {"several blanks between words", "=?a?Q?a?=  \t  =?a?Q?b?=", "ab"},
      {"words without a blank between", "=?a?Q?a?==?a?Q?b?=", "ab"},
      {"Q text that begins with =", "=?x?q?=41=42?= =?x?Q?=43?=", "ABC"},
      {"malformed word between", "=?a?Q?one?= =?broken =?a?Q?two?=", "one =?broken two"},
      {"unknown encoding", "=?x?Z?abc?= =?a?Q?ok?=", "=?x?Z?abc?= ok"},
      {"no charset", "=??Q?abc?= x", "=??Q?abc?= x"},
      {"blank inside a word", "=?a?Q?not one?= =?a?Q?two?=", "=?a?Q?not one?= two"},
      {"word without its end", "=?a?Q?one?= =?a?Q?never", "one =?a?Q?never"},
      {"no words", "plain subject", "plain subject"},
  };
  for (const auto& c : cases) {
    std::string text = c.in;
    DecodeEncodedWords(text);
    EXPECT_EQ(text, c.out) << c.name;
  }
  // Beyond the bound the words stay as they are.
  std::string many;
  for (std::size_t i = 0; i <= kMaxEncodedWords; ++i) many += "=?a?Q?w?= ";
  DecodeEncodedWords(many);
  EXPECT_EQ(many, std::string(kMaxEncodedWords, 'w') + " =?a?Q?w?= ");
}

// Values as long as a header block may be, made of what the scanners look ahead for: the work
// stays proportional to the text (a quadratic scan of them would not end within the test's
// time-out).
TEST(HeaderValues, CraftedLongValuesAreScannedInBoundedWork) {
  const std::size_t size = kMaxHeaderBlock;
  std::string subject;
  while (subject.size() < size) subject += "=?a?Q?x";  // never a "?=" to end a word
  const std::string original = subject;
  DecodeEncodedWords(subject);
  EXPECT_EQ(subject, original);
  std::string words;
  while (words.size() < size) words += "=?a?Q?w?= ";
  DecodeEncodedWords(words);
  EXPECT_TRUE(words.starts_with(std::string(kMaxEncodedWords, 'w') + " =?a?Q?w?= "));
  std::string routes;
  while (routes.size() < size) routes += "< @";
  std::vector<std::string> out;
  MatchBudget budget;
  ExtractRecipients(routes, {"TO:<1@f>"}, out, &budget);
  EXPECT_TRUE(out.empty());
}

TEST(HeaderValues, FoldedSubjectIsDecodedWholeIntoTheEnvelope) {
  struct Case {
    const char* name;
    std::string block, subjectLine;
  } cases[] = {
      {"TAB fold", "\nFrom: <f@x>\nSubject: =?a?Q?Gr=FC?=\n\t=?b?B?w7w=?=\nDate: d\n",
       "SUBJECT: Gr\xFC\xC3\xBC\n"},
      {"blank fold", "\nFrom: <f@x>\nSubject: =?a?Q?one?=\n =?a?Q?_two?= three\nDate: d\n",
       "SUBJECT: one two three\n"},
      {"fold in plain text", "\nFrom: <f@x>\nSubject: Re:\n =?a?Q?x?=\n", "SUBJECT: Re: x\n"},
  };
  for (const auto& c : cases) {
    const EnvelopeList none;
    HeaderScan scan(none);
    ASSERT_TRUE(ScanBlock(scan, c.block)) << c.name;
    const std::string lines = FormatEnvelopeLines(scan.Sender(), scan.Recipients(), scan.Subject());
    EXPECT_EQ(lines, "FROM: <f@x>\n" + c.subjectLine) << c.name;
  }
}

TEST(SentNames, MadeSafe) {
  struct Case {
    std::string sent, safe, extension;
  } cases[] = {
      {"report.final.pdf", "report.final.pdf", "fin"},
      {"\xd0\xb3. \xd0\x94\xd0\x94.pdf", "\xd0\xb3. \xd0\x94\xd0\x94.pdf", "pdf"},
      {"noext", "noext", ""},
      {"a:b<c>.txt", "a_b_c_.txt", "txt"},
      {"../../etc/passwd", "../../etc/passwd", ""},
      {"x./..", "x./..", ""},
      {"evil\r\nEND ATTACH.pdf", "evilEND ATTACH.pdf", "pdf"},
      {"photo.j/g", "photo.j/g", "jg"},
      {std::string(150, 'n') + ".jpeg", std::string(94, 'n') + ".jpeg", "jpe"},
  };
  for (const auto& c : cases) {
    const std::string safe = SafeSentName(c.sent);
    EXPECT_EQ(safe, c.safe) << c.sent;
    EXPECT_LT(safe.size(), kMaxSentName);
    EXPECT_EQ(SentNameExtension(safe), c.extension) << c.sent;
  }
  EXPECT_EQ(NameFromMediaType("image/png"), "attachment.png");
  EXPECT_EQ(NameFromMediaType("image/JPEG"), "attachment.jpg");
  EXPECT_EQ(NameFromMediaType("application/octet-stream"), "attachment.bin");
  EXPECT_EQ(NameFromMediaType("weird"), "attachment.bin");
}

}  // namespace
}  // namespace faxmail::decode
