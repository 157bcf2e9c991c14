// Composition of outbound mail from the fax server's ready files: the exact text sent after
// DATA, which files are sent at all, the subject room, the attachments, and the recipient.
// Fax images as PDF are in compose_pdf_test.cpp, the delivery status report read back by
// Python's email in compose_posix_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/queue/file_man.h"
#include "gateway/smtp_out/compose.h"
#include "tests/support/reference_base64.h"
#include "tests/support/test_support.h"
#include "tests/unit/smtp_out/compose_test_fixture.h"
#include "tests/unit/smtp_out/sender_test_util.h"

namespace faxmail {
namespace {

using test::Composed;
using test::ComposeTest;
using test::ReadWholeFile;
using test::ReadyFile;
using test::ReferenceBase64;
using test::WriteWholeFile;

TEST_F(ComposeTest, SuccessNoticeWithoutAttachmentsIsPlainText) {
  SetOptions(/*includeTiff=*/0, /*subjectLine=*/0);
  const Composed c = Compose(ReadyFile{}.Text());
  ASSERT_EQ(c.result, kComposeReady);
  ASSERT_FALSE(c.id.empty());
  EXPECT_EQ(c.text,
            "FROM: Fax Server <fax@fax.example>\r\n"
            "TO: Alice <alice@dest.test>\r\n"
            "SUBJECT: Fax sent OK to 5551234\r\n"
            "Return-Receipt-To:\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: text/plain;\r\n"
            "        boundary=\"" +
                c.Boundary() +
                "\"\r\n"
                "\r\n"
                "Your fax was sent.\r\n"
                "Pages: 1\r\n"
                "\r\n"
                ".\r\n");
  EXPECT_TRUE(c.firstAttachment.empty());
}

TEST_F(ComposeTest, ReceivedFaxIsAlwaysMultipartWithItsAttachment) {
  SetOptions(/*includeTiff=*/0, /*subjectLine=*/1);
  const std::string image = RandomBytes(1000, 1);
  WriteWholeFile(In("F17.TIF"), image);
  ReadyFile ready;
  ready.subject = "SUBJECT: Fax received from 5551234";
  ready.body = {"A fax for you."};
  ready.attachments = {"<<fax.tif:F17.TIF>>"};
  const Composed c = Compose(ready.Text());
  ASSERT_EQ(c.result, kComposeReady);
  const std::string delimiter = "--" + c.Boundary() + "\r\n";
  EXPECT_EQ(c.text,
            "FROM: Fax Server <fax@fax.example>\r\n"
            "TO: Alice <alice@dest.test>\r\n"
            "SUBJECT: Fax received from 5551234\r\n"  // no subject room for a received fax
            "Return-Receipt-To:\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed;\r\n"
            "        boundary=\"" +
                c.Boundary() +
                "\"\r\n"
                "\r\n" +
                delimiter +
                "Content-Type: text/plain\r\n\r\n"
                "A fax for you.\r\n"
                "\r\n" +
                delimiter + EncodedPart(image, "fax.tif") + "--" + c.Boundary() +
                "--\r\n"
                ".\r\n");
  EXPECT_EQ(c.firstAttachment, In("F17.TIF"));
  EXPECT_EQ(ReadWholeFile(In("F17.TIF")), image);  // composition deletes nothing
  EXPECT_TRUE(InFiles("At*").empty());             // nor leaves its scratch part behind
}

TEST_F(ComposeTest, TwoAttachmentsGiveTwoParts) {
  SetOptions(/*includeTiff=*/1, /*subjectLine=*/0);
  const std::string first = RandomBytes(300, 2);
  const std::string second = "%!PS-Adobe-3.0 report\n";
  WriteWholeFile(In("a1.tif"), first);
  WriteWholeFile(In("a2.ps"), second);
  ReadyFile ready;
  ready.attachments = {"<<page one.tif:a1.tif>>", "<<report.ps:a2.ps>>"};
  const Composed c = Compose(ready.Text());
  ASSERT_EQ(c.result, kComposeReady);
  const std::string delimiter = "--" + c.Boundary() + "\r\n";
  const std::string secondPart =
      "Content-Type: application/postscript;\r\n        name=\"report.ps\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment;\r\n        filename=\"report.ps\"\r\n"
      "Content-Description: report.ps\r\n\r\n" +
      ReferenceBase64(second) + "\r\n\r\n";
  const std::string tail = "\r\n" + delimiter + EncodedPart(first, "page one.tif") + delimiter +
                           secondPart + "--" + c.Boundary() + "--\r\n.\r\n";
  EXPECT_TRUE(c.text.ends_with(tail)) << c.text;
  EXPECT_EQ(CountEntries("SMTPOut- Multiple attachments found"), 1);
  EXPECT_EQ(c.firstAttachment, In("a1.tif"));
}

TEST_F(ComposeTest, SubjectRoom) {
  struct Case {
    std::uint32_t subjectLine;
    std::string subject;
    std::vector<std::string> body;
    std::string header;  // the subject header as composed
  };
  const std::string forty = "Quarterly figures for the board meeting!";
  ASSERT_EQ(forty.size(), 40u);
  const Case cases[] = {
      {1,
       "SUBJECT: Fax sent OK",
       {"Subject : " + forty, "more"},
       "SUBJECT: Fax sent OK - " + forty.substr(0, 29) + " \r\n"},
      {1,
       "SUBJECT: Fax sent OK",
       {"Subject : short\r"},
       "SUBJECT: Fax sent OK - short" + std::string(25, ' ') + "\r\n"},
      {1,
       "SUBJECT: Fax sent OK",
       {"no subject here"},
       "SUBJECT: Fax sent OK" + std::string(33, ' ') + "\r\n"},
      {0, "SUBJECT: Fax sent OK", {"Subject : " + forty}, "SUBJECT: Fax sent OK\r\n"},
      {1,
       "SUBJECT: Fax received from 555",
       {"Subject : " + forty},
       "SUBJECT: Fax received from 555\r\n"},
  };
  for (const Case& k : cases) {
    SetOptions(/*includeTiff=*/0, k.subjectLine);
    ReadyFile ready;
    ready.subject = k.subject;
    ready.body = k.body;
    const Composed c = Compose(ready.Text());
    EXPECT_NE(c.text.find("TO: Alice <alice@dest.test>\r\n" + k.header + "Return-Receipt-To:"),
              std::string::npos)
        << k.header << "\n"
        << c.text;
    // The body line itself stays in the text.
    EXPECT_NE(c.text.find(k.body[0]), std::string::npos);
  }
}

TEST_F(ComposeTest, MailFromReplacesEveryFromLine) {
  SetString("MailFrom", "gateway@fax.example");
  SetOptions(/*includeTiff=*/0, /*subjectLine=*/0);
  ReadyFile ready;
  ready.body = {"Forwarded FROM: someone@else.test", "From: stays as it is"};
  const Composed c = Compose(ready.Text());
  EXPECT_TRUE(c.text.starts_with("FROM:gateway@fax.example\r\nTO: Alice")) << c.text;
  EXPECT_NE(c.text.find("\r\n\r\nFROM:gateway@fax.example\r\nFrom: stays as it is\r\n"),
            std::string::npos)
      << c.text;
  EXPECT_EQ(c.text.find("someone@else.test"), std::string::npos);
}

TEST_F(ComposeTest, RecipientIsTheFirstLineStartingWithTo) {
  struct Case {
    std::vector<std::string> header;
    std::vector<std::string> body;
    std::string receiver;
  };
  const Case cases[] = {
      {{"FROM: fax", "TO: Alice <alice@dest.test>"},
       {"to: Bob <bob@other.test>"},
       "TO: <ALICE@DEST.TEST>"},
      {{"FROM: fax"}, {"Please reply", "to: Bob <bob@other.test>"}, "TO: <BOB@OTHER.TEST>"},
      {{"FROM: fax"}, {"  TO: <indented@x.test>", "reply to: <x@y.test>"}, "<none>"},
      {{"FROM: fax", "To: Carol <carol@plain.test>"}, {}, "TO: <CAROL@PLAIN.TEST>"},
  };
  SetOptions(/*includeTiff=*/0, /*subjectLine=*/0);
  for (const Case& k : cases) {
    ReadyFile ready;
    ready.header = k.header;
    ready.body = k.body;
    Compose(ready.Text());
    EXPECT_EQ(Receiver(), k.receiver);
  }
}

TEST_F(ComposeTest, NotificationOptionsDecideWhatIsSent) {
  struct Case {
    std::string subject;
    std::uint32_t notifyOnSuccess;
    std::uint32_t notifyOnFailure;
    int result;
  };
  const Case cases[] = {
      {"SUBJECT: Fax sent OK to 555", 0, 1, kComposeDropped},
      {"SUBJECT: Fax sent OK to 555", 1, 0, kComposeReady},
      {"SUBJECT: Fax to 555 rejected", 1, 0, kComposeDropped},
      {"SUBJECT: Fax to 555 rejected", 0, 1, kComposeReady},
      {"SUBJECT: Fax received from 555", 0, 0, kComposeReady},
      {"SUBJECT: Fax received from 555 sent OK", 0, 0, kComposeReady},
      {"Subject: Fax sent OK", 1, 1, kComposeDropped},  // no "SUBJECT:" line
      {"", 1, 1, kComposeDropped},
  };
  for (const Case& k : cases) {
    SetOptions(/*includeTiff=*/0, /*subjectLine=*/0, k.notifyOnSuccess, k.notifyOnFailure);
    ReadyFile ready;
    ready.subject = k.subject;
    EXPECT_EQ(Compose(ready.Text()).result, k.result) << k.subject;
  }
}

TEST_F(ComposeTest, MissingAttachmentIsReportedAndTheMailStillGoes) {
  SetOptions(/*includeTiff=*/1, /*subjectLine=*/0);
  ReadyFile ready;
  ready.attachments = {"<<fax.tif:gone.tif>>"};
  const Composed c = Compose(ready.Text());
  EXPECT_EQ(c.result, kComposeReady);
  EXPECT_TRUE(c.text.ends_with("\r\n--" + c.Boundary() + "\r\n--" + c.Boundary() + "--\r\n.\r\n"))
      << c.text;
  const std::string log = Log();
  const auto before = log.find("SMTPOut- Error: Unable to open the Attachment file BEFORE Encode");
  ASSERT_NE(before, std::string::npos);
  EXPECT_NE(log.find("SMTPOut- Unable to encode the Attachment file", before), std::string::npos);
  if (EventsKept()) {
    const auto events = Events(432);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings, (std::vector<std::string>{kServiceName, In("gone.tif")}));
  }
  EXPECT_EQ(c.firstAttachment, In("gone.tif"));
}

TEST_F(ComposeTest, AttachmentNamesOutsideInAreRefused) {
  SetOptions(/*includeTiff=*/1, /*subjectLine=*/0);
  WriteWholeFile(m_data + "secret", "do not mail me");
  for (const std::string& line :
       {std::string("<<x:../secret>>"), std::string("<<x:/etc/hostname>>"),
        std::string("<<x:" + std::string(22, 'n') + ">>"), std::string("<<no colon>>")}) {
    ReadyFile ready;
    ready.attachments = {line};
    const Composed c = Compose(ready.Text());
    EXPECT_EQ(c.result, kComposeReady);
    EXPECT_TRUE(c.firstAttachment.empty()) << line;
    EXPECT_EQ(c.text.find("Content-Transfer-Encoding"), std::string::npos) << line;
    EXPECT_NE(Log().find("SMTPOut- Error: Attachment line refused: " + line), std::string::npos);
  }
  EXPECT_EQ(ReadWholeFile(m_data + "secret"), "do not mail me");
}

TEST_F(ComposeTest, AttachmentLinesAreBoundedAtAThousand) {
  SetOptions(/*includeTiff=*/1, /*subjectLine=*/0);
  WriteWholeFile(In("one.tif"), "II*tiny");
  for (const int lines : {1000, 1001}) {
    ReadyFile ready;
    ready.attachments.assign(static_cast<std::size_t>(lines), "<<fax.tif:one.tif>>");
    const Composed c = Compose(ready.Text());
    EXPECT_EQ(c.result, lines == 1000 ? kComposeReady : kComposeRefused) << lines;
    EXPECT_EQ(Log().find("SMTPOut- Error: More attachment lines than 1000") != std::string::npos,
              lines == 1001);
  }
}

// The mail header as composed, up to the empty line that ends it.
std::string HeaderOf(const std::string& text) { return text.substr(0, text.find("\r\n\r\n") + 2); }

// Whether every CR of text starts a CR LF and every LF ends one.
bool OnlyCrLf(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
  }
  return true;
}

TEST_F(ComposeTest, ControlCharactersOfHeaderLinesNeverReachTheMailHeader) {
  SetOptions(/*includeTiff=*/0, /*subjectLine=*/0);
  const std::string longText(300, 'x');   // read in two pieces
  const std::string splitText(258, 'y');  // the first piece ends between CR and LF
  struct Case {
    std::vector<std::string> header;  // the ready file's, each closed by CR LF
    std::string expected;             // the mail header's lines before the MIME block
  } cases[] = {
      {{"FROM: Fax\rBcc: evil@x.test", "TO: Alice <alice@dest.test>\rBcc: evil@x.test"},
       "FROM: FaxBcc: evil@x.test\r\nTO: Alice <alice@dest.test>Bcc: evil@x.test\r\n"},
      {{"TO: <alice@dest.test>\r\r", std::string("X-Odd: \x01\x1b[2J\x7f\0end", 17)},
       "TO: <alice@dest.test>\r\nX-Odd: [2Jend\r\n"},
      // TAB is white space of a header field; a line of controls alone is no line at all.
      {{"TO: <alice@dest.test>", "\r\x02", "X-Tab:\tkept", "\tfolded"},
       "TO: <alice@dest.test>\r\nX-Tab:\tkept\r\n\tfolded\r\n"},
      {{"TO: <alice@dest.test>", "X-Long: " + longText, "X-Split: " + splitText.substr(9)},
       "TO: <alice@dest.test>\r\nX-Long: " + longText + "\r\nX-Split: " + splitText.substr(9) +
           "\r\n"},
  };
  for (const Case& c : cases) {
    ReadyFile ready;
    ready.header = c.header;
    ready.subject = "SUBJECT: Fax sent OK\rBcc: evil@x.test";
    const Composed composed = Compose(ready.Text());
    ASSERT_EQ(composed.result, kComposeReady);
    const std::string header = HeaderOf(composed.text);
    EXPECT_TRUE(header.starts_with(c.expected + "SUBJECT: Fax sent OKBcc: evil@x.test\r\n"
                                                "Return-Receipt-To:\r\n"))
        << header;
    EXPECT_TRUE(OnlyCrLf(header)) << header;
  }
  // A line ended by a bare LF ends in CR LF.
  const Composed composed =
      Compose("TO: <alice@dest.test>\nSUBJECT: Fax sent OK\r\n\r\nBEGIN BODY\r\n\r\nx\r\n");
  EXPECT_TRUE(composed.text.starts_with("TO: <alice@dest.test>\r\nSUBJECT: Fax sent OK\r\n"))
      << composed.text;
  EXPECT_EQ(Receiver(), "TO: <ALICE@DEST.TEST>");
}

TEST_F(ComposeTest, SubjectRoomFollowsTheCleanedSubject) {
  SetOptions(/*includeTiff=*/0, /*subjectLine=*/1);
  ReadyFile ready;
  ready.subject = "SUBJECT: Fax sent OK\rX: y";
  const Composed c = Compose(ready.Text());
  EXPECT_NE(c.text.find("\r\nSUBJECT: Fax sent OKX: y" + std::string(33, ' ') + "\r\n"),
            std::string::npos)
      << c.text;
}

// A section mark always consumes the line after it. Without an empty line on both sides
// "BEGIN BODY" opens no body (no MIME block; what follows stays header lines) and "END BODY"
// ends none (the text goes on; no attachment section is reached); neither the mark nor its
// next line is ever written. "{B}" stands for the boundary of the composed mail.
TEST_F(ComposeTest, SectionMarksWithoutEmptyLinesAroundThem) {
  const struct {
    const char* name;
    std::uint32_t includeTiff;
    std::string ready;
    std::string expected;
  } cases[] = {
      {"begin body without the empty line before it", 0,
       "TO: <a@b.test>\r\nSUBJECT: Fax sent OK\r\nBEGIN BODY\r\nswallowed\r\nkept header\r\n"
       "\r\nEND BODY\r\nafter\r\n",
       "TO: <a@b.test>\r\nSUBJECT: Fax sent OK\r\nkept header\r\nEND BODY\r\nafter\r\n.\r\n"},
      {"begin body without the empty line after it", 0,
       "TO: <a@b.test>\r\nSUBJECT: Fax sent OK\r\n\r\nBEGIN BODY\r\nswallowed\r\nstill header\r\n"
       "\r\n",
       "TO: <a@b.test>\r\nSUBJECT: Fax sent OK\r\nstill header\r\n.\r\n"},
      {"begin body as the last line", 0,
       "TO: <a@b.test>\r\nSUBJECT: Fax sent OK\r\n\r\nBEGIN BODY\r\n",
       "TO: <a@b.test>\r\nSUBJECT: Fax sent OK\r\n.\r\n"},
      {"end body inside the text", 0,
       "TO: <a@b.test>\r\nSUBJECT: Fax sent OK\r\n\r\nBEGIN BODY\r\n\r\ntext\r\n"
       "see END BODY below\r\nswallowed\r\nnext line\r\n\r\nEND BODY\r\n\r\nafter body\r\n",
       "TO: <a@b.test>\r\nSUBJECT: Fax sent OK\r\nReturn-Receipt-To:\r\nMIME-Version: 1.0\r\n"
       "Content-Type: text/plain;\r\n        boundary=\"{B}\"\r\n\r\n"
       "text\r\nnext line\r\n\r\nafter body\r\n.\r\n"},
      {"end body without empty lines keeps the body going", 1,
       "TO: <a@b.test>\r\nSUBJECT: Fax sent OK\r\n\r\nBEGIN BODY\r\n\r\ntext\r\nEND BODY\r\n\r\n"
       "BEGIN ATTACH\r\n<<shown:F1.TIF>>\r\nEND ATTACH\r\n",
       "TO: <a@b.test>\r\nSUBJECT: Fax sent OK\r\nReturn-Receipt-To:\r\nMIME-Version: 1.0\r\n"
       "Content-Type: multipart/mixed;\r\n        boundary=\"{B}\"\r\n\r\n"
       "--{B}\r\nContent-Type: text/plain\r\n\r\n"
       "text\r\nBEGIN ATTACH\r\n<<shown:F1.TIF>>\r\nEND ATTACH\r\n.\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetOptions(c.includeTiff, /*subjectLine=*/0);
    const Composed composed = Compose(c.ready);
    EXPECT_EQ(composed.result, kComposeReady);
    std::string expected = c.expected;
    for (auto at = expected.find("{B}"); at != std::string::npos; at = expected.find("{B}"))
      expected.replace(at, 3, composed.Boundary());
    EXPECT_EQ(composed.text, expected);
    EXPECT_TRUE(composed.firstAttachment.empty());
  }
}

// A shown name longer than the header room is cut between characters: a UTF-8 name never
// reaches the mail header with half a character at its end.
TEST_F(ComposeTest, LongShownNamesAreCutBetweenCharacters) {
  SetOptions(/*includeTiff=*/1, /*subjectLine=*/0);
  const std::string image = RandomBytes(200, 3);
  WriteWholeFile(In("F18.TIF"), image);
  const auto times = [](std::size_t n, const std::string& piece) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += piece;
    return out;
  };
  struct Case {
    std::string shown, expected;
  } cases[] = {
      {times(60, "\xD0\x94") + ".pdf", times(49, "\xD0\x94")},                     // 98 of 99 bytes
      {times(40, "\xE6\x96\x87") + ".pdf", times(33, "\xE6\x96\x87")},             // 99 bytes
      {"a" + times(30, "\xF0\x9F\x93\x84"), "a" + times(24, "\xF0\x9F\x93\x84")},  // 97 bytes
      {std::string(120, '\xE9'), std::string(99, '\xE9')},  // not UTF-8: bytewise
  };
  for (const auto& c : cases) {
    ReadyFile ready;
    ready.attachments = {"<<" + c.shown + ":F18.TIF>>"};
    const Composed composed = Compose(ready.Text());
    ASSERT_EQ(composed.result, kComposeReady);
    EXPECT_NE(composed.text.find(EncodedPart(image, c.expected)), std::string::npos)
        << composed.text;
  }
}

// The encoded part "At<id>.cqx" is scratch: it is gone after an append, whether the copy into
// the work file succeeded or failed.
TEST_F(ComposeTest, EncodedPartNeverStaysInIn) {
  struct Case {
    const char* what;
    platform::Access workAccess;  // a work file opened for reading refuses every write
    int result;
  };
  const Case cases[] = {
      {"copied", platform::Access::ReadWrite, kAttachAppended},
      {"copy failed", platform::Access::Read, kAttachWriteFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteWholeFile(In("F19.TIF"), RandomBytes(100000, 4));
    WriteWholeFile(In("w.cqx"), "");
    platform::File work;
    ASSERT_EQ(platform::File::Open(In("w.cqx"), c.workAccess, platform::Share::None,
                                   platform::Disposition::OpenExisting, work),
              0);
    const std::string part = "At" + std::to_string(work.Id()) + ".cqx";
    EXPECT_EQ(AppendAttachment(In("F19.TIF"), work, "fax.tif", m_data), c.result);
    EXPECT_EQ(InFiles("At*"), std::vector<std::string>{}) << part;
  }
}

}  // namespace
}  // namespace faxmail
