#include "gateway/decode/decode_message.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "gateway/decode/transfer_decoders.h"
#include "tests/unit/decode/decode_test_support.h"

namespace faxmail::decode::test {
namespace {

struct Result {
  RecordingSink sink;
  std::string out;
  std::string err;
  int result = -1;
};

void DecodeInto(std::string_view message, Result& r, std::string_view defaultType = "text/plain",
                bool inAppleDouble = false) {
  ConsoleCapture console;
  auto reader = MemoryReader(message);
  reader->SetAttachmentListPath("/spool/OUT/list.lst");
  r.result = DecodeMessage(*reader, defaultType, inAppleDouble, r.sink);
  r.out = console.out;
  r.err = console.err;
}

std::string Multipart(std::string_view type, std::string_view boundary,
                      const std::vector<std::string>& parts) {
  std::string m =
      "Content-Type: " + std::string(type) + "; boundary=" + std::string(boundary) + "\n\n";
  for (const auto& p : parts) m += "--" + std::string(boundary) + "\n" + p + "\n";
  return m + "--" + std::string(boundary) + "--\n";
}

// Each sample message decodes to its golden transcript byte for byte, whatever pieces the
// input arrives in. FAXMAIL_UPDATE_GOLDEN=1 rewrites the golden files (review the diff).
TEST(DecodeMessageTest, SampleMessagesMatchTheirGoldenTranscripts) {
  for (const std::string name : {"mixed", "nested", "edge"}) {
    const std::string message = DataFile(name + ".eml");
    ASSERT_FALSE(message.empty()) << name;
    const std::string transcript = DecodeTranscript(message);
    const std::string goldenPath =
        faxmail::test::SourceDir() + "/tests/unit/decode/data/" + name + ".golden";
    if (const char* update = std::getenv("FAXMAIL_UPDATE_GOLDEN"); update && *update == '1')
      faxmail::test::WriteWholeFile(goldenPath, transcript);
    EXPECT_EQ(transcript, faxmail::test::ReadWholeFile(goldenPath)) << name;
    for (const std::size_t chunk :
         {1, 2, 3, 4, 5, 7, 13, 64, 72, 73, 74, 75, 500, 1023, 1024, 1025})
      ASSERT_EQ(DecodeTranscript(message, chunk), transcript) << name << " chunk " << chunk;
  }
}

// The spooled file is read in text mode: CR LF line ends give the same result as LF ones.
TEST(DecodeMessageTest, ASpooledFileWithCrLfDecodesLikeTheMessage) {
  faxmail::test::TempDir dir;
  const std::string message = DataFile("mixed.eml");
  std::string crlf;
  for (const char c : message) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  faxmail::test::WriteWholeFile(dir / "1.cqx", crlf);
  std::unique_ptr<PartReader> reader;
  ASSERT_TRUE(PartReader::Open(dir / "1.cqx", platform::Share::None, reader));
  ConsoleCapture console;
  RecordingSink sink;
  const int result = DecodeMessage(*reader, "text/plain", false, sink);
  EXPECT_EQ(sink.transcript + "result " + std::to_string(result) + "\n" + console.both,
            DecodeTranscript(message));
}

TEST(DecodeMessageTest, DispatchesOnTheMediaType) {
  struct Case {
    const char* name;
    std::string part;      // header block, blank line, body
    const char* expected;  // "text", "attachment" or "skipped"
    bool appleDouble = false;
  };
  const Case cases[] = {
      {"empty header block", "\nbody", "text"},
      {"plain text", "Content-Type: text/plain\n\nbody", "text"},
      {"text with a comment", "Content-Type: text/plain (comment)\n\nbody", "text"},
      {"other text type", "Content-Type: text/enriched\n\nbody", "text"},
      {"text with a filename",
       "Content-Type: text/plain\nContent-Disposition: inline; filename=a.txt\n\nbody",
       "attachment"},
      {"text with a name", "Content-Type: text/plain; name=a.txt\n\nbody", "attachment"},
      {"text with an empty filename",
       "Content-Type: text/plain\nContent-Disposition: attachment; filename=\"\"\n\nbody",
       "attachment"},
      {"text with a disposition but no filename",
       "Content-Type: text/plain\nContent-Disposition: attachment\n\nbody", "text"},
      {"text in AppleDouble", "Content-Type: text/plain\n\nbody", "attachment", true},
      {"html", "Content-Type: text/html\n\nbody", "skipped"},
      {"html with a filename",
       "Content-Type: TEXT/HTML\nContent-Disposition: inline; filename=a.html\n\nbody",
       "attachment"},
      {"html with a name", "Content-Type: text/html; name=\"a.html\"\n\nbody", "attachment"},
      {"html as an attachment without a name",
       "Content-Type: text/html\nContent-Disposition: Attachment\n\nbody", "attachment"},
      {"html with an extended filename",
       "Content-Type: text/html\nContent-Disposition: inline; filename*=UTF-8''a%20b.html\n\nbody",
       "attachment"},
      {"html inline without a name", "Content-Type: text/html\nContent-Disposition: inline\n\nbody",
       "skipped"},
      {"html with a disposition like attachment",
       "Content-Type: text/html\nContent-Disposition: attachments\n\nbody", "skipped"},
      {"text with an extended filename",
       "Content-Type: text/plain\nContent-Disposition: attachment; filename*=UTF-8''a.txt\n\nbody",
       "attachment"},
      {"text with a name in sections", "Content-Type: text/plain; name*0=a; name*1=.txt\n\nbody",
       "attachment"},
      {"html prefix", "Content-Type: text/htmlx\n\nbody", "skipped"},
      {"external body", "Content-Type: message/external-body; access-type=URL\n\nbody", "skipped"},
      {"delivery status", "Content-Type: message/delivery-status\n\nbody", "skipped"},
      {"image", "Content-Type: image/png\n\nbody", "attachment"},
      {"application", "Content-Type: application/pdf\n\nbody", "attachment"},
      {"type without a slash", "Content-Type: plain\n\nbody", "text"},
      {"slash only in a later header", "Content-Type: plain\nX-Other: a/b\n\nbody", "text"},
  };
  for (const Case& c : cases) {
    Result r;
    DecodeInto(c.part, r, "text/plain", c.appleDouble);
    EXPECT_EQ(r.result, 0) << c.name;
    const std::string got = !r.sink.textParts.empty()     ? "text"
                            : !r.sink.attachments.empty() ? "attachment"
                                                          : "skipped";
    EXPECT_EQ(got, c.expected) << c.name;
    EXPECT_EQ(r.sink.textParts.size() + r.sink.attachments.size(), got == "skipped" ? 0u : 1u);
    // A part dropped is told to the sink with its media type; a part kept is not.
    EXPECT_EQ(r.sink.notKept.size(), got == "skipped" ? 1u : 0u) << c.name;
    EXPECT_EQ(r.sink.PartsNotKept(), r.sink.notKept.size()) << c.name;
    if (got == "text") {
      EXPECT_EQ(r.sink.text, "body") << c.name;
    }
    if (got == "attachment") {
      EXPECT_EQ(r.sink.attachments[0].content, "body") << c.name;
      EXPECT_EQ(r.sink.attachments[0].inAppleDouble, c.appleDouble) << c.name;
      EXPECT_EQ(r.sink.listPaths[0], "/spool/OUT/list.lst");
    }
    EXPECT_EQ(r.out, "headers len : " + std::to_string(r.sink.blocks[0].size()) + "\n") << c.name;
  }
}

TEST(DecodeMessageTest, AMissingInnerCloseDelimiterLosesNoOuterPart) {
  const std::string inner = Multipart("multipart/mixed", "in", {"\ninner 1"});
  // Cut off the inner close delimiter.
  const std::string open = inner.substr(0, inner.rfind("\n--in--"));
  Result r;
  DecodeInto(Multipart("multipart/mixed", "out", {open, "\nouter 2", "\nouter 3"}), r);
  EXPECT_EQ(r.sink.textParts, (std::vector<std::string>{"inner 1", "outer 2", "outer 3"}));
}

TEST(DecodeMessageTest, NestingIsBoundedAndDeeperPartsAreSkipped) {
  // kMaxNesting + 10 multiparts one inside the other, each with a text part after the inner
  // multipart; the innermost holds a text part too.
  const int levels = kMaxNesting + 10;
  std::string body = "\ninnermost";
  for (int i = levels - 1; i >= 0; --i)
    body = Multipart("multipart/mixed", "n" + std::to_string(i) + "z",
                     {body, "\nlevel " + std::to_string(i)});
  Result r;
  DecodeInto(body, r);
  EXPECT_EQ(r.result, 0);
  // Levels 0..kMaxNesting-1 are decoded; what lies deeper is skipped as a whole.
  ASSERT_EQ(r.sink.textParts.size(), static_cast<std::size_t>(kMaxNesting));
  EXPECT_EQ(r.sink.textParts.front(), "level " + std::to_string(kMaxNesting - 1));
  EXPECT_EQ(r.sink.textParts.back(), "level 0");
  EXPECT_EQ(r.err, "munpack: warning: parts nested too deeply; skipping the inner part\n");

  std::string forwarded = "\ndeep text";
  for (int i = 0; i < 1000; ++i) forwarded = "Content-Type: message/rfc822\n\n" + forwarded;
  Result f;
  DecodeInto(forwarded, f);
  EXPECT_TRUE(f.sink.textParts.empty());
  EXPECT_EQ(f.sink.blocks.size(), static_cast<std::size_t>(kMaxNesting + 1));
  EXPECT_EQ(f.err, "munpack: warning: parts nested too deeply; skipping the inner part\n");
}

// A sink that reads nothing: the parser skips the part itself.
class LazySink : public RecordingSink {
 public:
  int AppendBodyText(PartReader&, TransferEncoding) override {
    ++calls;
    return 1;
  }
  int calls = 0;
};

TEST(DecodeMessageTest, WhatASinkLeavesUnreadIsSkipped) {
  ConsoleCapture console;
  LazySink sink;
  const std::string message = Multipart("multipart/mixed", "b", {"\none\n--not\n", "\ntwo"});
  auto reader = MemoryReader(message);
  EXPECT_EQ(DecodeMessage(*reader, "text/plain", false, sink), 0);
  EXPECT_EQ(sink.calls, 2);
  EXPECT_EQ(sink.blocks.size(), 3u);
}

class ThrowingSink : public RecordingSink {
 public:
  int AppendBodyText(PartReader&, TransferEncoding) override { throw std::bad_alloc(); }
};

TEST(DecodeMessageDeathTest, ARealAllocationFailureEndsTheProcess) {
  EXPECT_EXIT(
      {
        ThrowingSink sink;
        auto reader = MemoryReader("\nbody");
        DecodeMessage(*reader, "text/plain", false, sink);
      },
      ::testing::ExitedWithCode(1), "^Memory exhausted\n$");
}

}  // namespace
}  // namespace faxmail::decode::test
