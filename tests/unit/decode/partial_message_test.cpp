#include "gateway/decode/partial_message.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "gateway/decode/part_directory.h"
#include "platform/file.h"
#include "platform/process.h"
#include "tests/unit/decode/decode_test_support.h"

namespace faxmail::decode::test {
namespace {

namespace fs = std::filesystem;

constexpr char kId[] = "split-1@example.com";

// The body of the split message: its own header lines, then a text part and an attachment.
const std::string kInner =
    "Message-ID: <inner@example.com>\n"
    "Subject: Inner subject\n"
    "Content-Type: multipart/mixed;\n"
    " boundary=zz\n"
    "MIME-Version: 1.0\n"
    "\n"
    "--zz\n"
    "Content-Type: text/plain\n"
    "\n"
    "Hello from a\n"
    "split message.\n"
    "--zz\n"
    "Content-Type: application/octet-stream; name=x.bin\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "QUJD\n"
    "--zz--\n";

// kInner cut into n pieces at line ends.
std::vector<std::string> Pieces(int n) {
  std::vector<std::string> lines;
  for (std::size_t pos = 0; pos < kInner.size();) {
    const std::size_t end = kInner.find('\n', pos) + 1;
    lines.push_back(kInner.substr(pos, end - pos));
    pos = end;
  }
  std::vector<std::string> pieces(static_cast<std::size_t>(n));
  const std::size_t per = (lines.size() + n - 1) / n;
  for (std::size_t i = 0; i < lines.size(); ++i)
    pieces[std::min(i / per, pieces.size() - 1)] += lines[i];
  return pieces;
}

std::string PartialMessage(const std::string& params, const std::string& body) {
  return "From: a@example.com\n"
         "To: 555@fax.example\n"
         "Subject: Split\n"
         "Message-ID: <outer@example.com>\n"
         "Content-Type: message/partial; " +
         params +
         "\n"
         "Content-Description: one piece\n"
         "\n" +
         body;
}

class PartialMessageTest : public faxmail::test::RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    ::setenv("TMP", m_tmp.Path().c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("TMP");
    RootTest::TearDown();
  }

  // Decodes one mail; its transcript goes to the shared sink.
  int Deliver(const std::string& message) {
    ConsoleCapture console;
    auto reader = MemoryReader(message);
    reader->SetAttachmentListPath("/spool/OUT/att.lst");
    const int result = DecodeMessage(*reader, "text/plain", false, sink);
    out += console.out;
    err += console.err;
    return result;
  }

  std::string SetDir() const { return m_tmp.Path() + "/parts/split-1@.exa/"; }
  std::vector<std::string> StoreEntries() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(m_tmp.Path() + "/parts", ec))
      names.push_back(fs::relative(e.path(), m_tmp.Path() + "/parts").string());
    std::sort(names.begin(), names.end());
    return names;
  }

  faxmail::test::TempDir m_tmp;
  RecordingSink sink;
  std::string out;
  std::string err;
};

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
  EXPECT_EQ(dir, m_tmp.Path() + "/parts/abcdefgh.i/");
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
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 8);
  const auto recent = fs::file_time_type::clock::now() - std::chrono::hours(24 * 6);
  fs::create_directories(parts + "/old");
  faxmail::test::WriteWholeFile(parts + "/old/CT", "3\r\n");
  faxmail::test::WriteWholeFile(parts + "/old/2", "two\r\n");
  fs::last_write_time(parts + "/old", old);
  fs::create_directories(parts + "/recent");
  faxmail::test::WriteWholeFile(parts + "/recent/1", "one\r\n");
  fs::last_write_time(parts + "/recent", recent);
  fs::create_directories(parts + "/foreign");
  faxmail::test::WriteWholeFile(parts + "/foreign/1", "one\r\n");
  faxmail::test::WriteWholeFile(parts + "/foreign/notes.txt", "someone else's\r\n");
  fs::last_write_time(parts + "/foreign", old);

  EXPECT_EQ(Deliver(PartialMessage("id=new; number=1; total=2", "Subject: s\n\nx\n")), 0);
  // The old set is gone; the recent one stays; of the foreign folder only our files went.
  EXPECT_EQ(StoreEntries(), (std::vector<std::string>{"foreign", "foreign/notes.txt", "new",
                                                      "new/1", "new/CT", "recent", "recent/1"}));
}

TEST_F(PartialMessageTest, AFolderThatCannotBeMadeRefusesThePart) {
  const std::string file = m_tmp.Path() + "/not-a-folder";
  faxmail::test::WriteWholeFile(file, "x");
  ::setenv("TMP", file.c_str(), 1);
  EXPECT_EQ(Deliver(PartialMessage("id=a; number=1; total=1", "Subject: s\n\nx\n")), 1);
  EXPECT_EQ(err, file + "/parts/a: No such file or directory\n");
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
  EXPECT_NE(err.find("/parts/self/FULL: File is in use by another process\n"), std::string::npos);
  EXPECT_EQ(StoreEntries(), (std::vector<std::string>{"self", "self/1"}));
}

TEST_F(PartialMessageTest, WithoutTmpTheStoreIsAPrivateFolderOfTheRoot) {
  ::unsetenv("TMP");
  EXPECT_EQ(PartsFolder(), Root() + "/tmp/parts");
  EXPECT_EQ(fs::status(Root() + "/tmp").permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(Root() + "/tmp/parts").permissions(), fs::perms::owner_all);
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

TEST_F(PartialMessageTest, PlantedSymbolicLinksAreNeverFollowed) {
  const std::string parts = m_tmp.Path() + "/parts";
  const std::string dir = parts + "/s/";
  const std::string target = m_tmp.Path() + "/target";
  const std::string secret = "From: someone@example.com\n\nsecret text\n";
  struct Case {
    const char* what;
    std::string link;  // planted before the part arrives, pointing at target
    bool targetIsFolder;
    std::string firstPart;  // delivered before the link is planted ("" for none)
    std::string params;     // of the part delivered then
    std::string reported;   // the path in the error report
  };
  const Case cases[] = {
      {"a part file", dir + "2", false, "id=s; number=1; total=2", "id=s; number=2", dir + "2"},
      {"a part file the join reads", dir + "2", false, "", "id=s; number=1; total=2", dir + "2"},
      {"the total file", dir + "CT", false, "", "id=s; number=1; total=2", dir + "CT"},
      {"the id's folder", parts + "/s", true, "", "id=s; number=1; total=2", parts + "/s"},
      {"the store's folder", parts, true, "", "id=s; number=1; total=2", parts},
  };
  for (const Case& c : cases) {
    fs::remove_all(parts);
    fs::remove_all(target);
    sink = RecordingSink();
    err.clear();
    fs::create_directories(dir);
    if (!c.firstPart.empty()) {
      ASSERT_EQ(Deliver(PartialMessage(c.firstPart, "Subject: s\n\nfirst\n")), 0) << c.what;
    }
    if (c.targetIsFolder) {
      fs::create_directory(target);
    } else {
      faxmail::test::WriteWholeFile(target, secret);
    }
    fs::remove_all(c.link);
    fs::create_symlink(target, c.link);

    // The part is a component: the message's other parts are still decoded.
    const std::string message =
        "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: message/partial; " +
        c.params + "\n\nSubject: s\n\nsecond\n--b\n\nafter\n--b--\n";
    EXPECT_EQ(Deliver(message), 0) << c.what;
    EXPECT_EQ(err, c.reported + ": Is a symbolic link\n") << c.what;
    EXPECT_EQ(sink.textParts, std::vector<std::string>{"after"}) << c.what;
    // The link and its target are as they were.
    EXPECT_TRUE(fs::is_symlink(c.link)) << c.what;
    if (c.targetIsFolder) {
      EXPECT_TRUE(fs::is_empty(target)) << c.what;
    } else {
      EXPECT_EQ(faxmail::test::ReadWholeFile(target), secret) << c.what;
    }
    // A part stored before stays stored; a failed join leaves no joined file.
    if (!c.firstPart.empty()) {
      EXPECT_TRUE(platform::FileExists(dir + "1")) << c.what;
    }
    if (c.link == dir + "2" && c.firstPart.empty()) {
      EXPECT_TRUE(platform::FileExists(dir + "1")) << c.what;
      EXPECT_FALSE(fs::exists(dir + "FULL")) << c.what;
    }
  }
}

// Files of the store written while the process may write no file beyond a size: a write past it
// fails (with SIGXFSZ ignored) as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &m_saved);
    m_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = m_saved;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &m_saved);
    std::signal(SIGXFSZ, m_handler);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit m_saved{};
  void (*m_handler)(int) = SIG_DFL;
};

// A part or a joined message that cannot be written whole leaves no file of it in the store:
// a part cut short must not complete the set, and a failed join keeps the parts.
TEST_F(PartialMessageTest, FilesThatCannotBeWrittenWholeAreNotLeftInTheStore) {
  constexpr rlim_t kLimit = 64 * 1024;
  // A body line of kInner's text part, repeated to the size wanted.
  const auto body = [](std::size_t bytes) {
    std::string text = "Subject: s\n\n";
    while (text.size() < bytes) text += "a line of a split message, long enough to count\n";
    return text;
  };
  struct Case {
    const char* what;
    std::string earlier;  // part 2, delivered without the limit ("" for none)
    std::string part1;    // then part 1 of 2, with the limit
    std::string reported;
    std::vector<std::string> left;  // in the store afterwards
  };
  const Case cases[] = {
      {"a part cut short",
       "",
       body(2 * kLimit),
       SetDir() + "1",
       {"split-1@.exa", "split-1@.exa/CT"}},
      {"a join cut short",
       body(kLimit / 2 + 1024),
       body(kLimit / 2 + 1024),
       SetDir() + "FULL",
       {"split-1@.exa", "split-1@.exa/1", "split-1@.exa/2", "split-1@.exa/CT"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(m_tmp.Path() + "/parts");
    err.clear();
    if (!c.earlier.empty()) {
      ASSERT_EQ(Deliver(PartialMessage("id=split-1@example.com; number=2", c.earlier)), 0);
    }
    int result = -1;
    {
      const FileSizeLimit limit(kLimit);
      result = Deliver(PartialMessage("id=split-1@example.com; number=1; total=2", c.part1));
    }
    EXPECT_EQ(result, 1);
    EXPECT_EQ(err.substr(0, err.find(':')), c.reported) << err;
    EXPECT_EQ(StoreEntries(), c.left);
    EXPECT_TRUE(sink.textParts.empty());
  }
}

}  // namespace
}  // namespace faxmail::decode::test
