// The receiver's user list and the SASL texts of AUTH: what a hand-edited list may hold, and
// which base64 and PLAIN responses are taken.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "gateway/service/log.h"
#include "gateway/smtp_in/auth_users.h"
#include "platform/password_hash.h"
#include "platform/registry.h"
#include "gateway/service/settings.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::ReadWholeFile;
using test::WriteWholeFile;

class AuthUsersTest : public test::RootTest {
 protected:
  void SetUp() override {
    test::RootTest::SetUp();
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    ASSERT_EQ(platform::RegSetString(key, "logfile", Root() + "/main.log"), 0);
    GetDebugSettings2();
  }
  std::string Log() { return ReadWholeFile(Root() + "/main.log"); }
};

TEST_F(AuthUsersTest, GoodLinesLoadAndBadOnesAreSkippedByNumber) {
  const std::string yescrypt = ::platform::HashPassword("first secret");
  const std::string sha512 = ::platform::HashPassword("second secret", true);
  ASSERT_FALSE(yescrypt.empty());
  ASSERT_FALSE(sha512.empty());
  WriteWholeFile(Root() + "/users",
                 "# faxmail users\n"
                 "\n"
                 "alice:" +
                     yescrypt +
                     "\n"  // 3
                     "bob:" +
                     sha512 +
                     "\r\n"       // 4: CR LF is fine
                     "nocolon\n"  // 5
                     ":" +
                     sha512 +
                     "\n"                               // 6: no name
                     "carol:$1$abc$md5isnotaccepted\n"  // 7
                     "alice:" +
                     sha512 +
                     "\n"  // 8: listed before
                     "bad name:" +
                     sha512 +
                     "\n"  // 9: a blank in the name
                     "dave:" +
                     sha512 + std::string(2000, 'x') +
                     "\n"  // 10: too long
                     "erin:" +
                     sha512);  // 11: no final LF
  const auto users = AuthUsers::Load(Root() + "/users");
  ASSERT_TRUE(users.has_value());
  EXPECT_EQ(users->Size(), 3u);
  EXPECT_TRUE(users->Check("alice", "first secret"));
  EXPECT_FALSE(users->Check("alice", "second secret"));  // the first alice line counts
  EXPECT_TRUE(users->Check("bob", "second secret"));
  EXPECT_TRUE(users->Check("erin", "second secret"));
  EXPECT_FALSE(users->Check("carol", "anything"));
  EXPECT_FALSE(users->Check("dave", "second secret"));
  EXPECT_FALSE(users->Check("nobody", "first secret"));
  EXPECT_FALSE(users->Check("Alice", "first secret"));  // names are exact
  const std::string log = Log();
  for (const char* expected :
       {"(no colon): ", "(bad user name): ", "(not a yescrypt or SHA-512 hash): ",
        "(user listed before): ", "(too long): "})
    EXPECT_NE(log.find(std::string("SMTPIn- AuthUsers line skipped ") + expected),
              std::string::npos)
        << expected;
  EXPECT_NE(log.find("/users line 5"), std::string::npos);
  EXPECT_NE(log.find("/users line 10"), std::string::npos);
  EXPECT_EQ(log.find("/users line 11"), std::string::npos);
  // No hash ever reaches the log.
  EXPECT_EQ(log.find(sha512), std::string::npos);
  EXPECT_EQ(log.find("$1$abc"), std::string::npos);
}

TEST_F(AuthUsersTest, MissingFileGivesNoList) {
  EXPECT_FALSE(AuthUsers::Load(Root() + "/absent").has_value());
  EXPECT_NE(Log().find("SMTPIn- AuthUsers file cannot be opened, AUTH not offered: "),
            std::string::npos);
}

TEST_F(AuthUsersTest, BinaryGarbageGivesAnEmptyList) {
  std::string garbage;
  for (int i = 0; i < 5000; ++i) garbage.push_back(static_cast<char>(i * 7919 % 256));
  WriteWholeFile(Root() + "/users", garbage);
  const auto users = AuthUsers::Load(Root() + "/users");
  ASSERT_TRUE(users.has_value());
  EXPECT_TRUE(users->Empty());
  EXPECT_FALSE(users->Check("", ""));
}

TEST(SaslBase64Test, StrictDecoding) {
  using namespace std::string_literals;
  struct Case {
    const char* text;
    std::optional<std::string> decoded;  // none: refused
  } cases[] = {
      {"=", ""s},
      {"YQ==", "a"s},
      {"YWI=", "ab"s},
      {"YWJj", "abc"s},
      {"AGFsaWNlAHNlY3JldA==", "\0alice\0secret"s},
      {"", std::nullopt},
      {"YQ", std::nullopt},        // no padding
      {"YQ=", std::nullopt},       // short
      {"Y===", std::nullopt},      // three pads
      {"YQ==YQ==", std::nullopt},  // padding inside
      {"YW J", std::nullopt},      // a blank
      {"YWJj\r", std::nullopt},
      {"YW*j", std::nullopt},
      {"*", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeSaslBase64(c.text), c.decoded) << c.text;
  EXPECT_FALSE(DecodeSaslBase64(std::string(20000, 'A')).has_value());
}

TEST(SaslBase64Test, EncodingRoundTrips) {
  for (const std::string& text : {std::string(), std::string("a"), std::string("ab"),
                                  std::string("abc"), std::string("\0\xff\x10", 3)}) {
    const auto back = DecodeSaslBase64(text.empty() ? "=" : EncodeSaslBase64(text));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, text);
  }
  EXPECT_EQ(EncodeSaslBase64("Username:"), "VXNlcm5hbWU6");
}

TEST(PlainResponseTest, Forms) {
  using namespace std::string_literals;
  struct Case {
    std::string response;
    bool accepted;
    const char* user;
    const char* password;
  } cases[] = {
      {"\0alice\0secret"s, true, "alice", "secret"},
      {"alice\0alice\0secret"s, true, "alice", "secret"},  // acting as oneself
      {"\0alice\0"s, true, "alice", ""},
      {"bob\0alice\0secret"s, false, "", ""},  // acting as another
      {"\0\0secret"s, false, "", ""},
      {"alice\0secret"s, false, "", ""},
      {"\0alice\0sec\0ret"s, false, "", ""},
      {""s, false, "", ""},
  };
  for (const auto& c : cases) {
    const auto credentials = SplitPlainResponse(c.response);
    ASSERT_EQ(credentials.has_value(), c.accepted) << c.user;
    if (!credentials) continue;
    EXPECT_EQ(credentials->user, c.user);
    EXPECT_EQ(credentials->password, c.password);
  }
}

}  // namespace
}  // namespace faxmail
