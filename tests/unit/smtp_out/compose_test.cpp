// Composition of outbound mail from the fax server's ready files: the exact text sent after
// DATA, which files are sent at all, the subject room, the attachments, and the recipient.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <random>
#include <string>

#include "gateway/queue/file_man.h"
#include "gateway/smtp_out/compose.h"
#include "tests/support/test_support.h"
#include "tests/unit/smtp_out/fax_tiff.h"
#include "tests/unit/smtp_out/sender_test_util.h"

namespace faxmail {
namespace {

// The base64 text of bytes from OpenSSL, not from the encoder under test.
std::string ReferenceBase64(const std::string& bytes) {
  std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  encoded.resize(static_cast<std::size_t>(n));
  return encoded;
}

using test::ReadWholeFile;
using test::ReadyFile;
using test::WriteWholeFile;

struct Composed {
  int result = -1;
  std::string text;
  std::string firstAttachment;
  std::string id;  // the MIME boundary's message identifier
  std::string Boundary() const { return "----= Message-ID:" + id; }
};

class ComposeTest : public test::SenderTest {
 protected:
  Composed Compose(const std::string& readyText) {
    WriteWholeFile(In("r.tmp"), readyText);
    CFileMan options;
    platform::File ready;
    platform::File work;
    EXPECT_EQ(platform::File::Open(In("r.tmp"), platform::Access::Read, platform::Share::None,
                                   platform::Disposition::OpenExisting, ready),
              0);
    EXPECT_EQ(platform::File::Open(In("w.cqx"), platform::Access::ReadWrite, platform::Share::None,
                                   platform::Disposition::CreateAlways, work),
              0);
    Composed composed;
    composed.result = ComposeMessage(ready, work, options, composed.firstAttachment);
    // Both files are back at their start.
    std::int64_t position = -1;
    work.Seek(0, SEEK_CUR, &position);
    EXPECT_EQ(position, 0);
    ready.Seek(0, SEEK_CUR, &position);
    EXPECT_EQ(position, 0);
    work.Close();
    composed.text = ReadWholeFile(In("w.cqx"));
    const std::string key = "boundary=\"----= Message-ID:";
    if (const auto at = composed.text.find(key); at != std::string::npos)
      composed.id = composed.text.substr(
          at + key.size(), composed.text.find('"', at + key.size()) - at - key.size());
    return composed;
  }
  std::string Receiver() {
    platform::File work;
    EXPECT_EQ(platform::File::Open(In("w.cqx"), platform::Access::ReadWrite, platform::Share::None,
                                   platform::Disposition::OpenExisting, work),
              0);
    std::string line;
    return FindReceiver(work, line) ? line : "<none>";
  }
  // The part the encoder makes of bytes shown as name, with the CR LF that closes it.
  static std::string EncodedPart(const std::string& bytes, const std::string& name) {
    std::string part = "Content-Type: application/octet-stream;\r\n        name=\"" + name +
                       "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: "
                       "attachment;\r\n        filename=\"" +
                       name + "\"\r\nContent-Description: " + name + "\r\n\r\n";
    // Lines of 72 characters, as the part is written.
    const std::string encoded = ReferenceBase64(bytes);
    for (std::size_t at = 0; at < encoded.size(); at += 72) part += encoded.substr(at, 72) + "\r\n";
    return part + "\r\n";
  }
  static std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    bytes[0] = 'I';
    return bytes;
  }
};

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
  const auto events = Events(432);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].strings, (std::vector<std::string>{kServiceName, In("gone.tif")}));
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

// The bytes of a base64 text in lines (OpenSSL's decoder, not the gateway's).
std::string ReferenceDecode(const std::string& lines) {
  std::string text;
  for (const char c : lines)
    if (c != '\r' && c != '\n') text += c;
  std::string bytes(text.size() / 4 * 3 + 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return {};
  bytes.resize(static_cast<std::size_t>(n));
  while (text.ends_with('=')) {  // EVP_DecodeBlock counts the padding as bytes
    text.pop_back();
    bytes.pop_back();
  }
  return bytes;
}

TEST_F(ComposeTest, AttachFormatPdfAttachesFaxImagesAsPdf) {
  const std::string fax = In("F17.TIF");
  test::WriteFax(fax,
                 {"g4", COMPRESSION_CCITTFAX4, 0, FILLORDER_LSB2MSB, PHOTOMETRIC_MINISWHITE, 0, 204,
                  196, RESUNIT_INCH},
                 2, 1728, 300);
  const std::string tiff = ReadWholeFile(fax);
  const std::string damaged = tiff.substr(0, 200);  // its directory is gone
  struct Case {
    const char* what;
    std::string image;
    std::uint32_t attachFormat;  // ~0u: the value is not set
    bool pdf;
  } cases[] = {
      {"no value", tiff, ~0u, false},
      {"as written", tiff, kAttachAsWritten, false},
      {"pdf", tiff, kAttachAsPdf, true},
      {"damaged tiff", damaged, kAttachAsPdf, false},
      {"no tiff", "GIF89a and the rest", kAttachAsPdf, false},
  };
  const auto NotConverted = [&] {
    const std::string log = Log();
    const std::string entry = "SMTPOut- Fax image not converted to PDF, attached as it is: " + fax;
    int count = 0;
    for (auto at = log.find(entry); at != std::string::npos; at = log.find(entry, at + 1)) ++count;
    return count;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetOptions(/*includeTiff=*/0, /*subjectLine=*/0);
    if (c.attachFormat != ~0u) SetDword("AttachFormat", c.attachFormat);
    WriteWholeFile(fax, c.image);
    ReadyFile ready;
    ready.subject = "SUBJECT: Fax received from 5551234";
    ready.body = {"A fax for you."};
    ready.attachments = {"<<fax.tif:F17.TIF>>"};
    const int notConvertedBefore = NotConverted();
    const Composed composed = Compose(ready.Text());
    ASSERT_EQ(composed.result, kComposeReady);
    EXPECT_TRUE(InFiles("At*").empty());  // neither scratch part nor scratch PDF stays
    EXPECT_EQ(ReadWholeFile(fax), c.image);
    const std::string pdfType = "Content-Type: application/pdf;\r\n        name=\"fax.pdf\"\r\n";
    if (!c.pdf) {
      if (c.image.starts_with("II")) {
        EXPECT_NE(composed.text.find(EncodedPart(c.image, "fax.tif")), std::string::npos);
      }
      EXPECT_EQ(composed.text.find(pdfType), std::string::npos);
      EXPECT_EQ(NotConverted() - notConvertedBefore, c.image == damaged ? 1 : 0);
      continue;
    }
    const auto type = composed.text.find(pdfType);
    ASSERT_NE(type, std::string::npos) << composed.text.substr(0, 2000);
    EXPECT_NE(composed.text.find("filename=\"fax.pdf\"", type), std::string::npos);
    const auto start = composed.text.find("\r\n\r\n", type) + 4;
    const auto end = composed.text.find("\r\n\r\n", start);
    const std::string pdf = ReferenceDecode(composed.text.substr(start, end - start));
    ASSERT_TRUE(pdf.starts_with("%PDF-"));
    WriteWholeFile(Root() + "/sent.pdf", pdf);
    std::string info;
    if (test::RunProgram({"pdfinfo", Root() + "/sent.pdf"}, &info) < 0) continue;
    EXPECT_NE(info.find("Pages:           2\n"), std::string::npos) << info;
  }
}

// What Python's email makes of a composed mail (without its end line), one "key: value" line
// each: the content type, report type, each part's type, each status block's fields, and the
// MD5 of each attachment's decoded bytes.
std::string PythonReport(const std::string& mail) {
  static const char kScript[] = R"(import sys, email, email.policy, hashlib
m = email.message_from_bytes(sys.stdin.buffer.read(), policy=email.policy.compat32)
print('type:', m.get_content_type())
print('report-type:', m.get_param('report-type'))
for p in m.get_payload() if m.is_multipart() else []:
    print('part:', p.get_content_type())
    if p.get_content_type() == 'message/delivery-status':
        for block in p.get_payload():
            for k, v in block.items():
                print('field:', k, '=', v)
    elif p.get_filename():
        print('attachment:', p.get_filename(), hashlib.md5(p.get_payload(decode=True)).hexdigest())
    else:
        print('text:', p.get_payload().strip().splitlines()[0])
)";
  std::string output;
  const int status =
      test::RunProgram({"python3", "-c", kScript}, &output, {}, mail.substr(0, mail.size() - 3));
  EXPECT_EQ(status, 0) << output;
  return output;
}

std::string Md5Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

TEST_F(ComposeTest, NotificationFormatReportGivesADeliveryStatusReport) {
  const std::string image = RandomBytes(5000, 9);
  WriteWholeFile(In("F21.TIF"), image);
  struct Case {
    const char* subject;
    const char* text;
    std::uint32_t includeTiff;
    std::string expected;
  } cases[] = {
      {"SUBJECT: Fax to 5550100 sent OK", "Your fax to 5550100 was sent OK: 2 pages.", 1,
       "type: multipart/report\nreport-type: delivery-status\npart: text/plain\n"
       "text: Your fax to 5550100 was sent OK: 2 pages.\npart: message/delivery-status\n"
       "field: Reporting-MTA = dns; gw.example\nfield: Final-Recipient = X-fax; +5550100\n"
       "field: Action = delivered\nfield: Status = 2.0.0\n"
       "field: Diagnostic-Code = X-fax; Your fax to 5550100 was sent OK: 2 pages.\n"
       "part: application/octet-stream\nattachment: fax.tif " +
           Md5Hex(image) + "\n"},
      {"SUBJECT: Fax to +44 20 7946 rejected", "Your fax was rejected: busy.", 0,
       "type: multipart/report\nreport-type: delivery-status\npart: text/plain\n"
       "text: Your fax was rejected: busy.\npart: message/delivery-status\n"
       "field: Reporting-MTA = dns; gw.example\nfield: Final-Recipient = X-fax; +44207946\n"
       "field: Action = failed\nfield: Status = 5.0.0\n"
       "field: Diagnostic-Code = X-fax; Your fax was rejected: busy.\n"},
      // A received fax is no notice: mailed as without the value.
      {"SUBJECT: Fax received from 5551234", "A fax for you.", 0,
       "type: multipart/mixed\nreport-type: None\npart: text/plain\ntext: A fax for you.\n"
       "part: application/octet-stream\nattachment: fax.tif " +
           Md5Hex(image) + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.subject);
    SetOptions(c.includeTiff, /*subjectLine=*/0);
    SetDword("NotificationFormat", kNotificationReport);
    SetString("DomainName", "gw.example");
    ReadyFile ready;
    ready.subject = c.subject;
    ready.body = {c.text};
    ready.attachments = {"<<fax.tif:F21.TIF>>"};
    const Composed composed = Compose(ready.Text());
    ASSERT_EQ(composed.result, kComposeReady);
    EXPECT_EQ(PythonReport(composed.text), c.expected) << composed.text;
    EXPECT_TRUE(composed.text.ends_with("--" + composed.Boundary() + "--\r\n.\r\n"));
  }
}

}  // namespace
}  // namespace faxmail
