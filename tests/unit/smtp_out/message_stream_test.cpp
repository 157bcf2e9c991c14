// The message on the wire after DATA: leading dots doubled but for the end line, "TO:<<" made
// single within each 200-byte piece of the work file, and the same bytes whatever blocks the
// work file is read in.
#include "gateway/smtp_out/message_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace faxmail {
namespace {

std::string Wire(const std::string& file, const std::vector<std::size_t>& blocks) {
  MessageStream stream(
      file.size(),
      MessageStream::EndsWithEndLine(
          std::string_view(file).substr(file.size() >= 4 ? file.size() - 4 : 0), file.size()));
  std::string out;
  std::size_t at = 0;
  for (std::size_t i = 0; at < file.size(); ++i) {
    const std::size_t n = blocks.empty() ? file.size() : blocks[i % blocks.size()];
    stream.Feed(std::string_view(file).substr(at, n), out);
    at += n;
  }
  stream.Finish(out);
  return out;
}

// A message whose "TO:<<" occurrences and dotted lines stand on both sides of piece ends.
std::string Straddling() {
  std::string file = "TO:<<A@B.TEST>>\r\n";
  file += std::string(198 - file.size() - 2, 'x') + "\r\n";  // the next line starts at 198
  file += "TO:<<C@D.TEST>>\r\n";                             // spans the first piece end
  file += std::string(400 - file.size() - 2, 'y') + "\r\n";  // the next line starts at 400
  file += ".starts a piece\r\nTO:<<<E>\r\n..\r\n.\r\n";
  return file;
}

TEST(MessageStream, WireForm) {
  struct Case {
    std::string file;
    std::string wire;
  };
  const Case cases[] = {
      {".\r\n", ".\r\n"},                                      // the end line alone
      {"a\r\n.\r\n", "a\r\n.\r\n"},                            // the end line is left alone
      {".a\r\n.\r\n", "..a\r\n.\r\n"},                         // a dotted first line
      {"a\r\n.\r\n.\r\n", "a\r\n..\r\n.\r\n"},                 // only the last "." is the end
      {"a\r\nb.\r\n", "a\r\nb.\r\n"},                          // no end line: nothing left alone
      {"a\r\n.b", "a\r\n..b"},                                 // no end line
      {"mid.dot\r\n.\r\n", "mid.dot\r\n.\r\n"},                // dots inside lines stay
      {"TO:<<X>\r\n.\r\n", "TO:<X>\r\n.\r\n"},                 // within one piece
      {"TO:<<<E>\r\n.\r\n", "TO:<<E>\r\n.\r\n"},               // one angle less, once
      {"TO:<<A> TO:<<B>\r\n.\r\n", "TO:<A> TO:<B>\r\n.\r\n"},  // each occurrence
      {"to:<<a>\r\n.\r\n", "to:<<a>\r\n.\r\n"},                // capitals only
  };
  for (const Case& c : cases) EXPECT_EQ(Wire(c.file, {}), c.wire) << c.file;

  std::string expected = Straddling();
  expected.replace(0, 5, "TO:<");  // the first stays, the one across 200 is sent unchanged
  expected.replace(expected.find(".starts"), 1, "..");
  expected.replace(expected.find("TO:<<<E>"), 8, "TO:<<E>");
  expected.replace(expected.find("\r\n..\r\n"), 6, "\r\n...\r\n");
  EXPECT_EQ(Wire(Straddling(), {}), expected);
}

// Whatever blocks the work file comes in - every split into two, single bytes, odd sizes
// around the piece size - the wire form is the same.
TEST(MessageStream, SameBytesWhateverTheBlocks) {
  const std::string file = Straddling();
  const std::string whole = Wire(file, {});
  for (std::size_t first = 1; first < file.size(); ++first)
    ASSERT_EQ(Wire(file, {first, file.size()}), whole) << first;
  for (const std::vector<std::size_t>& blocks :
       std::vector<std::vector<std::size_t>>{{1}, {3}, {7, 13}, {199}, {200}, {201}, {401}})
    EXPECT_EQ(Wire(file, blocks), whole) << blocks[0];
}

TEST(MessageStream, EndLineNeedsALineOfItsOwn) {
  EXPECT_TRUE(MessageStream::EndsWithEndLine(".\r\n", 3));
  EXPECT_TRUE(MessageStream::EndsWithEndLine("\n.\r\n", 10));
  EXPECT_FALSE(MessageStream::EndsWithEndLine("x.\r\n", 10));
  EXPECT_FALSE(MessageStream::EndsWithEndLine(".\r\n", 10));  // not what came before it
  EXPECT_FALSE(MessageStream::EndsWithEndLine("\r\n", 2));
  EXPECT_FALSE(MessageStream::EndsWithEndLine("", 0));
}

}  // namespace
}  // namespace faxmail
