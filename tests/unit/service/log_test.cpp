// The diagnostic log is read by administrators and by scripts: the column layout, the channel
// rules and whole lines under concurrency are what they rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <thread>

#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "platform/eventlog.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::ReadWholeFile;

// A path written with slashes, in the platform's own separators.
std::string Native(std::string path) {
  std::replace(path.begin(), path.end(), '/', platform::kPathSeparator);
  return path;
}

TEST(LogEntryFormat, PadsToColumn75) {
  const std::string time = "01:02:03 04/05/26";
  struct Case {
    std::size_t length;
    std::size_t blanksBeforeTime;  // padding plus the one separating blank
  } cases[] = {{27, 49}, {74, 2}, {75, 1}, {80, 1}, {0, 76}};
  for (const auto& c : cases) {
    const std::string message(c.length, 'm');
    const std::string entry = FormatLogEntry(message, "MNCP", 146, time);
    EXPECT_EQ(entry, message + std::string(c.blanksBeforeTime, ' ') + time + " (MNCP - 146)")
        << c.length;
  }
}

TEST(LogEntryFormat, LongMessagesAreCutToTheEntryLimitKeepingTheTail) {
  const std::string entry = FormatLogEntry(std::string(5000, 'x'), "DECODE", 12, "t");
  EXPECT_EQ(entry.size(), kMaxEntry);
  EXPECT_TRUE(entry.ends_with(" t (DECODE - 12)"));
}

TEST(LogEntryFormat, ControlCharactersCannotSplitALine) {
  const std::string entry = FormatLogEntry("RCPT TO:<a>\r\nFAKE", "SMTP_IN", 1, "t");
  EXPECT_EQ(entry.find_first_of("\r\n"), std::string::npos);
  EXPECT_TRUE(entry.starts_with("RCPT TO:<a>??FAKE"));
}

TEST(DebugCopy, NameDropsTheExtensionOfTheFileOnly) {
  EXPECT_EQ(DebugCopyName("/d/OUT/ENV12.tmp", 1700000000), "/d/OUT/ENV12-1700000000.debug");
  EXPECT_EQ(DebugCopyName("/d/OUT/12.cqx", 5), "/d/OUT/12-5.debug");
  // A dot in a folder is no extension (the folders as the platform separates them).
  EXPECT_EQ(DebugCopyName(Native("/d.x/OUT/noext"), 5), Native("/d.x/OUT/noext-5.debug"));
  EXPECT_EQ(DebugCopyName("/d/a.ConnFailed.Err", 5), "/d/a.ConnFailed-5.debug");
}

class LogChannelTest : public test::RootTest {
 protected:
  void SetPaths(const std::string& main, const std::string& secondary) {
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    if (!main.empty()) {
      ASSERT_EQ(platform::RegSetString(key, "logfile", main), 0);
    }
    if (!secondary.empty()) {
      ASSERT_EQ(platform::RegSetString(key, "logfileb", secondary), 0);
    }
  }
};

TEST_F(LogChannelTest, OffUntilReadAndWithoutKey) {
  GetDebugSettings2();
  EXPECT_FALSE(IsMainLogOn());
  EXPECT_FALSE(IsSecondaryLogOn());
}

TEST_F(LogChannelTest, PathOfFourCharactersTurnsAChannelOn) {
  // Relative paths: the length rule is the point, and the test runs in its own root.
  ASSERT_EQ(chdir(Root().c_str()), 0);
  SetPaths("abcd", "abc");
  GetDebugSettings2();
  EXPECT_TRUE(IsMainLogOn());
  EXPECT_FALSE(IsSecondaryLogOn());
  LogMessage("main entry", "MNCP", 7);
  LogMessage2("secondary entry", "SMTP_IN", 8);
  LogMessageText("SMTPIn- ", "joined", "SMTP_IN", 9);
  const std::string text = ReadWholeFile(Root() + "/abcd");
  const std::regex line(R"(main entry {65} (\d\d:\d\d:\d\d \d\d/\d\d/\d\d \(MNCP - 7\))\r\n)"
                        R"(SMTPIn- joined {61} \d\d:\d\d:\d\d \d\d/\d\d/\d\d \(SMTP_IN - 9\)\r\n)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
  EXPECT_FALSE(platform::FileExists(Root() + "/abc"));
}

TEST_F(LogChannelTest, OnlySecondaryWhenOnlyItIsSet) {
  SetPaths("", Root() + "/b.log");
  GetDebugSettings2();
  EXPECT_FALSE(IsMainLogOn());
  EXPECT_TRUE(IsSecondaryLogOn());
  LogMessage("to main", "MNCP", 1);
  LogMessageText2("DECODE - ", "to secondary", "DECODE", 2);
  EXPECT_NE(ReadWholeFile(Root() + "/b.log").find("DECODE - to secondary"), std::string::npos);
}

TEST_F(LogChannelTest, UnwritablePathLosesEntriesQuietly) {
  SetPaths(Root() + "/no/such/folder/log", "");
  GetDebugSettings2();
  EXPECT_TRUE(IsMainLogOn());
  LogMessage("lost", "MNCP", 1);  // must neither throw nor stop
  EXPECT_FALSE(platform::FileExists(Root() + "/no/such/folder/log"));
}

TEST_F(LogChannelTest, ADeletedFileIsCreatedAgain) {
  SetPaths(Root() + "/m.log", "");
  GetDebugSettings2();
  LogMessage("one", "MNCP", 1);
  ASSERT_EQ(platform::DeleteFile(Root() + "/m.log"), 0);
  LogMessage("two", "MNCP", 2);
  const std::string text = ReadWholeFile(Root() + "/m.log");
  EXPECT_EQ(text.find("one"), std::string::npos);
  EXPECT_EQ(text.rfind("two", 0), 0u);
}

// The file stays open between entries, and administrators (logrotate) move, remove and
// replace it meanwhile: every entry must still land where an open by name puts it.
TEST_F(LogChannelTest, EntriesFollowTheNameWhateverBecameOfTheFile) {
  const std::string log = Root() + "/m.log";
  const std::string moved = Root() + "/m.log.1";
  const struct {
    const char* what;
    std::function<void()> change;
    std::string before;  // what the file of the old entry holds then, by its name now
    std::string after;   // the file that the log's name now holds
  } cases[] = {
      {"moved away", [&] { ASSERT_EQ(platform::RenameFile(log, moved, true), 0); }, "one", "two"},
      {"removed", [&] { ASSERT_EQ(platform::DeleteFile(log), 0); }, "", "two"},
      {"replaced by another file",
       [&] {
         test::WriteWholeFile(moved, "other\r\n");
         ASSERT_EQ(platform::RenameFile(moved, log, true), 0);
       },
       "", "other\r\ntwo"},
      {"emptied in place", [&] { test::WriteWholeFile(log, ""); }, "", "two"},
  };
  for (const auto& c : cases) {
    platform::DeleteFile(log);
    platform::DeleteFile(moved);
    SetPaths(log, "");
    GetDebugSettings2();
    LogMessage("one", "MNCP", 1);
    c.change();
    LogMessage("two", "MNCP", 2);
    const std::string now = ReadWholeFile(log);
    EXPECT_TRUE(now.starts_with(c.after)) << c.what << ": " << now;
    EXPECT_EQ(now.find("one"), std::string::npos) << c.what << ": " << now;
    EXPECT_EQ(std::count(now.begin(), now.end(), '\n'),
              std::count(c.after.begin(), c.after.end(), '\n') + 1)
        << c.what;
    if (!c.before.empty()) {
      const std::string old = ReadWholeFile(moved);
      EXPECT_TRUE(old.starts_with(c.before)) << c.what;
      EXPECT_EQ(old.find("two"), std::string::npos) << c.what << ": " << old;
    }
  }
}

TEST_F(LogChannelTest, ANewPathIsTakenAtOnce) {
  SetPaths(Root() + "/a.log", "");
  GetDebugSettings2();
  LogMessage("to a", "MNCP", 1);
  SetPaths(Root() + "/b.log", "");
  GetDebugSettings2();
  LogMessage("to b", "MNCP", 2);
  EXPECT_EQ(ReadWholeFile(Root() + "/a.log").find("to b"), std::string::npos);
  EXPECT_TRUE(ReadWholeFile(Root() + "/b.log").starts_with("to b"));
}

TEST_F(LogChannelTest, ConcurrentWritersNeverInterleave) {
  SetPaths(Root() + "/m.log", "");
  GetDebugSettings2();
  constexpr int kThreads = 6, kEntries = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string message = "thread " + std::to_string(t) + " " + std::string(100, 'x');
      for (int i = 0; i < kEntries; ++i) LogMessage(message, "SMTP_IN", i);
    });
  }
  for (auto& th : threads) th.join();
  const std::string text = ReadWholeFile(Root() + "/m.log");
  const std::regex line(R"(thread \d x{100} \d\d:\d\d:\d\d \d\d/\d\d/\d\d \(SMTP_IN - \d+\))");
  std::size_t count = 0, start = 0;
  while (start < text.size()) {
    const auto end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    ASSERT_TRUE(std::regex_match(text.substr(start, end - start), line))
        << text.substr(start, end - start);
    ++count;
    start = end + 2;
  }
  EXPECT_EQ(count, std::size_t{kThreads * kEntries});
}

TEST_F(LogChannelTest, SocketErrorIsLoggedAndReturned) {
  SetPaths(Root() + "/m.log", "");
  GetDebugSettings2();
  platform::SetLastError(10061);
  EXPECT_EQ(LogSocketError(), 10061);
  EXPECT_TRUE(ReadWholeFile(Root() + "/m.log").starts_with("WSA Socket Error: (10061)"));
}

TEST_F(LogChannelTest, EventsCarryTheGivenInsertionStrings) {
  ReportGatewayEvent(platform::EventType::Information, 428, kServiceName);
  ReportGatewayEvent(platform::EventType::Error, 435, kServiceName, "/d/IN/a.tmp",
                     "/d/IN/a.NoName.Err");
  ReportGatewayEvent(platform::EventType::Information, 436);
  std::vector<platform::EventRecord> records;
  ASSERT_EQ(platform::ReadEventLog(records), 0);
  if (test::UnderWine() && records.empty())
    GTEST_SKIP() << "Wine's event log takes the reports and keeps no records to read back";
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].eventId, 428u);
  EXPECT_EQ(records[0].strings, std::vector<std::string>{"Corvane SMTP Server"});
  EXPECT_EQ(records[1].strings.size(), 3u);
  EXPECT_EQ(records[1].type, platform::EventType::Error);
  EXPECT_TRUE(records[2].strings.empty());
  EXPECT_EQ(records[2].source, "Corvane SMTP Server");
}

TEST_F(LogChannelTest, KeepDebugCopyRenamesInPlace) {
  const std::string path = Root() + "/ENV12.tmp";
  test::WriteWholeFile(path, "data");
  KeepDebugCopy(path);
  EXPECT_FALSE(platform::FileExists(path));
  std::vector<platform::DirEntry> entries;
  ASSERT_EQ(platform::FindFiles(Root(), "ENV12-*.debug", entries), 0);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(ReadWholeFile(Root() + "/" + entries[0].name), "data");
}

// The sender's work files are named after their handle, so one name is finished again and
// again within a second: every copy is kept, none replaces another.
TEST_F(LogChannelTest, KeepDebugCopyNeverReplacesACopy) {
  const std::string path = Root() + "/5.cqx";
  constexpr int kCopies = 8;
  for (int i = 0; i < kCopies; ++i) {
    test::WriteWholeFile(path, "delivery " + std::to_string(i));
    KeepDebugCopy(path);
    ASSERT_FALSE(platform::FileExists(path)) << i;
  }
  std::vector<platform::DirEntry> entries;
  ASSERT_EQ(platform::FindFiles(Root(), "5-*.debug", entries), 0);
  std::vector<std::string> contents;
  for (const auto& e : entries) contents.push_back(ReadWholeFile(Root() + "/" + e.name));
  std::sort(contents.begin(), contents.end());
  EXPECT_EQ(contents,
            (std::vector<std::string>{"delivery 0", "delivery 1", "delivery 2", "delivery 3",
                                      "delivery 4", "delivery 5", "delivery 6", "delivery 7"}));
}

TEST(DebugCopyNames, ACounterFollowsTheSecondsOfATakenName) {
  EXPECT_EQ(DebugCopyName("/d/IN/5.cqx", 1700000000), "/d/IN/5-1700000000.debug");
  EXPECT_EQ(DebugCopyName("/d/IN/5.cqx", 1700000000, 1), "/d/IN/5-1700000000-1.debug");
  EXPECT_EQ(DebugCopyName(Native("/d.x/IN/ENV12"), 7, 12), Native("/d.x/IN/ENV12-7-12.debug"));
}

}  // namespace
}  // namespace faxmail
