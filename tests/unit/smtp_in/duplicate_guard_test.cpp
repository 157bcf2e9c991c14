// The duplicate guard: the Message-ID taken from data as it arrives, the key, the record's
// window, its bound, its life across restarts and damage, and two sessions at once.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "gateway/smtp_in/duplicate_guard.h"
#include "platform/digest.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::ReadWholeFile;
using test::WriteWholeFile;

std::optional<std::string> ScanWhole(std::string_view data) {
  MessageIdScanner scanner;
  scanner.Feed(data);
  return scanner.MessageId();
}

TEST(MessageIdScannerTest, Table) {
  struct Case {
    const char* data;
    std::optional<std::string> id;
  } cases[] = {
      {"Subject: x\r\nMessage-ID: <1@a.example>\r\n\r\nbody\r\n", "<1@a.example>"},
      {"message-id:<2@a.example>\n\nbody\n", "<2@a.example>"},
      {"MESSAGE-ID :  <3@a.example>  \r\n\r\n", "<3@a.example>"},
      // Folded: the line break goes, the blank stays.
      {"Message-ID:\r\n <4@a.example>\r\n\r\n", "<4@a.example>"},
      {"Message-ID: <5@\r\n\ta.example>\r\nTo: x\r\n\r\n", "<5@\ta.example>"},
      // The first one counts.
      {"Message-ID: <6@a>\r\nMessage-ID: <7@a>\r\n\r\n", "<6@a>"},
      // Only the header section.
      {"Subject: x\r\n\r\nMessage-ID: <8@a>\r\n", std::nullopt},
      {"Subject: x\r\nnot a header line\r\nMessage-ID: <9@a>\r\n\r\n", std::nullopt},
      {"X-Message-ID: <10@a>\r\n\r\n", std::nullopt},
      {"Message-IDs: <11@a>\r\n\r\n", std::nullopt},
      {"Message-ID:   \r\n\r\n", std::nullopt},
      {"", std::nullopt},
      // The data ended inside the header.
      {"Message-ID: <12@a>\r\n", "<12@a>"},
  };
  for (const auto& c : cases) EXPECT_EQ(ScanWhole(c.data), c.id) << c.data;
}

TEST(MessageIdScannerTest, SplitAtEveryByte) {
  const std::string data = "Received: x\r\n y\r\nMessage-Id: <split@a.example>\r\n\r\nbody\r\n";
  for (std::size_t cut = 0; cut <= data.size(); ++cut) {
    MessageIdScanner scanner;
    scanner.Feed(std::string_view(data).substr(0, cut));
    scanner.Feed(std::string_view(data).substr(cut));
    EXPECT_EQ(scanner.MessageId(), "<split@a.example>") << cut;
  }
}

TEST(MessageIdScannerTest, OverlongFieldIsAbsent) {
  const std::string longId(MessageIdScanner::kLineLimit + 10, 'x');
  EXPECT_EQ(ScanWhole("Message-ID: <" + longId + ">\r\n\r\n"), std::nullopt);
  // Folded past the bound.
  std::string folded = "Message-ID: <a";
  for (int i = 0; i < 30; ++i) folded += "\r\n " + std::string(50, 'y');
  EXPECT_EQ(ScanWhole(folded + ">\r\n\r\n"), std::nullopt);
  // An overlong other field does not hide the Message-ID that follows it.
  EXPECT_EQ(ScanWhole("X-Long: " + longId + "\r\nMessage-ID: <b@c>\r\n\r\n"), "<b@c>");
}

// The key written out independently: SHA-256 (the system's) of the Message-ID and the sorted
// addresses, each after a zero byte.
std::string ExpectedKey(const std::string& input) {
  platform::Digest sha256(platform::DigestAlgorithm::Sha256);
  sha256.Update(input);
  std::array<unsigned char, platform::Digest::kMaxSize> digest{};
  EXPECT_TRUE(sha256.Final(digest));
  std::string hex;
  char byte[3];
  for (std::size_t i = 0; i < sha256.Size(); ++i) {
    std::snprintf(byte, sizeof byte, "%02x", digest[i]);
    hex += byte;
  }
  return hex;
}

TEST(DuplicateKeyTest, RecipientsSortedLowerCasedOnce) {
  using namespace std::string_literals;
  const std::string key = DuplicateKey("<m@a>", {"TO:<B@x.example>", "To: <a@x.example>"});
  EXPECT_EQ(key, ExpectedKey("<m@a>\0a@x.example\0b@x.example"s));
  EXPECT_EQ(key,
            DuplicateKey("<m@a>", {"TO:<a@x.example>", "TO:<b@X.EXAMPLE>", "TO:<a@x.example>"}));
  EXPECT_NE(key, DuplicateKey("<m@a>", {"TO:<a@x.example>"}));
  EXPECT_NE(key, DuplicateKey("<M@a>", {"TO:<a@x.example>", "TO:<b@x.example>"}));
  // A recipient that does not parse still counts, by its text.
  EXPECT_EQ(DuplicateKey("<m@a>", {"TO:<broken"}), ExpectedKey("<m@a>\0to:<broken"s));
}

class DuplicateGuardTest : public test::RootTest {
 protected:
  std::string RecordPath() const { return Root() + "/.duplicates"; }
  std::unique_ptr<DuplicateGuard> MakeGuard(std::uint32_t hours = 1) {
    return std::make_unique<DuplicateGuard>(RecordPath(), hours, [this] { return m_now.load(); });
  }
  static bool Claimed(DuplicateGuard& guard, const std::string& id) {
    DuplicateClaim claim = guard.Claim(id, kRecipients, "127.0.0.1");
    EXPECT_FALSE(claim.IsDuplicate());
    claim.Record();
    return true;
  }
  static bool IsDuplicate(DuplicateGuard& guard, const std::string& id) {
    return guard.Claim(id, kRecipients, "127.0.0.1").IsDuplicate();
  }
  inline static const std::vector<std::string> kRecipients = {"TO:<1@fax.example>"};
  std::atomic<std::int64_t> m_now{1'700'000'000};
};

TEST_F(DuplicateGuardTest, SeenWithinTheWindowOnly) {
  auto guard = MakeGuard(2);
  EXPECT_FALSE(IsDuplicate(*guard, "<a@x>"));  // given up: not recorded
  EXPECT_FALSE(IsDuplicate(*guard, "<a@x>"));
  Claimed(*guard, "<a@x>");
  EXPECT_TRUE(IsDuplicate(*guard, "<a@x>"));
  EXPECT_FALSE(guard->Claim(std::nullopt, kRecipients, "c").IsDuplicate());
  m_now += 2 * 3600 - 1;
  EXPECT_TRUE(IsDuplicate(*guard, "<a@x>"));
  m_now += 1;
  EXPECT_FALSE(IsDuplicate(*guard, "<a@x>"));
}

TEST_F(DuplicateGuardTest, SurvivesRestartAndDropsExpiredOnRewrite) {
  {
    auto guard = MakeGuard();
    Claimed(*guard, "<old@x>");
    m_now += 3000;
    Claimed(*guard, "<new@x>");
  }
  const std::string written = ReadWholeFile(RecordPath());
  EXPECT_EQ(written, "1700000000 " + DuplicateKey("<old@x>", kRecipients) + "\n1700003000 " +
                         DuplicateKey("<new@x>", kRecipients) + "\n");
  m_now += 1000;  // <old@x> is now 4000 s old
  auto guard = MakeGuard();
  EXPECT_FALSE(IsDuplicate(*guard, "<old@x>"));
  EXPECT_TRUE(IsDuplicate(*guard, "<new@x>"));
  EXPECT_EQ(guard->EntryCount(), 1u);
  EXPECT_EQ(ReadWholeFile(RecordPath()),
            "1700003000 " + DuplicateKey("<new@x>", kRecipients) + "\n");
  EXPECT_EQ(std::filesystem::status(RecordPath()).type(), std::filesystem::file_type::regular);
}

TEST_F(DuplicateGuardTest, DamagedRecordStartsEmptyAndIsSetAside) {
  const std::string key = DuplicateKey("<a@x>", kRecipients);
  for (const std::string& damage :
       {"1700000000 " + key + "\nnot a line\n", "1700000000 " + key.substr(1) + "\n",
        "-5 " + key + "\n", "1700000000  " + key + "\n", std::string("\n"),
        std::string("\0\0\0\n", 4)}) {
    WriteWholeFile(RecordPath(), damage);
    auto guard = MakeGuard();
    EXPECT_EQ(guard->EntryCount(), 0u) << damage;
    EXPECT_FALSE(IsDuplicate(*guard, "<a@x>"));
    EXPECT_EQ(ReadWholeFile(RecordPath() + ".damaged"), damage);
    EXPECT_EQ(ReadWholeFile(RecordPath()), "");
    // It still records.
    Claimed(*guard, "<a@x>");
    EXPECT_TRUE(IsDuplicate(*guard, "<a@x>"));
  }
}

TEST_F(DuplicateGuardTest, TornLastLineIsDropped) {
  const std::string key = DuplicateKey("<a@x>", kRecipients);
  WriteWholeFile(RecordPath(), "1700000000 " + key + "\n1700000000 " + key.substr(0, 10));
  auto guard = MakeGuard();
  EXPECT_EQ(guard->EntryCount(), 1u);
  EXPECT_FALSE(std::filesystem::exists(RecordPath() + ".damaged"));
  EXPECT_EQ(ReadWholeFile(RecordPath()), "1700000000 " + key + "\n");
}

TEST_F(DuplicateGuardTest, BoundedOldestDropped) {
  std::string content;
  for (std::size_t i = 0; i <= DuplicateGuard::kMaxEntries; ++i)
    content += "1700000000 " + DuplicateKey("<" + std::to_string(i) + "@x>", kRecipients) + "\n";
  WriteWholeFile(RecordPath(), content);
  auto guard = MakeGuard();
  EXPECT_EQ(guard->EntryCount(), DuplicateGuard::kMaxEntries);
  EXPECT_FALSE(IsDuplicate(*guard, "<0@x>"));
  EXPECT_TRUE(IsDuplicate(*guard, "<1@x>"));
  EXPECT_TRUE(IsDuplicate(*guard, "<" + std::to_string(DuplicateGuard::kMaxEntries) + "@x>"));
  EXPECT_EQ(std::filesystem::file_size(RecordPath()), content.size() - content.find('\n') - 1);
}

TEST_F(DuplicateGuardTest, SecondClaimWaitsForTheFirst) {
  auto guard = MakeGuard();
  for (const bool record : {true, false}) {
    const std::string id = record ? "<recorded@x>" : "<given-up@x>";
    auto first = std::make_unique<DuplicateClaim>(guard->Claim(id, kRecipients, "a"));
    ASSERT_FALSE(first->IsDuplicate());
    std::atomic<int> second{-1};
    std::thread other([&] {
      DuplicateClaim claim = guard->Claim(id, kRecipients, "b");
      second = claim.IsDuplicate() ? 1 : 0;
    });
    // The second claim cannot be decided while the first holds the key.
    EXPECT_EQ(second.load(), -1);
    if (record) first->Record();
    first.reset();
    other.join();
    EXPECT_EQ(second.load(), record ? 1 : 0) << id;
  }
}

TEST_F(DuplicateGuardTest, UnwritableRecordNeverRefusesMail) {
  // The data directory is gone: nothing can be written.
  DuplicateGuard guard0(Root() + "/missing/.duplicates", 1, [this] { return m_now.load(); });
  DuplicateGuard* const guard = &guard0;
  DuplicateClaim claim = guard->Claim("<a@x>", kRecipients, "c");
  EXPECT_FALSE(claim.IsDuplicate());
  claim.Record();
  // Held in memory for this run all the same.
  EXPECT_TRUE(IsDuplicate(*guard, "<a@x>"));
}

}  // namespace
}  // namespace faxmail
