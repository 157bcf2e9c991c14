// Password hashes against the system's own tools: mkpasswd makes the hashes an administrator
// puts in the user list, and Python's crypt checks the hashes made here.
#include <gtest/gtest.h>

#include "platform/password_hash.h"
#include "tests/support/test_support.h"

namespace platform {
namespace {

// mkpasswd's hash of password by method, or empty when the tool is missing or fails.
std::string Mkpasswd(const std::string& method, const std::string& password) {
  std::string output;
  if (faxmail::test::RunProgram({"mkpasswd", "--stdin", "-m", method}, &output, {}, password) != 0)
    return {};
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  return output;
}

TEST(PasswordHashTest, HashesMadeByMkpasswdMatchTheirPasswordOnly) {
  for (const std::string method : {"yescrypt", "sha-512"}) {
    const std::string hash = Mkpasswd(method, "c0rrect horse");
    if (hash.empty()) GTEST_SKIP() << "mkpasswd (Debian package whois) is not installed";
    EXPECT_TRUE(PasswordMatches("c0rrect horse", hash)) << hash;
    EXPECT_FALSE(PasswordMatches("c0rrect hors", hash)) << hash;
    EXPECT_FALSE(PasswordMatches("c0rrect horse ", hash)) << hash;
    EXPECT_FALSE(PasswordMatches("", hash)) << hash;
    // A cut or altered hash never matches.
    EXPECT_FALSE(PasswordMatches("c0rrect horse", hash.substr(0, hash.size() - 1)));
    std::string altered = hash;
    altered.back() = altered.back() == 'A' ? 'B' : 'A';
    EXPECT_FALSE(PasswordMatches("c0rrect horse", altered));
  }
}

TEST(PasswordHashTest, WeakOrMalformedHashesNeverMatch) {
  const std::string md5 = Mkpasswd("md5", "secret");
  if (md5.empty()) GTEST_SKIP() << "mkpasswd (Debian package whois) is not installed";
  const std::string cases[] = {md5, "", "*", "!", "secret", "ab01FAX.bQRSU", "$6$", "$y$"};
  for (const std::string& hash : cases) EXPECT_FALSE(PasswordMatches("secret", hash)) << hash;
}

TEST(PasswordHashTest, NewHashesAreCheckedByPythonAndAreSalted) {
  for (const bool sha512 : {false, true}) {
    const std::string hash = HashPassword("pa:ss word", sha512);
    ASSERT_TRUE(hash.starts_with(sha512 ? "$6$" : "$y$")) << hash;
    EXPECT_NE(HashPassword("pa:ss word", sha512), hash);  // a fresh salt each time
    EXPECT_TRUE(PasswordMatches("pa:ss word", hash));
    std::string output;
    const int status = faxmail::test::RunProgram(
        {"python3", "-W", "ignore", "-c",
         "import crypt,sys; print(crypt.crypt(sys.argv[1], sys.argv[2]) == sys.argv[2])",
         "pa:ss word", hash},
        &output);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(output, "True\n") << hash;
  }
}

TEST(PasswordHashTest, UnacceptablePasswordsAreRefused) {
  const std::string withZero("ab\0cd", 5);
  const std::string tooLong(kPasswordLimit + 1, 'p');
  for (const std::string& password : {withZero, tooLong}) {
    EXPECT_EQ(HashPassword(password), "");
    const std::string hash = HashPassword(password.substr(0, 2));
    EXPECT_FALSE(PasswordMatches(password, hash));
  }
  EXPECT_NE(HashPassword(std::string(kPasswordLimit, 'p')), "");
}

}  // namespace
}  // namespace platform
