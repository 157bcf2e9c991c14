// faxmailpasswd as an administrator runs it: add, remove and list; other lines kept byte for
// byte; hashes that both our check and Python's crypt accept; mode 0600; exit codes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/file.h"
#include "platform/password_hash.h"
#include "tests/support/gateway_process.h"
#include "tests/support/peers.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::ReadWholeFile;
using test::WriteWholeFile;

class FaxmailpasswdTest : public test::RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    m_file = Root() + "/users";
  }
  int Run(std::vector<std::string> args, const std::string& input = {},
          std::string* output = nullptr) {
    args.insert(args.begin(), test::BuiltProgram("tools/faxmailpasswd/faxmailpasswd"));
    std::string ignored;
    return test::RunProgram(args, output ? output : &ignored, {}, input);
  }
  // The hash of user's line in the file.
  std::string HashOf(const std::string& user) {
    const std::string text = ReadWholeFile(m_file);
    const auto start = text.find("\n" + user + ":");
    const std::size_t from = text.starts_with(user + ":") ? user.size() + 1
                             : start == std::string::npos ? std::string::npos
                                                          : start + user.size() + 2;
    if (from == std::string::npos) return {};
    return text.substr(from, text.find('\n', from) - from);
  }
  std::string m_file;
};

TEST_F(FaxmailpasswdTest, AddListRemoveKeepOtherLines) {
  const std::string others = "# users of the fax gateway\r\n\nold:$6$salt$hash\nweird line\n";
  WriteWholeFile(m_file, others);
  EXPECT_EQ(Run({"-f", m_file, "add", "alice@corp.example"}, "first secret\n"), 0);
  EXPECT_EQ(Run({"-f", m_file, "--sha512", "add", "bob"}, "second\r\n"), 0);
  const std::string text = ReadWholeFile(m_file);
  ASSERT_TRUE(text.starts_with(others)) << text;
  EXPECT_TRUE(HashOf("alice@corp.example").starts_with("$y$"));
  EXPECT_TRUE(HashOf("bob").starts_with("$6$"));
  EXPECT_TRUE(::platform::PasswordMatches("first secret", HashOf("alice@corp.example")));
  EXPECT_TRUE(::platform::PasswordMatches("second", HashOf("bob")));
  EXPECT_FALSE(::platform::PasswordMatches("second\r", HashOf("bob")));

  std::string output;
  EXPECT_EQ(Run({"-f", m_file, "list"}, "", &output), 0);
  EXPECT_EQ(output, "old\nalice@corp.example\nbob\n");

  EXPECT_EQ(Run({"-f", m_file, "remove", "alice@corp.example"}), 0);
  EXPECT_EQ(ReadWholeFile(m_file), others + "bob:" + HashOf("bob") + "\n");
  EXPECT_EQ(Run({"-f", m_file, "remove", "old"}), 0);
  EXPECT_EQ(ReadWholeFile(m_file),
            "# users of the fax gateway\r\n\nweird line\nbob:" + HashOf("bob") + "\n");
  EXPECT_EQ(std::filesystem::status(m_file).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_FALSE(std::filesystem::exists(m_file + ".new"));
}

TEST_F(FaxmailpasswdTest, HashesAcceptedByPythonCrypt) {
  FAXMAIL_REQUIRE_PEER(test::kSystemPython);
  EXPECT_EQ(Run({"-f", m_file, "add", "y"}, "pa:ss word\n"), 0);
  EXPECT_EQ(Run({"-f", m_file, "--sha512", "add", "s"}, "pa:ss word\n"), 0);
  for (const char* user : {"y", "s"}) {
    std::string output;
    EXPECT_EQ(test::RunProgram(
                  {test::kSystemPython, "-W", "ignore", "-c",
                   "import crypt, sys; print(crypt.crypt(sys.argv[1], sys.argv[2]) == sys.argv[2])",
                   "pa:ss word", HashOf(user)},
                  &output),
              0);
    EXPECT_EQ(output, "True\n") << user << " " << HashOf(user);
  }
}

TEST_F(FaxmailpasswdTest, FileFromTheGatewayKey) {
  std::string output;
  EXPECT_EQ(Run({"list"}, "", &output), 1);
  EXPECT_NE(output.find("AuthUsers"), std::string::npos) << output;
  test::SetGatewayText("AuthUsers", m_file);
  EXPECT_EQ(Run({"add", "carol"}, "pw\n"), 0);
  EXPECT_EQ(Run({"list"}, "", &output), 0);
  EXPECT_EQ(output, "carol\n");
  // -f wins over the key.
  const std::string other = Root() + "/other";
  EXPECT_EQ(Run({"-f", other, "add", "dave"}, "pw\n"), 0);
  EXPECT_EQ(Run({"list"}, "", &output), 0);
  EXPECT_EQ(output, "carol\n");
}

TEST_F(FaxmailpasswdTest, ExitCodes) {
  EXPECT_EQ(Run({"-f", m_file, "add", "erin"}, "pw\n"), 0);
  const std::string before = ReadWholeFile(m_file);
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
  } cases[] = {
      {{}, "", 1},
      {{"-f"}, "", 1},
      {{"-f", m_file, "frobnicate"}, "", 1},
      {{"-f", m_file, "add"}, "pw\n", 1},
      {{"-f", m_file, "add", "a", "b"}, "pw\n", 1},
      {{"-f", m_file, "add", "bad name"}, "pw\n", 1},
      {{"-f", m_file, "add", "bad:name"}, "pw\n", 1},
      {{"-f", m_file, "add", std::string(65, 'x')}, "pw\n", 1},
      {{"-f", m_file, "--sha512", "list"}, "", 1},
      {{"-f", m_file, "--bogus", "list"}, "", 1},
      {{"-f", m_file, "add", "frank"}, "", 1},                            // no password
      {{"-f", m_file, "add", "frank"}, "\n", 1},                          // empty password
      {{"-f", m_file, "add", "frank"}, std::string(257, 'p') + "\n", 1},  // too long
      {{"-f", m_file, "add", "frank"}, std::string("a\0b\n", 4), 1},      // a zero byte
      {{"-f", m_file, "add", "erin"}, "pw\n", 2},
      {{"-f", m_file, "remove", "nobody"}, "", 2},
      {{"-f", Root() + "/missing", "list"}, "", 3},
      {{"-f", Root() + "/missing", "remove", "erin"}, "", 3},
      {{"-f", Root() + "/no/such/folder", "add", "erin"}, "pw\n", 3},
      {{"-f", Root(), "list"}, "", 3},  // a folder
  };
  for (const auto& c : cases) {
    std::string output;
    EXPECT_EQ(Run(c.args, c.input, &output), c.status)
        << ::testing::PrintToString(c.args) << output;
  }
  EXPECT_EQ(ReadWholeFile(m_file), before);
  EXPECT_FALSE(std::filesystem::exists(Root() + "/missing"));
}

TEST_F(FaxmailpasswdTest, FileHeldByAnotherEditIsNotTouched) {
  EXPECT_EQ(Run({"-f", m_file, "add", "gina"}, "pw\n"), 0);
  const std::string before = ReadWholeFile(m_file);
  platform::File held;
  ASSERT_EQ(platform::File::Open(m_file, platform::Access::ReadWrite, platform::Share::None,
                                 platform::Disposition::OpenExisting, held),
            0);
  std::string output;
  EXPECT_EQ(Run({"-f", m_file, "add", "hank"}, "pw\n", &output), 3) << output;
  EXPECT_EQ(Run({"-f", m_file, "remove", "gina"}, "", &output), 3) << output;
  held.Close();
  EXPECT_EQ(ReadWholeFile(m_file), before);
}

TEST_F(FaxmailpasswdTest, HelpDescribesEveryOperation) {
  std::string output;
  EXPECT_EQ(Run({"--help"}, "", &output), 0);
  for (const char* word : {"SYNOPSIS", "add USER", "remove USER", "list", "--sha512", "0600",
                           "EXIT STATUS", "AuthUsers"})
    EXPECT_NE(output.find(word), std::string::npos) << word;
}

}  // namespace
}  // namespace faxmail
