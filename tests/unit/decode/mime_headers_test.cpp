#include "gateway/decode/mime_headers.h"

#include <gtest/gtest.h>

#include <string>

#include "gateway/decode/transfer_decoders.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "platform/registry.h"
#include "tests/unit/decode/decode_test_support.h"

namespace faxmail::decode::test {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

TEST(SkipWhitespaceTest, SkipsBlanksFoldingAndNestedComments) {
  struct Case {
    std::string text;
    std::size_t expected;  // kNone: the cursor becomes none
  };
  const Case cases[] = {
      {"  abc", 2},
      {"\t\v\f\r x", 5},
      {" (comment) abc", 11},
      {"(outer (inner) still outer) x", 28},
      {"(escaped \\) paren) x", 19},
      {"\n folded", 2},
      {"\n\tfolded", 2},
      {"\nNext: header", kNone},  // a line without a leading blank is the next field
      {"   ", kNone},
      {"", kNone},
      {"(unterminated", kNone},
      {"(ends in backslash \\", kNone},
      {"(comment\nNext: x)", kNone},
      {"(comment\n continued) y", 21},
      {std::string("  \0 x", 5), kNone},  // a NUL byte ends the text
  };
  for (const Case& c : cases) {
    const auto got = SkipWhitespace(c.text, 0);
    EXPECT_EQ(got.value_or(kNone), c.expected) << Escape(c.text);
  }
}

TEST(ParseEncodingTest, RecognisesTheEncodingsAndWarnsAboutOthers) {
  struct Case {
    const char* value;
    TransferEncoding expected;
    bool warns;
  };
  const Case cases[] = {
      {" 7bit\n", TransferEncoding::None, false},
      {" 8BIT\n", TransferEncoding::None, false},
      {" binary\n", TransferEncoding::None, false},
      {" base64\n", TransferEncoding::Base64, false},
      {" BASE64 (comment)\n", TransferEncoding::Base64, false},
      {" (comment) base64\n", TransferEncoding::Base64, false},
      {"base64(x)", TransferEncoding::Base64, false},
      {" base64", TransferEncoding::Base64, false},  // the block may end right after the word
      {" quoted-printable\n", TransferEncoding::QuotedPrintable, false},
      {" Quoted-Printable(x)\n", TransferEncoding::QuotedPrintable, false},
      {" base64x\n", TransferEncoding::None, true},
      {" 7bits\n", TransferEncoding::None, true},
      {" x-uuencode\n", TransferEncoding::None, true},
      {" \nNext: base64\n", TransferEncoding::None, false},  // empty value
  };
  for (const Case& c : cases) {
    ConsoleCapture console;
    EXPECT_EQ(ParseEncoding(c.value), c.expected) << c.value;
    EXPECT_EQ(console.err,
              c.warns ? "munpack: warning: ignoring unknown content transfer encoding\n\n" : "")
        << c.value;
  }
}

TEST(ParseContentTypeTest, SplitsTypeAndParameters) {
  struct Case {
    std::string value;
    std::string type;
    std::vector<std::string> params;
  };
  const Case cases[] = {
      {"text/plain; charset=us-ascii\n", "text/plain", {"charset=us-ascii"}},
      // Without parameters the type keeps what followed it.
      {"text/plain (comment)\n", "text/plain (comment)", {}},
      {"text / plain ; a=1", "text/plain", {"a=1"}},
      {"text/plain\n\t;\n a=1\nNext: x; b=2", "text/plain", {"a=1"}},
      {"multipart/mixed; boundary=\"a;b\"; x=(c;d)y",
       "multipart/mixed",
       {"boundary=\"a;b\"", "x=     y"}},
      {"text/plain; name=\"open; x=1", "text/plain", {"name=\"open; x=1"}},
      {"text/plain;; a=1", "text/plain", {"", "a=1"}},
      {"text/plain;", "text/plain", {}},
      {"text/plain;  (only a comment)", "text/plain", {}},
      {"(c)text/(d)html; a=1", "text/html", {"a=1"}},
  };
  for (const Case& c : cases) {
    const ContentType got = ParseContentType(c.value);
    EXPECT_EQ(got.mediaType, c.type) << Escape(c.value);
    EXPECT_EQ(got.params, c.params) << Escape(c.value);
  }
}

TEST(GetParamTest, FindsTheFirstMatchingParameter) {
  const std::vector<std::string> params = {"charset = \"us-\\\"ascii\"",
                                           "namex=1",
                                           "name=report.pdf",
                                           "name=second",
                                           "boundary= b c",
                                           "q=\"open",
                                           "bare",
                                           "empty="};
  struct Case {
    const char* name;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"charset", "us-\"ascii"},
      {"name", "report.pdf"},
      {"NAME", "report.pdf"},
      {"boundary", "b"},
      {"q", std::nullopt},     // unterminated quoted value
      {"bare", std::nullopt},  // no '='
      {"empty", ""},
      {"missing", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(GetParam(params, c.name), c.expected) << c.name;
  EXPECT_EQ(GetParam({}, "name"), std::nullopt);
}

TEST(GetDispositionFilenameTest, TakesTheFilenameParameter) {
  struct Case {
    const char* value;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"attachment; filename=report.pdf\n", "report.pdf"},
      {"attachment; FILENAME = \"my file.pdf\"\n", "my file.pdf"},
      {"inline; size=3; filename=\"a\\\"b\"", "a\"b"},
      {"inline; filename=a.txt(comment)", "a.txt"},
      {"inline; filename(c)=x", "x"},
      {"attachment; filenamex=1; filename=y", "y"},
      {"attachment; x=\"q;filename=z\"; filename=w", "w"},
      {"attachment; (c; filename=z) filename=w", "w"},
      {"attachment; filename=\n x.pdf\n", "x.pdf"},
      {"attachment; filename*=utf-8''x", "x"},  // the extended form, when there is no plain one
      {"attachment; filename*=utf-8''x; filename=plain", "plain"},
      {"attachment; x=\"unterminated; filename=a", std::nullopt},
      {"attachment; filename", std::nullopt},
      {"attachment; filename=\"open", std::nullopt},
      {"attachment", std::nullopt},
      // The value ends with its header field.
      {"attachment\nContent-Type: text/plain; filename=evil.exe", std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(GetDispositionFilename(c.value), c.expected) << Escape(c.value);
}

// Names in the extended form of RFC 2231: percent escapes made bytes, sections joined by number.
TEST(ExtendedParamTest, DecodesAndJoinsTheSections) {
  struct Case {
    const char* what;
    std::string value;  // a Content-Disposition value
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"UTF-8 euro", "attachment; filename*=UTF-8''%E2%82%AC%20rates.pdf",
       "\xE2\x82\xAC rates.pdf"},
      {"Latin-1, bytes kept", "attachment; filename*=iso-8859-1'en'caf%E9.pdf", "caf\xE9.pdf"},
      {"no charset named", "attachment; filename*=''a%2Fb", "a/b"},
      {"lower-case escapes", "attachment; filename*=utf-8''%c3%a9.txt", "\xC3\xA9.txt"},
      {"a bad escape stays", "attachment; filename*=utf-8''100%25%zz%4.txt", "100%%zz%4.txt"},
      {"encoded sections", "attachment; filename*0*=UTF-8''%D0%94%D0%BE; filename*1*=%D0%B3.pdf",
       "\xD0\x94\xD0\xBE\xD0\xB3.pdf"},
      {"plain sections", "attachment; filename*0=\"long name \"; filename*1=\"part two.pdf\"",
       "long name part two.pdf"},
      {"mixed sections", "attachment; filename*0*=utf-8''%E2%82%AC; filename*1=\" 100%41.pdf\"",
       "\xE2\x82\xAC 100%41.pdf"},
      {"sections out of order",
       "attachment; filename*2=c.pdf; filename*0*=utf-8''a; filename*1*=%62", "abc.pdf"},
      {"ten sections and more",
       "attachment; filename*10=k; filename*0=a; filename*1=b; filename*2=c; filename*3=d; "
       "filename*4=e; filename*5=f; filename*6=g; filename*7=h; filename*8=i; filename*9=j",
       "abcdefghijk"},
      {"a charset only in the first section",
       "attachment; filename*0*=utf-8''a; filename*1*=utf-8''b", "autf-8''b"},
      {"the first of two equal numbers", "attachment; filename*0=a; filename*0=b", "a"},
      {"quoted extended value", "attachment; filename*=\"UTF-8''a%20b.pdf\"", "a b.pdf"},
      {"blanks around =", "attachment; filename*0* = utf-8''x ;\n filename*1 = y", "xy"},
      {"name case", "attachment; FileName*=utf-8''x", "x"},
      {"another parameter", "attachment; filenames*=utf-8''x", std::nullopt},
      {"section out of range", "attachment; filename*64=x", std::nullopt},
      {"a long section number", "attachment; filename*0000=x", std::nullopt},
      {"not extended", "attachment; size*=3", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(GetDispositionFilename(c.value), c.expected) << Escape(c.value);
  }
}

TEST(ExtendedParamTest, TheContentTypeNameToo) {
  const ContentType type = ParseContentType(
      "application/pdf; name*1*=%D0%B3.pdf; charset=x; name*0*=UTF-8''%D0%94%D0%BE");
  EXPECT_EQ(GetNameParam(type.params, "name"), "\xD0\x94\xD0\xBE\xD0\xB3.pdf");
  EXPECT_EQ(GetParam(type.params, "name"), std::nullopt);
  // The plain form wins when a mailer sends both.
  EXPECT_EQ(GetNameParam(ParseContentType("a/b; name*=utf-8''x; name=y").params, "name"), "y");
  EXPECT_EQ(GetNameParam(ParseContentType("a/b; charset=x").params, "name"), std::nullopt);
}

TEST(ExtendedParamTest, IsBounded) {
  // Sections past the last one taken are ignored, whatever their number.
  std::string value = "attachment";
  for (std::size_t k = 0; k <= kMaxParamSections; ++k)
    value +=
        "; filename*" + std::to_string(k) + "=" + std::string(1, static_cast<char>('a' + k % 26));
  const auto name = GetDispositionFilename(value);
  ASSERT_TRUE(name);
  EXPECT_EQ(name->size(), kMaxParamSections);
  // A value longer than the bound is cut there.
  std::string huge = "attachment; filename*0*=utf-8''";
  for (std::size_t k = 0; k < kMaxParamValue; ++k) huge += "%41";
  huge += "; filename*1=more";
  const auto cut = GetDispositionFilename(huge);
  ASSERT_TRUE(cut);
  EXPECT_EQ(*cut, std::string(kMaxParamValue, 'A'));
}

TEST(ExtendedParamTest, TellsAnAttachmentDisposition) {
  EXPECT_TRUE(IsAttachmentDisposition("attachment"));
  EXPECT_TRUE(IsAttachmentDisposition(" ATTACHMENT; filename=x"));
  EXPECT_TRUE(IsAttachmentDisposition("(why) attachment (c)"));
  EXPECT_TRUE(IsAttachmentDisposition("attachment\nX-Other: y"));
  EXPECT_FALSE(IsAttachmentDisposition("inline; filename=attachment"));
  EXPECT_FALSE(IsAttachmentDisposition("attachments"));
  EXPECT_FALSE(IsAttachmentDisposition(""));
}

struct HeaderRead {
  PartHeaders headers;
  std::string body;
  RecordingSink sink;
  std::string warnings;
};

void ReadOne(std::string_view message, std::size_t chunk, HeaderRead& out) {
  ConsoleCapture console;
  auto reader = MemoryReader(message, chunk);
  out.headers = ReadHeaders(*reader, out.sink);
  StringOutput body(out.body);
  CopyUnencoded(*reader, body, false);
  out.warnings = console.err;
}

TEST(ReadHeadersTest, SplitsHeaderLinesFromTheBody) {
  struct Case {
    const char* name;
    std::string message;
    std::string block;
    std::string body;
  };
  const std::string longName(1200, 'X');
  const std::string longValue(3000, 'v');
  const Case cases[] = {
      {"blank line ends the headers", "From: a\nSubject: s\n folded\n\nbody\n",
       "\nFrom: a\nSubject: s\n folded\n", "body\n"},
      {"empty header block", "\nbody\n", "\n", "body\n"},
      {"first line not a header", "Hello there\nFrom: a\n\nx", "\n", "Hello there\nFrom: a\n\nx"},
      {"first line a continuation", " folded\nFrom: a\n\n", "\n", " folded\nFrom: a\n\n"},
      {"blank before the colon ends the headers", "From: a\nContent-Type : text/html\n\nbody",
       "\nFrom: a\n", "Content-Type : text/html\n\nbody"},
      {"non-header line pushed back", "From: a\nnot a header\nmore\n", "\nFrom: a\n",
       "not a header\nmore\n"},
      {"colon first is no header", "From: a\n: x\n", "\nFrom: a\n", ": x\n"},
      {"8-bit byte in a name", "From: a\nX-\xe9t\xe9: 1\n\nb", "\nFrom: a\n",
       "X-\xe9t\xe9: 1\n\nb"},
      {"end of input inside the headers", "From: a\nTo: b", "\nFrom: a\nTo: b", ""},
      {"long header line kept whole", "Subject: " + longValue + "\nTo: b\n\nbody",
       "\nSubject: " + longValue + "\nTo: b\n", "body"},
      // Only the first 998 bytes of a first line decide: no colon there, so it is body.
      {"colon beyond the first piece", longName + ": v\n\nbody", "\n", longName + ": v\n\nbody"},
  };
  for (const Case& c : cases) {
    HeaderRead whole;
    ReadOne(c.message, 0, whole);
    EXPECT_EQ(whole.headers.block, c.block) << c.name;
    EXPECT_EQ(whole.body, c.body) << c.name;
    for (const std::size_t chunk : {1, 2, 3, 5, 64, 999, 1000, 1001}) {
      HeaderRead split;
      ReadOne(c.message, chunk, split);
      ASSERT_EQ(split.headers.block, c.block) << c.name << " chunk " << chunk;
      ASSERT_EQ(split.body, c.body) << c.name << " chunk " << chunk;
    }
  }
}

TEST(ReadHeadersTest, TakesTheContentValuesAndReportsEveryKnownHeader) {
  const std::string message =
      "content-type: text/html\n"
      "From: Someone <a@b>\n"
      "Content-Transfer-Encoding: BASE64\n"
      "Content-Disposition: attachment; filename=a.txt\n"
      "Content-Disposition:   \n"
      "X-Content-Type: ignored/type\n"
      "CC: c@d\n"
      "to: e@f,\n g@h\n"
      "Subject: hi\n"
      "Content-MD5: Q2hlY2sgSW50ZWdyaXR5IQ==\n"
      "Content-Type: Text/Plain; charset=x\n"
      "\n";
  HeaderRead r;
  ReadOne(message, 0, r);
  const PartHeaders& h = r.headers;
  EXPECT_EQ(HeaderField(*h.ContentTypeValue()), "Text/Plain; charset=x");  // the last one wins
  EXPECT_EQ(h.encoding, TransferEncoding::Base64);
  // An empty disposition leaves the earlier one in place.
  EXPECT_EQ(HeaderField(*h.DispositionValue()), "attachment; filename=a.txt");
  EXPECT_EQ(HeaderField(*h.ContentMd5Value()), "Q2hlY2sgSW50ZWdyaXR5IQ==");

  std::vector<std::string> seen;
  for (const RecordedHeader& header : r.sink.headers) {
    seen.push_back(std::string(KindName(header.kind)) + "=" + header.field);
    // lineStart is the LF before the name, valueStart just after the colon.
    EXPECT_EQ(h.block[header.lineStart], '\n');
    EXPECT_EQ(h.block[header.valueStart - 1], ':');
  }
  const std::vector<std::string> expected = {
      "Content-Type= text/html",
      "From= Someone <a@b>",
      "Content-Transfer-Encoding= BASE64",
      "Content-Disposition= attachment; filename=a.txt",
      "Content-Disposition=   ",
      "Cc= c@d",
      "To= e@f,\n g@h",
      "Subject= hi",
      "Content-MD5= Q2hlY2sgSW50ZWdyaXR5IQ==",
      "Content-Type= Text/Plain; charset=x",
  };
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(r.sink.transcript.rfind("headers ", 0), 0u);
  EXPECT_EQ(r.sink.transcript.substr(r.sink.transcript.size() - 12), "end headers\n");
}

TEST(ReadHeadersTest, AnEmptyContentTypeForgetsAnEarlierOne) {
  HeaderRead r;
  ReadOne("Content-Type: image/png\nContent-Type:\n\n", 0, r);
  EXPECT_FALSE(r.headers.ContentTypeValue());
}

TEST(ReadHeadersTest, AnOverlongBlockIsCutWithAWarning) {
  std::string message;
  while (message.size() < 2 * kMaxHeaderBlock) message += "X-Pad: " + std::string(90, 'p') + "\n";
  message += "Content-Type: image/png\n\nbody\n";
  for (const std::size_t chunk : {0, 4093}) {
    HeaderRead r;
    ReadOne(message, chunk, r);
    EXPECT_LE(r.headers.block.size(), kMaxHeaderBlock);
    EXPECT_GT(r.headers.block.size(), kMaxHeaderBlock - 200);
    EXPECT_EQ(r.headers.block.back(), '\n');
    EXPECT_EQ(r.body, "body\n");
    EXPECT_FALSE(r.headers.ContentTypeValue());  // it came after the cut
    EXPECT_EQ(r.warnings, "munpack: warning: header block too long; ignoring the rest of it\n");
  }
}

class ReadHeadersLogTest : public faxmail::test::RootTest {};

TEST_F(ReadHeadersLogTest, LogsTheDispositionOnTheSecondaryChannel) {
  const std::string logPath = Root() + "/decode-b.log";
  platform::RegKey key;
  ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
  ASSERT_EQ(platform::RegSetString(key, "logfileb", logPath), 0);
  platform::RegCloseKey(key);
  GetDebugSettings2();
  HeaderRead r;
  ReadOne("Content-Disposition: attachment;\n filename=a.txt\nSubject: s\n\nbody", 0, r);
  const std::string log = faxmail::test::ReadWholeFile(logPath);
  EXPECT_NE(log.find("DECODE - getting content-disposition: Content-Disposition: attachment;? "
                     "filename=a.txt?Subject: s?"),
            std::string::npos)
      << log;
  EXPECT_NE(
      log.find("DECODE - extracted content-disposition: attachment;? filename=a.txt?Subject: s?"),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("(DECODE - "), std::string::npos);
  platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key);
  platform::RegDeleteValue(key, "logfileb");
  GetDebugSettings2();
}

}  // namespace
}  // namespace faxmail::decode::test
