// Hostile MIME structure against the real faxmailgw: deep nesting, huge header blocks, long
// boundaries, attachment names that try to leave OUT (dot segments, absolute paths, controls,
// device names, encoded words and RFC 2231 values that decode to paths), split messages with
// hostile ids, numbers and totals, and a set that never completes. Each mail is answered 250
// and becomes one ready envelope whose every line has a known form and whose stored names stay
// in OUT; then nothing else may be lost (hostile_support.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>

#include "tests/hostile/hostile_support.h"
#include "tests/support/spool_check.h"

namespace faxmail {
namespace {

using test::After;

// A stored attachment name: ATT, the counter, a dot and up to three safe characters.
const std::regex kStoredName("ATT[0-9]+\\.[A-Za-z0-9_-]{0,3}");

std::string Head(const std::string& subject) {
  return "From: hostile@example.org\r\nTo: 12345@fax.example\r\nSubject: " + subject +
         "\r\nMIME-Version: 1.0\r\n";
}

// A mail of one text part and one attachment part whose headers are given (after its
// Content-Type line).
std::string WithAttachment(const std::string& subject, const std::string& attachmentHeaders) {
  return Head(subject) +
         "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
         "--b\r\nContent-Type: text/plain\r\n\r\ntext of " +
         subject + "\r\n--b\r\nContent-Type: application/octet-stream\r\n" + attachmentHeaders +
         "Content-Transfer-Encoding: base64\r\n\r\naG9zdGlsZQ==\r\n--b--\r\n";
}

std::string NamedAttachment(const std::string& subject, const std::string& filename) {
  return WithAttachment(subject,
                        "Content-Disposition: attachment; filename=\"" + filename + "\"\r\n");
}

std::string NestedMultiparts(int levels) {
  std::string mail = Head("nested multiparts");
  std::string closing;
  for (int i = 0; i < levels; ++i) {
    const std::string b = "n" + std::to_string(i);
    mail += "Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n\r\n--" + b + "\r\n";
    closing = "\r\n--" + b + "--" + closing;
  }
  return mail + "Content-Type: text/plain\r\n\r\ndeepest text" + closing + "\r\n";
}

std::string NestedMessages(int levels) {
  std::string mail = Head("nested messages");
  for (int i = 0; i < levels; ++i) mail += "Content-Type: message/rfc822\r\n\r\nSubject: inner\r\n";
  return mail + "Content-Type: text/plain\r\n\r\ndeepest text\r\n";
}

std::string HugeHeaderBlock(std::size_t bytes) {
  std::string mail = Head("huge header block");
  const std::string line = "X-Filler: " + std::string(68, 'f') + "\r\n";
  for (std::size_t n = 0; n < bytes; n += line.size()) mail += line;
  return mail + "\r\nafter the huge header block\r\n";
}

std::string LongBoundary(std::size_t length) {
  const std::string b(length, 'B');
  return Head("long boundary") + "Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n\r\n--" +
         b + "\r\nContent-Type: text/plain\r\n\r\nlong boundary text\r\n--" + b +
         "\r\nContent-Type: application/octet-stream; name=\"lb.bin\"\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\naG9zdGlsZQ==\r\n--" +
         b + "--\r\n";
}

// One part of a split message; the enclosed message's text says which.
std::string Partial(const std::string& subject, const std::string& parameters,
                    const std::string& content) {
  return Head(subject) + "Content-Type: message/partial; " + parameters + "\r\n\r\n" + content;
}

struct MimeRow {
  const char* name;
  std::function<std::vector<std::string>(const std::string& root)> mails;  // sent one by one
  int attachments;         // attachment lines of all the row's envelopes together (-1: any)
  const char* bodyHas;     // a text some message text holds (or null)
  const char* consoleHas;  // a text of the decoder's warnings on the console (or null)
  // Files the row leaves in the store of split messages, relative to it (or empty).
  std::vector<std::string> stored;
};

const MimeRow kMimeRows[] = {
    {"Nested10000Multiparts",
     [](const std::string&) { return std::vector<std::string>{NestedMultiparts(10000)}; },
     0,
     nullptr,
     "parts nested too deeply",
     {}},
    {"Nested5000Messages",
     [](const std::string&) { return std::vector<std::string>{NestedMessages(5000)}; },
     0,
     nullptr,
     "parts nested too deeply",
     {}},
    {"HeaderBlockOf4MB",
     [](const std::string&) { return std::vector<std::string>{HugeHeaderBlock(4 << 20)}; },
     -1,
     nullptr,
     nullptr,
     {}},
    {"Boundary200Characters",
     [](const std::string&) { return std::vector<std::string>{LongBoundary(200)}; },
     -1,
     nullptr,
     nullptr,
     {}},
    {"Boundary70Characters",
     [](const std::string&) { return std::vector<std::string>{LongBoundary(70)}; },
     1,
     "long boundary text",
     nullptr,
     {}},
    {"NameWithDotDotSegments",
     [](const std::string&) {
       return std::vector<std::string>{NamedAttachment("dotdot", "../../../escape-dotdot.bin")};
     },
     1,
     "text of dotdot",
     nullptr,
     {}},
    {"NameWithBackslashSegments",
     [](const std::string&) {
       return std::vector<std::string>{NamedAttachment("backslash", "..\\..\\escape-bs.bin")};
     },
     1,
     "text of backslash",
     nullptr,
     {}},
    {"AbsolutePathName",
     [](const std::string& root) {
       return std::vector<std::string>{NamedAttachment("absolute", root + "/escape-abs.bin")};
     },
     1,
     "text of absolute",
     nullptr,
     {}},
    {"ExtensionThatIsAPath",
     [](const std::string&) {
       return std::vector<std::string>{NamedAttachment("extension", "x.../escape-ext")};
     },
     1,
     "text of extension",
     nullptr,
     {}},
    {"ControlsInName",
     [](const std::string&) {
       return std::vector<std::string>{
           NamedAttachment("controls", "a\x01\x1b[2Jb\x7f\t.bin"),
           // A name that ends its list line and starts an envelope line of its own.
           WithAttachment("crlf",
                          "Content-Disposition: attachment;\r\n filename*=''x%0D%0ATO"
                          "%3A%20666%40evil%0D%0A%3C%3Cy%3AATT9.exe%3E%3E.bin\r\n")};
     },
     2,
     "text of crlf",
     nullptr,
     {}},
    {"ReservedDeviceNames",
     [](const std::string&) {
       return std::vector<std::string>{
           NamedAttachment("con", "con"), NamedAttachment("aux", "AUX.txt"),
           NamedAttachment("nul", "nul.com1"), NamedAttachment("lpt1", "lpt1.")};
     },
     4,
     "text of lpt1",
     nullptr,
     {}},
    {"EncodedWordNameDecodingToPath",
     [](const std::string&) {
       return std::vector<std::string>{
           NamedAttachment("encoded word", "=?utf-8?q?=2E=2E=2F=2E=2E=2F=2E=2E=2Fescape-ew.bin?=")};
     },
     1,
     "text of encoded word",
     nullptr,
     {}},
    {"EncodedWordBase64NameDecodingToAbsolutePath",
     [](const std::string&) {
       // "/tmp/escape-ewb.bin"
       return std::vector<std::string>{
           NamedAttachment("encoded b", "=?us-ascii?b?L3RtcC9lc2NhcGUtZXdiLmJpbg==?=")};
     },
     1,
     "text of encoded b",
     nullptr,
     {}},
    {"Rfc2231NameDecodingToPath",
     [](const std::string&) {
       return std::vector<std::string>{
           WithAttachment("rfc2231",
                          "Content-Disposition: attachment; "
                          "filename*=utf-8''%2E%2E%2F%2E%2E%2F%2E%2E%2Fescape-2231.bin\r\n")};
     },
     1,
     "text of rfc2231",
     nullptr,
     {}},
    {"Rfc2231SectionsJoiningToPath",
     [](const std::string&) {
       return std::vector<std::string>{
           WithAttachment("sections",
                          "Content-Disposition: attachment; filename*0=\"../..\"; "
                          "filename*1=\"/../\"; filename*2=\"escape-sec.bin\"\r\n")};
     },
     1,
     "text of sections",
     nullptr,
     {}},
    {"Rfc2231ManySections",
     [](const std::string&) {
       std::string parameters;
       for (int i = 0; i < 5000; ++i) parameters += "; filename*" + std::to_string(i) + "=\"../\"";
       return std::vector<std::string>{WithAttachment(
           "many sections", "Content-Disposition: attachment" + parameters + "\r\n")};
     },
     1,
     "text of many sections",
     nullptr,
     {}},
    {"PartialIdWithPath",
     [](const std::string&) {
       return std::vector<std::string>{Partial("partial path",
                                               "id=\"../../../escape-id/x\"; number=1; total=2",
                                               "Subject: p\r\n\r\none\r\n")};
     },
     0,
     nullptr,
     nullptr,
     {"escape-i.dx/1", "escape-i.dx/CT"}},
    {"PartialIdReservedDeviceName",
     [](const std::string&) {
       return std::vector<std::string>{
           Partial("partial con", "id=\"con\"; number=1; total=2", "Subject: p\r\n\r\none\r\n")};
     },
     0,
     nullptr,
     nullptr,
     {"conx/1", "conx/CT"}},
    {"PartialIdOfControlsOnly",
     [](const std::string&) {
       return std::vector<std::string>{Partial("partial controls",
                                               "id=\"\x01\x02/..\"; number=1; total=2",
                                               "Subject: p\r\n\r\none\r\n")};
     },
     0,
     nullptr,
     nullptr,
     {"x/1", "x/CT"}},
    {"PartialHugeNumbersAndTotals",
     [](const std::string&) {
       const char* parameters[] = {
           "id=\"huge1\"; number=4294967297; total=2", "id=\"huge2\"; number=1; total=99999999999",
           "id=\"huge3\"; number=10001; total=10001",  "id=\"huge4\"; number=-1; total=2",
           "id=\"huge5\"; number=0; total=0",          "id=\"huge6\"; number=3; total=2",
           "id=\"huge7\"; number=1x; total=2"};
       std::vector<std::string> mails;
       for (const char* p : parameters)
         mails.push_back(Partial("partial huge", p, "Subject: p\r\n\r\nx\r\n"));
       return mails;
     },
     0,
     nullptr,
     nullptr,
     {}},
    {"PartialSetThatNeverCompletes",
     [](const std::string&) {
       return std::vector<std::string>{
           Partial("never 1", "id=\"never\"; number=1; total=3", "Subject: never\r\n\r\none\r\n"),
           Partial("never 3", "id=\"never\"; number=3", "three\r\n")};
     },
     0,
     nullptr,
     nullptr,
     {"never/1", "never/3", "never/CT"}},
    {"PartialSetCompletedOutOfOrder",
     [](const std::string&) {
       return std::vector<std::string>{
           Partial("joined 2", "id=\"joined\"; number=2; total=2", "second half\r\n"),
           Partial("joined 1", "id=\"joined\"; number=1", "Subject: joined\r\n\r\nfirst half\r\n")};
     },
     0,
     "second half",
     nullptr,
     {}},
};

void PrintTo(const MimeRow& row, std::ostream* os) { *os << row.name; }

class MimeHostile : public test::HostileTest, public ::testing::WithParamInterface<MimeRow> {};

TEST_P(MimeHostile, CleanOutcomeAndNothingElseLost) {
  const MimeRow& row = GetParam();
  const auto mails = row.mails(Root());
  for (const std::string& mail : mails)
    EXPECT_EQ(test::SendMail(Gateway().Port(), mail, test::kReplyMs), test::kAcknowledged);
  ASSERT_TRUE(WaitSettled());
  const auto ready = TakeReady();
  EXPECT_EQ(ready.size(), mails.size()) << "every mail is one ready envelope";
  int attachments = 0;
  bool bodyFound = false;
  for (const auto& [name, envelope] : ready) {
    for (const auto& problem : envelope.problems)
      ADD_FAILURE() << name << ": line of no known form: " << problem;
    for (const auto& a : envelope.attachments) {
      ++attachments;
      EXPECT_TRUE(std::regex_match(a.stored, kStoredName)) << name << ": stored as " << a.stored;
      EXPECT_TRUE(a.present) << name << ": " << a.stored << " is not a file of OUT";
      EXPECT_TRUE(
          std::none_of(a.sent.begin(), a.sent.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
          << name << ": sent name with controls";
    }
    if (row.bodyHas && envelope.body.find(row.bodyHas) != std::string::npos) bodyFound = true;
  }
  if (row.attachments >= 0) {
    EXPECT_EQ(attachments, row.attachments);
  }
  if (row.bodyHas) {
    EXPECT_TRUE(bodyFound) << "no message text holds " << row.bodyHas;
  }
  if (row.consoleHas) {
    EXPECT_NE(Gateway().ConsoleOutput().find(row.consoleHas), std::string::npos) << row.consoleHas;
  }
  const std::string store = Root() + "/tmp/parts/";
  for (const std::string& file : row.stored)
    EXPECT_TRUE(std::filesystem::is_regular_file(store + file)) << "not kept: " << file;
  ExpectNothingElseLost(nullptr, After::Closed);
}

INSTANTIATE_TEST_SUITE_P(Rows, MimeHostile, ::testing::ValuesIn(kMimeRows), test::RowName());

}  // namespace
}  // namespace faxmail
