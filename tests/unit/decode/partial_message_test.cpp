#include "gateway/decode/partial_message.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "gateway/decode/part_directory.h"
#include "platform/file.h"
#include "platform/process.h"
#include "tests/unit/decode/decode_test_support.h"
#include "tests/unit/decode/partial_message_test_fixture.h"

namespace faxmail::decode::test {
namespace {

namespace fs = std::filesystem;

using namespace partial_test;

TEST(PartDirectoryTest, FolderNamesAreSafe83Names) {
  struct Case {
    const char* id;
    const char* name;
  };
  const Case cases[] = {
      {"abc/def.ghi", "abcdefgh.i"},
      {"CON", "CONx"},
      {"con", "conx"},
      {"Nul", "Nulx"},
      {"com1", "com1x"},
      {"LPT3", "LPT3x"},
      {"com5", "com5"},
      {"console", "console"},
      {"", "x"},
      {"../../..", "x"},
      {"<1234567890@host.example>", "12345678.90@"},
      {"a b\tc\"d*e?f|g", "abcdefg"},
      {"split-1@example.com", "split-1@.exa"},
      {"-_^$~!#%&{}@`'()", "-_^$~!#%.&{}"},
  };
  for (const Case& c : cases) EXPECT_EQ(PartFolderName(c.id), c.name) << c.id;
  EXPECT_TRUE(IsReservedDeviceName("AUX"));
  EXPECT_TRUE(IsReservedDeviceName("prn"));
  EXPECT_FALSE(IsReservedDeviceName("com"));
  EXPECT_FALSE(IsReservedDeviceName("lpt4"));
}

TEST_F(PartialMessageTest, PartDirectoryCreatesTheFolderUnderTmp) {
  const std::string dir = PartDirectory("abc/def.ghi");
  EXPECT_EQ(dir, faxmail::test::NativePath(m_tmp.Path() + "/parts/abcdefgh.i/"));
  EXPECT_TRUE(platform::DirectoryExists(dir));
  EXPECT_EQ(PartDirectory("abc/def.ghi"), dir);  // an existing folder is used as it is
  RemovePartDirectory(dir);
  EXPECT_FALSE(platform::DirectoryExists(dir));
}

TEST_F(PartialMessageTest, PartsInOrderAreJoinedAndDecodedOnce) {
  const auto pieces = Pieces(2);
  EXPECT_EQ(Deliver(PartialMessage("id=\"split-1@example.com\"; number=1; total=2", pieces[0])), 0);
  EXPECT_TRUE(sink.textParts.empty());
  EXPECT_EQ(faxmail::test::ReadWholeFile(SetDir() + "CT"), "2\r\n");
  // Part 1 holds the enclosing headers without the content ones, then the enclosed message's
  // content headers, in text mode.
  const std::string part1 = faxmail::test::ReadWholeFile(SetDir() + "1");
  std::string expected =
      "From: a@example.com\nTo: 555@fax.example\nSubject: Split\n"
      "Message-ID: <inner@example.com>\nContent-Type: multipart/mixed;\n boundary=zz\n\n" +
      pieces[0].substr(pieces[0].find("\n\n") + 2);
  std::string crlf;
  for (const char c : expected) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(part1, crlf);

  EXPECT_EQ(Deliver(PartialMessage("id=split-1@example.com; number=2", pieces[1])), 0);
  EXPECT_EQ(sink.textParts, std::vector<std::string>{"Hello from a\nsplit message."});
  ASSERT_EQ(sink.attachments.size(), 1u);
  EXPECT_EQ(sink.attachments[0].sentName, "x.bin");
  EXPECT_EQ(sink.attachments[0].content, "ABC");
  EXPECT_EQ(sink.listPaths[0], "/spool/OUT/att.lst");
  // The joined message's header block: enclosing headers, then the enclosed content headers.
  ASSERT_EQ(sink.blocks.size(), 5u);
  EXPECT_EQ(sink.blocks[2],
            "\nFrom: a@example.com\nTo: 555@fax.example\nSubject: Split\n"
            "Message-ID: <inner@example.com>\nContent-Type: multipart/mixed;\n boundary=zz\n");
  EXPECT_NE(out.find("Saving part 1 of 2 split-1@example.com\n"), std::string::npos);
  EXPECT_NE(out.find("Saving part 2 of 2 split-1@example.com\n"), std::string::npos);
  EXPECT_EQ(err, "");
  // Everything of the set is gone.
  EXPECT_EQ(StoreEntries(), std::vector<std::string>{});
}

TEST_F(PartialMessageTest, PartsInAnyOrderWithTheTotalOnAnyPartDecodeAtTheLastOne) {
  const auto pieces = Pieces(3);
  std::vector<int> order = {1, 2, 3};
  std::vector<std::string> reference;  // the joined message's header blocks
  do {
    for (int withTotal = 1; withTotal <= 3; ++withTotal) {
      sink = RecordingSink();
      out.clear();
      for (std::size_t i = 0; i < order.size(); ++i) {
        const int n = order[i];
        std::string params = "id=" + std::string(kId) + "; number=" + std::to_string(n);
        if (n == withTotal) params += "; total=3";
        ASSERT_EQ(Deliver(PartialMessage(params, pieces[static_cast<std::size_t>(n - 1)])), 0);
        // Nothing is decoded before the last part is in.
        ASSERT_EQ(sink.textParts.empty(), i + 1 < order.size())
            << order[0] << order[1] << order[2] << " total on " << withTotal;
      }
      const std::vector<std::string> joined(sink.blocks.begin() + 3, sink.blocks.end());
      if (reference.empty()) reference = joined;
      EXPECT_EQ(joined, reference);
      EXPECT_EQ(joined.size(), 3u);
      EXPECT_EQ(sink.text, "Hello from a\nsplit message.");
      ASSERT_EQ(sink.attachments.size(), 1u);
      EXPECT_EQ(sink.attachments[0].content, "ABC");
      // A part that arrived before the total says so.
      if (order[0] != withTotal) {
        EXPECT_NE(out.find("Saving part " + std::to_string(order[0]) + " " + kId + "\n"),
                  std::string::npos);
      }
      EXPECT_EQ(StoreEntries(), std::vector<std::string>{});
    }
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(err, "");
}

TEST_F(PartialMessageTest, InvalidPartsAreRefusedAndSkipped) {
  struct Case {
    std::string params;
    std::string warning;
  };
  const Case cases[] = {
      {"number=1; total=1", "partial message has no id parameter"},
      {"id=a; total=2", "partial message doesn't have number parameter"},
      {"id=a; number=0; total=2", "partial message has invalid number"},
      {"id=a; number=3; total=2", "partial message has invalid number"},
      {"id=a; number=abc", "partial message has invalid number"},
      {"id=a; number=-1", "partial message has invalid number"},
      {"id=a; number=1; total=0", "partial message has invalid number of parts"},
      {"id=a; number=1; total=-5", "partial message has invalid number of parts"},
      {"id=a; number=1; total=10001", "partial message has invalid number of parts"},
      {"id=a; number=1; total=99999999999999999999", "partial message has invalid number of parts"},
      {"id=a; number=10001", "partial message has invalid number"},
      {"id=a; number=4000000000", "partial message has invalid number"},
  };
  for (const Case& c : cases) {
    err.clear();
    sink = RecordingSink();
    // The partial part is a component: the part after it is still decoded.
    const std::string message =
        "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: message/partial; " +
        c.params + "\n\nbody line\n--b\n\nafter\n--b--\n";
    EXPECT_EQ(Deliver(message), 0) << c.params;
    EXPECT_EQ(err, "munpack: warning: " + c.warning + "\n") << c.params;
    EXPECT_EQ(sink.textParts, std::vector<std::string>{"after"}) << c.params;
    EXPECT_FALSE(platform::FileExists(m_tmp.Path() + "/parts/a/1")) << c.params;
    // As a whole message the failure is the result.
    err.clear();
    EXPECT_EQ(Deliver("Content-Type: message/partial; " + c.params + "\n\nbody\n"), 1);
  }
}

TEST_F(PartialMessageTest, AStoredTotalLimitsLaterParts) {
  EXPECT_EQ(Deliver(PartialMessage("id=t; number=1; total=2", "Subject: s\n\nx\n")), 0);
  EXPECT_EQ(Deliver(PartialMessage("id=t; number=3", "y\n")), 1);
  EXPECT_EQ(err, "munpack: warning: partial message has invalid number\n");
  // A total file that this system never writes is refused too.
  fs::create_directories(m_tmp.Path() + "/parts/u");
  faxmail::test::WriteWholeFile(m_tmp.Path() + "/parts/u/CT", "99999\r\n");
  err.clear();
  EXPECT_EQ(Deliver(PartialMessage("id=u; number=1", "y\n")), 1);
  EXPECT_EQ(err, "munpack: warning: partial message has invalid number of parts\n");
}

TEST_F(PartialMessageTest, AbandonedSetsAreRemovedWhenTheNextPartArrives) {
  const std::string parts = m_tmp.Path() + "/parts";
  const auto old = std::chrono::system_clock::now() - std::chrono::hours(24 * 8);
  const auto recent = std::chrono::system_clock::now() - std::chrono::hours(24 * 6);
  fs::create_directories(parts + "/old");
  faxmail::test::WriteWholeFile(parts + "/old/CT", "3\r\n");
  faxmail::test::WriteWholeFile(parts + "/old/2", "two\r\n");
  ASSERT_TRUE(faxmail::test::SetModifiedTime(parts + "/old", old));
  fs::create_directories(parts + "/recent");
  faxmail::test::WriteWholeFile(parts + "/recent/1", "one\r\n");
  ASSERT_TRUE(faxmail::test::SetModifiedTime(parts + "/recent", recent));
  fs::create_directories(parts + "/foreign");
  faxmail::test::WriteWholeFile(parts + "/foreign/1", "one\r\n");
  faxmail::test::WriteWholeFile(parts + "/foreign/notes.txt", "someone else's\r\n");
  ASSERT_TRUE(faxmail::test::SetModifiedTime(parts + "/foreign", old));

  EXPECT_EQ(Deliver(PartialMessage("id=new; number=1; total=2", "Subject: s\n\nx\n")), 0);
  // The old set is gone; the recent one stays; of the foreign folder only our files went.
  EXPECT_EQ(StoreEntries(), (std::vector<std::string>{"foreign", "foreign/notes.txt", "new",
                                                      "new/1", "new/CT", "recent", "recent/1"}));
}

TEST_F(PartialMessageTest, AFolderThatCannotBeMadeRefusesThePart) {
  const std::string file = m_tmp.Path() + "/not-a-folder";
  faxmail::test::WriteWholeFile(file, "x");
  faxmail::test::SetEnv("TMP", file);
  EXPECT_EQ(Deliver(PartialMessage("id=a; number=1; total=1", "Subject: s\n\nx\n")), 1);
  EXPECT_EQ(err, file + faxmail::test::NativePath("/parts/a") + ": No such file or directory\n");
  EXPECT_FALSE(platform::FileExists("CT"));
  EXPECT_FALSE(platform::FileExists("1"));
}

TEST_F(PartialMessageTest, AJoinedMessageThatSplitsItselfAgainEnds) {
  // The joined message is itself part 1 of 1 of the same id: its folder's FULL is open, so
  // the inner set cannot be joined and nothing loops. The inner part's file stays behind
  // (until the set is abandoned); the outer set's files are gone.
  const std::string inner =
      "Content-Type: message/partial; id=self; number=1; total=1\n\nSubject: again\n\nagain\n";
  EXPECT_EQ(Deliver(PartialMessage("id=self; number=1; total=1", inner)), 0);
  EXPECT_NE(err.find(faxmail::test::NativePath("/parts/self/FULL") +
                     ": File is in use by another process\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(StoreEntries(), (std::vector<std::string>{"self", "self/1"}));
}

TEST_F(PartialMessageTest, WithoutTmpTheStoreIsAPrivateFolderOfTheRoot) {
  faxmail::test::SetEnv("TMP", std::nullopt);
  EXPECT_EQ(PartsFolder(), faxmail::test::NativePath(Root() + "/tmp/parts"));
  // A whole set goes through the private store and leaves nothing behind.
  const std::string id = "private-" + std::to_string(platform::ProcessId());
  const auto pieces = Pieces(2);
  EXPECT_EQ(Deliver(PartialMessage("id=" + id + "; number=2", pieces[1])), 0);
  EXPECT_TRUE(platform::FileExists(PartDirectory(id) + "2"));
  EXPECT_FALSE(fs::exists("/tmp/parts/" + PartFolderName(id)));
  EXPECT_EQ(Deliver(PartialMessage("id=" + id + "; number=1; total=2", pieces[0])), 0);
  EXPECT_EQ(sink.text, "Hello from a\nsplit message.");
  EXPECT_EQ(err, "");
  EXPECT_TRUE(fs::is_empty(Root() + "/tmp/parts"));
}

}  // namespace
}  // namespace faxmail::decode::test
