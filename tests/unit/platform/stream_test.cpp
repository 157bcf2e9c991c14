// Text mode is what the files shared with the fax server rely on: LF <-> CR LF exactly, never
// anything else, whatever the buffer boundaries.
#include <gtest/gtest.h>

#include <string>

#include "platform/stream.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {
namespace {

using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

std::string ReadAll(const std::string& path, StreamMode mode) {
  Stream in;
  EXPECT_EQ(Stream::Open(path, "r", mode, Share::ReadWrite, in), kErrorSuccess);
  std::string out;
  for (int c = in.GetChar(); c != Stream::kEof; c = in.GetChar())
    out.push_back(static_cast<char>(c));
  return out;
}

struct TextCase {
  const char* name;
  std::string onDisk;
  std::string read;
};

TEST(StreamTextMode, ReadFoldsOnlyCrLf) {
  const TextCase cases[] = {
      {"plain", "a\r\nb\r\n", "a\nb\n"}, {"lone CR stays", "a\rb\r", "a\rb\r"},
      {"lone LF stays", "a\nb", "a\nb"}, {"CR CR LF", "a\r\r\nb", "a\r\nb"},
      {"trailing CR", "abc\r", "abc\r"}, {"empty", "", ""},
  };
  TempDir dir;
  for (const auto& c : cases) {
    WriteWholeFile(dir / "f", c.onDisk);
    EXPECT_EQ(ReadAll(dir / "f", StreamMode::Text), c.read) << c.name;
    EXPECT_EQ(ReadAll(dir / "f", StreamMode::Binary), c.onDisk) << c.name;
  }
}

TEST(StreamTextMode, CrLfSplitAcrossTheBufferEdge) {
  TempDir dir;
  // Put the CR as the last byte of the first buffer fill and the LF as the first of the next.
  for (std::size_t shift = 0; shift < 3; ++shift) {
    std::string data(Stream::kBufferSize - 1 + shift, 'x');
    data += "\r\nend\r\n";
    WriteWholeFile(dir / "f", data);
    std::string expected(Stream::kBufferSize - 1 + shift, 'x');
    expected += "\nend\n";
    EXPECT_EQ(ReadAll(dir / "f", StreamMode::Text), expected) << shift;
  }
}

TEST(StreamTextMode, WriteExpandsEveryLf) {
  TempDir dir;
  {
    Stream out;
    ASSERT_EQ(Stream::Open(dir / "t", "w", StreamMode::Text, Share::None, out), kErrorSuccess);
    ASSERT_TRUE(out.Write("FROM:a\nTO:b\n\nx\r\n"));
    ASSERT_EQ(out.Close(), kErrorSuccess);
  }
  EXPECT_EQ(ReadWholeFile(dir / "t"), "FROM:a\r\nTO:b\r\n\r\nx\r\r\n");
  {
    Stream out;
    ASSERT_EQ(Stream::Open(dir / "b", "w", StreamMode::Binary, Share::None, out), kErrorSuccess);
    ASSERT_TRUE(out.Write("a\nb"));
  }  // the destructor flushes
  EXPECT_EQ(ReadWholeFile(dir / "b"), "a\nb");
}

TEST(StreamTextMode, LargeWriteRoundTrips) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 50000; ++i) text += "line " + std::to_string(i) + "\n";
  {
    Stream out;
    ASSERT_EQ(Stream::Open(dir / "t", "w", StreamMode::Text, Share::None, out), kErrorSuccess);
    ASSERT_TRUE(out.Write(text));
    ASSERT_TRUE(out.Sync());
  }
  EXPECT_EQ(ReadAll(dir / "t", StreamMode::Text), text);
  EXPECT_EQ(ReadWholeFile(dir / "t").size(), text.size() + 50000);
}

TEST(StreamTextMode, AppendAddsAtTheEnd) {
  TempDir dir;
  WriteWholeFile(dir / "a", "one\r\n");
  Stream out;
  ASSERT_EQ(Stream::Open(dir / "a", "a", StreamMode::Text, Share::None, out), kErrorSuccess);
  ASSERT_TRUE(out.Write("two\n"));
  ASSERT_EQ(out.Close(), kErrorSuccess);
  EXPECT_EQ(ReadWholeFile(dir / "a"), "one\r\ntwo\r\n");
}

TEST(StreamRead, UngetAndLinesAndBlocks) {
  TempDir dir;
  WriteWholeFile(dir / "f", "ab\r\ncd\r\n");
  Stream in;
  ASSERT_EQ(Stream::Open(dir / "f", "r", StreamMode::Text, Share::ReadWrite, in), kErrorSuccess);
  const int a = in.GetChar();
  EXPECT_EQ(a, 'a');
  EXPECT_TRUE(in.UngetChar(a));
  std::string line;
  ASSERT_TRUE(in.ReadLine(line, 100));
  EXPECT_EQ(line, "ab\n");
  ASSERT_TRUE(in.ReadLine(line, 1));
  EXPECT_EQ(line, "c");
  char rest[10];
  EXPECT_EQ(in.Read(rest, sizeof rest), 2u);
  EXPECT_EQ(std::string(rest, 2), "d\n");
  EXPECT_FALSE(in.ReadLine(line, 100));
  EXPECT_TRUE(in.Eof());
}

TEST(StreamRead, LoneCrPutBackStaysLone) {
  TempDir dir;
  WriteWholeFile(dir / "f", "a\r");
  Stream in;
  ASSERT_EQ(Stream::Open(dir / "f", "r", StreamMode::Text, Share::ReadWrite, in), kErrorSuccess);
  EXPECT_EQ(in.GetChar(), 'a');
  EXPECT_EQ(in.GetChar(), '\r');
  EXPECT_TRUE(in.UngetChar('\r'));
  EXPECT_EQ(in.GetChar(), '\r');
  EXPECT_EQ(in.GetChar(), Stream::kEof);
}

TEST(StreamOpen, ModesAndErrors) {
  TempDir dir;
  Stream s;
  EXPECT_EQ(Stream::Open(dir / "missing", "r", StreamMode::Text, Share::ReadWrite, s),
            kErrorFileNotFound);
  EXPECT_EQ(Stream::Open(dir / "nofolder/x", "w", StreamMode::Text, Share::ReadWrite, s),
            kErrorPathNotFound);
  EXPECT_EQ(Stream::Open(dir / "x", "q", StreamMode::Text, Share::ReadWrite, s),
            kErrorInvalidParameter);
}

}  // namespace
}  // namespace faxmail::platform
