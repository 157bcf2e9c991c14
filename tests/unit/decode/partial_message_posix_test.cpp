// Partial messages where the system they stand in for is POSIX: symbolic links planted in the
// store, and a process that may write no file beyond a size (the full disk of a test).
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "gateway/decode/part_directory.h"
#include "gateway/decode/partial_message.h"
#include "platform/file.h"
#include "tests/unit/decode/decode_test_support.h"
#include "tests/unit/decode/partial_message_test_fixture.h"

namespace faxmail::decode::test {
namespace {

using namespace partial_test;

// The store made without TMP is the owner's alone, folder by folder.
TEST_F(PartialMessageTest, WithoutTmpTheStoreFoldersAreTheOwnersAlone) {
  faxmail::test::SetEnv("TMP", std::nullopt);
  ASSERT_EQ(PartsFolder(), Root() + "/tmp/parts");
  EXPECT_EQ(fs::status(Root() + "/tmp").permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(Root() + "/tmp/parts").permissions(), fs::perms::owner_all);
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
