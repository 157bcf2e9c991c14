// The relay's password file judged by its mode on this system: a file that its group or others
// may read is not used, and only a private regular file of bounded size gives a password
// (chmod, mkfifo).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "gateway/smtp_out/relay.h"
#include "gateway/smtp_out/smtp_out.h"
#include "tests/unit/smtp_out/relay_test_fixture.h"
#include "tests/unit/smtp_out/scripted_server.h"

namespace faxmail {
namespace {

using test::RelayTest;
using test::ScriptedSmtpServer;
using test::ServerScript;

constexpr const char* kPassword = test::kRelayPassword;

TEST_F(RelayTest, PasswordFileOpenToOthersIsNotUsed) {
  ServerScript script;
  ScriptedSmtpServer server(script);
  SetRelay("127.0.0.1:" + std::to_string(server.Port()));
  const std::string path = PrivatePasswordFile(std::string(kPassword) + "\n");
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  EXPECT_EQ(Deliver(server.Port()), SMTPOut::kAuthRefused);
  EXPECT_FALSE(server.Connected());
  EXPECT_TRUE(Logged("SMTPOut- Error: RelayPasswordFile not used, nothing will be sent: " + path +
                     ": mode 0644 gives its group or others access"))
      << Log();
  const auto events = Events(SMTPOut::kEventRelayPasswordRefused);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(
      events[0].strings,
      (std::vector<std::string>{kServiceName, path, "mode 0644 gives its group or others access"}));
  EXPECT_FALSE(Logged(kPassword));
}

class PasswordFileTest : public test::RootTest {};

TEST_F(PasswordFileTest, OnlyAPrivateRegularFileOfBoundedSizeIsUsed) {
  struct Case {
    const char* name;
    std::string content;
    mode_t mode;
    bool usable;
    const char* password;
    const char* why;
  };
  const Case cases[] = {
      {"private", "pw one\n", 0600, true, "pw one", ""},
      {"read only", "pw\r\nsecond line\n", 0400, true, "pw", ""},
      {"no line end", "pw", 0600, true, "pw", ""},
      {"group", "pw\n", 0640, false, "", "mode 0640 gives its group or others access"},
      {"others", "pw\n", 0604, false, "", "mode 0604 gives its group or others access"},
      {"empty", "", 0600, false, "", "its first line is empty"},
      {"empty line", "\npw\n", 0600, false, "", "its first line is empty"},
      {"too large", std::string(kMaxPasswordFileBytes + 1, 'x'), 0600, false, "",
       "larger than 1024 bytes"},
  };
  for (const Case& c : cases) {
    const std::string path = Root() + "/" + c.name;
    test::WriteWholeFile(path, c.content);
    ::chmod(path.c_str(), c.mode);
    std::string password;
    std::string why;
    EXPECT_EQ(ReadRelayPassword(path, password, why), c.usable) << c.name;
    EXPECT_EQ(password, c.password) << c.name;
    if (!c.usable) {
      EXPECT_EQ(why, c.why) << c.name;
    }
  }
  std::string password;
  std::string why;
  EXPECT_FALSE(ReadRelayPassword(Root() + "/missing", password, why));
  EXPECT_EQ(why, "cannot be opened (error 2)");
  // A FIFO is refused without waiting for a writer.
  ASSERT_EQ(::mkfifo((Root() + "/fifo").c_str(), 0600), 0);
  EXPECT_FALSE(ReadRelayPassword(Root() + "/fifo", password, why));
  EXPECT_EQ(why, "not a regular file");
}

}  // namespace
}  // namespace faxmail
