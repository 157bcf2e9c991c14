// faxmailadm: its options, where it looks for the applet, and the rounds of load, RunDialog
// and unload, with a stand-in applet, a library without RunDialog and files that are none.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/module.h"
#include "tests/support/test_support.h"
#include "tools/faxmailadm/adm.h"

namespace faxmail::adm {
namespace {

const std::string kFakeApplet = FAXMAIL_FAKE_APPLET;
const std::string kNoRunDialog = FAXMAIL_TEST_MODULE;

class Faxmailadm : public test::RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    m_log = Root() + "/calls.log";
  }
  int Adm(const std::vector<std::string>& args, std::string& output) {
    std::vector<std::string> argv = {test::BuiltProgram("tools/faxmailadm/faxmailadm")};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::RunProgram(argv, &output, {"FAXMAIL_FAKE_APPLET_LOG=" + m_log});
  }
  int Calls() const {
    const std::string text = test::ReadWholeFile(m_log);
    int calls = 0;
    for (std::size_t at = 0;
         (at = text.find("RunDialog (nil) (nil) (nil) (nil)\n", at)) != std::string::npos; ++at)
      ++calls;
    return calls;
  }
  std::string m_log;
};

TEST_F(Faxmailadm, RunsTheDialogOncePerRound) {
  std::string output;
  EXPECT_EQ(Adm({"--applet", kFakeApplet}, output), kExitSuccess) << output;
  EXPECT_EQ(output, "");
  EXPECT_EQ(Calls(), 1);
  EXPECT_EQ(Adm({"--times", "3", "--applet", kFakeApplet}, output), kExitSuccess) << output;
  EXPECT_EQ(Calls(), 4);
}

TEST_F(Faxmailadm, AppletThatCannotBeUsed) {
  test::WriteWholeFile(Root() + "/text.so", "plain text\n");
  struct Case {
    std::string path;
    std::string says;
  };
  const Case cases[] = {
      {Root() + "/missing.so", "faxmailadm: cannot load the applet " + Root() + "/missing.so"},
      {Root() + "/text.so", "faxmailadm: cannot load the applet " + Root() + "/text.so"},
      {kNoRunDialog, "faxmailadm: the applet " + kNoRunDialog + " has no RunDialog\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string output;
    EXPECT_EQ(Adm({"--applet", c.path, "--times", "2"}, output), kExitNoApplet);
    EXPECT_EQ(output.rfind(c.says, 0), 0u) << output;
  }
  EXPECT_EQ(Calls(), 0);
}

TEST_F(Faxmailadm, UsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},       {"--applet"},        {"--applet", ""},
      {"--times"},       {"--times", "0"},    {"--times", "-1"},
      {"--times", "2x"}, {"--times", "1001"}, {"--applet", kFakeApplet, "extra"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : ""));
    std::string output;
    EXPECT_EQ(Adm(args, output), kExitUsage);
    EXPECT_EQ(output.rfind("faxmailadm: ", 0), 0u) << output;
    EXPECT_NE(output.find("usage: faxmailadm [--applet PATH] [--times N]\n"), std::string::npos);
  }
  EXPECT_EQ(Calls(), 0);
}

TEST_F(Faxmailadm, FindsTheAppletBesideItselfWithoutAnOption) {
  // A copy of the program in an installed layout of its own, first without the applet.
  const std::string prefix = Root() + "/prefix";
  std::filesystem::create_directories(prefix + "/bin");
  const std::string program = prefix + "/bin/faxmailadm";
  std::filesystem::copy_file(test::BuiltProgram("tools/faxmailadm/faxmailadm"), program);
  std::string output;
  const std::vector<std::string> env = {"FAXMAIL_FAKE_APPLET_LOG=" + m_log};
  EXPECT_EQ(test::RunProgram({program}, &output, env), kExitNoApplet);
  EXPECT_EQ(
      output.rfind(
          "faxmailadm: cannot load the applet " + prefix + "/bin/../../applet/libfaxmailcfg.so", 0),
      0u)
      << output;
  std::filesystem::create_directories(prefix + "/lib/faxmail");
  std::filesystem::copy_file(kFakeApplet, prefix + "/lib/faxmail/libfaxmailcfg.so");
  EXPECT_EQ(test::RunProgram({program}, &output, env), kExitSuccess) << output;
  EXPECT_EQ(Calls(), 1);
}

TEST_F(Faxmailadm, ParseArgumentsKeepsTheLastOfEach) {
  Options options;
  std::string error;
  ASSERT_TRUE(ParseArguments({}, options, error));
  EXPECT_EQ(options.applet, "");
  EXPECT_EQ(options.times, 1);
  ASSERT_TRUE(
      ParseArguments({"--times", "5", "--applet", "a.so", "--times", "1000"}, options, error));
  EXPECT_EQ(options.applet, "a.so");
  EXPECT_EQ(options.times, kMaxTimes);
}

TEST_F(Faxmailadm, DefaultAppletInstalledLayoutFirst) {
  const std::string bin = Root() + "/prefix/bin";
  std::filesystem::create_directories(bin);
  const std::string program = bin + "/faxmailadm";
  EXPECT_EQ(DefaultAppletPath(program), bin + "/../../applet/libfaxmailcfg.so");
  std::filesystem::create_directories(Root() + "/prefix/lib/faxmail");
  test::WriteWholeFile(Root() + "/prefix/lib/faxmail/libfaxmailcfg.so", "");
  EXPECT_EQ(DefaultAppletPath(program), bin + "/../lib/faxmail/libfaxmailcfg.so");
}

TEST_F(Faxmailadm, RunAppletInProcessGivesTheLibraryBack) {
  ::setenv("FAXMAIL_FAKE_APPLET_LOG", m_log.c_str(), 1);
  std::string error = "stale";
  EXPECT_EQ(RunApplet(kFakeApplet, 2, error), kExitSuccess);
  ::unsetenv("FAXMAIL_FAKE_APPLET_LOG");
  EXPECT_EQ(error, "");
  EXPECT_EQ(Calls(), 2);
  EXPECT_FALSE(platform::Module::IsLoadedInProcess(kFakeApplet));
  EXPECT_EQ(RunApplet(kNoRunDialog, 1, error), kExitNoApplet);
  EXPECT_EQ(error, "the applet " + kNoRunDialog + " has no RunDialog");
  EXPECT_FALSE(platform::Module::IsLoadedInProcess(kNoRunDialog));
}

}  // namespace
}  // namespace faxmail::adm
