#include "gateway/decode/part_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/unit/decode/decode_test_support.h"

namespace faxmail::decode::test {
namespace {

constexpr int kEnd = PartReader::kEndOfPart;

// Everything up to the end of the current part, through GetChar only.
std::string ReadPart(PartReader& reader) {
  std::string out;
  for (int c = reader.GetChar(); c != kEnd; c = reader.GetChar())
    out.push_back(static_cast<char>(c));
  return out;
}

// The same through the run interface that the decoders use.
std::string ReadPartByRuns(PartReader& reader) {
  std::string out;
  for (;;) {
    const std::string_view run = reader.PeekRun();
    if (!run.empty()) {
      out.append(run);
      reader.Skip(run.size());
      continue;
    }
    const int c = reader.GetChar();
    if (c == kEnd) return out;
    out.push_back(static_cast<char>(c));
  }
}

// Reads a body with the given boundaries as HandleMultipart does: preamble, then each
// component up to the next delimiter, recording the ReadBoundary results.
std::string Walk(std::string_view data, std::size_t chunk,
                 const std::vector<std::string>& boundaries) {
  auto reader = MemoryReader(data, chunk);
  for (const auto& b : boundaries) reader->AddBoundary(b);
  reader->UngetNewline();
  std::string out = "[" + Escape(ReadPart(*reader)) + "]";
  for (int guard = 0; guard < 100; ++guard) {
    const int r = reader->ReadBoundary();
    out += " rb" + std::to_string(r) + " d" + std::to_string(reader->Depth());
    if (r != 0) break;
    out += " [" + Escape(ReadPart(*reader)) + "]";
  }
  out += " rest[" + Escape(ReadPart(*reader)) + "]";
  return out;
}

TEST(PartReaderTest, DelimitersAreRecognisedOnlyAfterALineEnd) {
  struct Case {
    const char* name;
    std::string data;
    std::vector<std::string> boundaries;
    std::string expected;
  };
  const std::string longBoundary(80, 'q');
  const Case cases[] = {
      {"mid-line dashes are content",
       "pre\nx--b\n--b\none\n--b--\nepi",
       {"b"},
       "[\\npre\\nx--b] rb0 d1 [one] rb1 d0 rest[epi]"},
      {"the LF before a delimiter is not content",
       "--b\nline1\nline2\n\n--b--\n",
       {"b"},
       "[] rb0 d1 [line1\\nline2\\n] rb1 d0 rest[]"},
      {"text after the boundary still matches",
       "--b\na\n--b trailing text\nb\n--bx\nc\n--b--",
       {"b"},
       "[] rb0 d1 [a] rb0 d1 [b] rb0 d1 [c] rb1 d0 rest[]"},
      {"comparison is case-sensitive",
       "--b\na\n--B\nstill a\n--b--\n",
       {"b"},
       "[] rb0 d1 [a\\n--B\\nstill a] rb1 d0 rest[]"},
      {"padding after the delimiter is discarded",
       "--b  \t\na\n--b--  junk\nepi\n",
       {"b"},
       "[] rb0 d1 [a] rb1 d0 rest[epi\\n]"},
      {"a single dash after the boundary is no close",
       "--b-x\na\n--b-\nb\n--b--\n",
       {"b"},
       "[] rb0 d1 [a] rb0 d1 [b] rb1 d0 rest[]"},
      {"boundaries over 70 characters match on their first 70",
       "--" + longBoundary + "\na\n--" + std::string(70, 'q') + "Z\nb\n",
       {longBoundary},
       "[] rb0 d1 [a] rb0 d1 [b\\n] rb1 d1 rest[]"},
      {"the outer boundary is compared first",
       "--ab\nx\n--a\ny\n--a--\n",
       {"a", "ab"},
       "[] rb1 d1 rest[]"},
      {"the empty boundary matches every dashed line",
       "pre\n--\na\n--anything\nb\n",
       {""},
       "[\\npre] rb0 d1 [a] rb0 d1 [b\\n] rb1 d1 rest[]"},
      {"end of input ends every level", "--i\npart", {"o", "i"}, "[] rb0 d2 [part] rb1 d1 rest[]"},
      {"an empty component between two delimiters",
       "--b\n--b\nx\n--b--\n",
       {"b"},
       "[] rb0 d1 [] rb0 d1 [x] rb1 d0 rest[]"},
      {"a delimiter without line end at the end of input",
       "--b\nx\n--b",
       {"b"},
       "[] rb0 d1 [x] rb0 d1 [] rb1 d1 rest[]"},
  };
  for (const Case& c : cases) {
    const std::string whole = Walk(c.data, 0, c.boundaries);
    EXPECT_EQ(whole, c.expected) << c.name;
    // The same result whatever pieces the input arrives in.
    for (std::size_t chunk = 1; chunk <= c.data.size() + 1; ++chunk)
      ASSERT_EQ(Walk(c.data, chunk, c.boundaries), whole) << c.name << " chunk " << chunk;
  }
}

TEST(PartReaderTest, AnOuterDelimiterEndsTheInnerLevelWithoutConsumingIt) {
  auto reader = MemoryReader("in\n--outer\nnext\n");
  reader->AddBoundary("outer");
  reader->AddBoundary("inner");
  EXPECT_EQ(ReadPart(*reader), "in");
  EXPECT_EQ(reader->ReadBoundary(), 1);  // the inner multipart is over
  EXPECT_EQ(reader->Depth(), 1);
  EXPECT_EQ(reader->GetChar(), kEnd);  // still at the outer delimiter
  EXPECT_EQ(reader->ReadBoundary(), 0);
  EXPECT_EQ(ReadPart(*reader), "next\n");
}

TEST(PartReaderTest, RandomRunsEndAtTheFirstLfADelimiterCouldFollow) {
  // Text of LFs, dashes and letters: a run ends before the first LF that is one of the last two
  // bytes read or that "--" follows, whatever comes before it.
  std::mt19937 random(11);
  const std::string alphabet = "\n\n---ab";
  for (int round = 0; round < 3000; ++round) {
    std::string data = "x";
    const std::size_t length = random() % 40;
    for (std::size_t i = 0; i < length; ++i) data += alphabet[random() % alphabet.size()];
    std::size_t expected = 1;
    while (expected < data.size() &&
           !(data[expected] == '\n' &&
             (data.size() - expected < 3 || data.compare(expected + 1, 2, "--") == 0)))
      ++expected;
    auto reader = MemoryReader(data);
    ASSERT_EQ(reader->GetChar(), 'x');
    ASSERT_EQ(reader->PeekRun(), std::string_view(data).substr(1, expected - 1)) << Escape(data);
  }
}

TEST(PartReaderTest, DelimitersAcrossTheBufferEdgeAreFound) {
  // A 70-character boundary whose delimiter line starts at every position around the end of
  // the first buffer load, of the load that first fills a buffer grown to its full size, and
  // of the load after that.
  const std::string boundary(70, 'z');
  std::vector<std::size_t> edges;
  std::size_t loaded = 0;
  for (std::size_t size = PartReader::kInitialBufferSize;
       edges.size() < 2 || size < PartReader::kFullBufferSize;
       size = std::min(2 * size, PartReader::kFullBufferSize)) {
    loaded += size;
    if (edges.empty() || size == PartReader::kFullBufferSize) edges.push_back(loaded);
  }
  edges.push_back(loaded + PartReader::kFullBufferSize);
  for (const std::size_t edge : edges)
    for (std::size_t prefix = edge - 80; prefix <= edge + 4; ++prefix) {
      const std::string body(prefix, 'a');
      const std::string data = body + "\n--" + boundary + "--\nafter";
      for (const std::size_t chunk :
           {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
        auto reader = MemoryReader(data, chunk);
        reader->AddBoundary(boundary);
        ASSERT_EQ(ReadPartByRuns(*reader), body) << prefix << " chunk " << chunk;
        ASSERT_EQ(reader->ReadBoundary(), 1) << prefix;
        ASSERT_EQ(ReadPart(*reader), "after") << prefix;
      }
    }
}

TEST(PartReaderTest, RunsStopOnlyWhereADelimiterCouldFollow) {
  struct Case {
    const char* data;
    const char* run;  // after the first GetChar
  };
  const Case cases[] = {
      {"abc\ndef\nghi", "bc\ndef\nghi"},  // no LF can start a delimiter
      {"abc\n--x\n", "bc"},               // stops before a LF followed by "--"
      {"abc\n-x\nyz", "bc\n-x\nyz"},
      {"abc\nd", "bc"},  // too near the end to tell
      {"a\n\n--", "\n"},
      // Dashes that no delimiter follows, before the LF that one may.
      {"ab--cd\n--x", "b--cd"},
      {"a-\n-x\n--y", "-\n-x"},
      {"a\n-\n-\n--", "\n-\n-"},
      {"a------\n-x----\nbc", "------\n-x----\nbc"},
      {"a---\n---", "---"},
      {"a-", "-"},
      {"a\n-", ""},  // the LF is one of the last two bytes
      {"ab\n", "b"},
      {"a--", "--"},
      {"a\n--", ""},
  };
  for (const Case& c : cases) {
    auto reader = MemoryReader(c.data);
    EXPECT_EQ(reader->PeekRun(), "");  // nothing read yet: GetChar fills the buffer
    EXPECT_EQ(reader->GetChar(), 'a');
    EXPECT_EQ(reader->PeekRun(), std::string_view(c.run)) << Escape(c.data);
  }
  // After a delimiter there is no run.
  auto reader = MemoryReader("x\n--b\ny");
  reader->AddBoundary("b");
  EXPECT_EQ(reader->GetChar(), 'x');
  EXPECT_EQ(reader->GetChar(), kEnd);
  EXPECT_EQ(reader->PeekRun(), "");
}

TEST(PartReaderTest, GetLineStopsAtLineEndSizeOrEndOfPart) {
  auto reader = MemoryReader("first line\nsecond\n--b\n");
  reader->AddBoundary("b");
  std::string out;
  EXPECT_EQ(reader->GetLine(out, 0), 0u);
  EXPECT_EQ(reader->GetLine(out, 1), 0u);
  EXPECT_EQ(reader->GetLine(out, 6), 5u);
  EXPECT_EQ(out, "first");
  out.clear();
  EXPECT_EQ(reader->GetLine(out, 100), 6u);
  EXPECT_EQ(out, " line\n");
  out.clear();
  EXPECT_EQ(reader->GetLine(out, 100), 6u);
  EXPECT_EQ(out, "second");  // the LF before the delimiter is not part of the line
  out.clear();
  EXPECT_EQ(reader->GetLine(out, 100), 0u);
  EXPECT_EQ(out, "");
}

TEST(PartReaderTest, PushedBackTextIsReadAgainBeforeTheRest) {
  auto reader = MemoryReader("Header: x\nbody\n--b--\n");
  reader->AddBoundary("b");
  std::string line;
  reader->GetLine(line, 100);
  EXPECT_EQ(line, "Header: x\n");
  // Longer than the whole buffer: the buffer grows.
  const std::string big(3000, 'p');
  reader->UngetText(big + "\n");
  reader->UngetText("short\n");
  EXPECT_EQ(ReadPart(*reader), "short\n" + big + "\nbody");
  EXPECT_EQ(reader->ReadBoundary(), 1);
}

TEST(PartReaderTest, UngetNewlineMakesTheFirstLineADelimiterLine) {
  // Without the pushed-back LF the first line could never be a delimiter.
  auto plain = MemoryReader("--b\nx");
  plain->AddBoundary("b");
  EXPECT_EQ(ReadPart(*plain), "--b\nx");

  auto reader = MemoryReader("--b\nx");
  reader->AddBoundary("b");
  reader->UngetNewline();
  EXPECT_EQ(reader->GetChar(), kEnd);
  EXPECT_EQ(reader->ReadBoundary(), 0);
  EXPECT_EQ(ReadPart(*reader), "x");
}

TEST(PartReaderTest, ReadsAStreamInTextMode) {
  faxmail::test::TempDir dir;
  const std::string path = dir / "msg";
  faxmail::test::WriteWholeFile(path, "a\r\nb\rc\r\n--b\r\n");
  std::unique_ptr<PartReader> reader;
  ASSERT_TRUE(PartReader::Open(path, platform::Share::None, reader));
  reader->AddBoundary("b");
  EXPECT_EQ(ReadPart(*reader), "a\nb\rc");
  EXPECT_FALSE(PartReader::Open(dir / "missing", platform::Share::None, reader));

  // CR LF pairs, lone CRs and CR CR LF at every position around the reader's block size.
  std::string raw;
  std::string expected;
  const char* pieces[] = {"ab", "\r\n", "\r", "\r\r\n", "\n", "x\r"};
  for (std::size_t i = 0; raw.size() < 5000; ++i) {
    const std::string_view piece = pieces[(i * 7 + i / 5) % std::size(pieces)];
    raw += piece;
  }
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    expected += raw[i];
  }
  for (std::size_t shift = 0; shift < 8; ++shift) {
    const std::string data = std::string(shift, 'S') + raw;
    reader.reset();
    faxmail::test::WriteWholeFile(path, data);
    ASSERT_TRUE(PartReader::Open(path, platform::Share::None, reader));
    ASSERT_EQ(ReadPartByRuns(*reader), std::string(shift, 'S') + expected) << shift;
  }
}

}  // namespace
}  // namespace faxmail::decode::test
