// faxmailadm running the real applet: it loads libfaxmailcfg.so, runs the sheet (closed by a
// preloaded helper as soon as it shows) and unloads it, twice in one process; under the
// sanitizer build any leak or use after unload fails the run. And the applet's one export.
#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "tests/support/test_support.h"

namespace faxmail::test {
namespace {

class AppletHost : public RootTest {
 protected:
  std::string Applet() const { return BuiltProgram("applet/libfaxmailcfg.so"); }
  std::string Closer() const {
    return BuiltProgram("tests/integration/applet_host/libfaxmail_test_autoclose.so");
  }
  std::vector<std::string> Env(const std::string& log) const {
    // The sanitizer's runtime is not first when a library is preloaded before it.
    return {"QT_QPA_PLATFORM=offscreen", "LD_PRELOAD=" + Closer(), "FAXMAIL_AUTOCLOSE_LOG=" + log,
            "ASAN_OPTIONS=verify_asan_link_order=0"};
  }
};

TEST_F(AppletHost, RunsTheSheetTwiceAndUnloads) {
  // A whole key, so that no box about a missing value comes before the sheet.
  platform::RegKey key;
  ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine,
                                   "SOFTWARE\\Almoran\\Corvane SMTP Server", key),
            0);
  for (const char* name : {"DomainName", "ProgramPath", "DNSName"})
    ASSERT_EQ(platform::RegSetString(key, name, Root() + "/"), 0);
  for (const char* name : {"SmtpRxPort", "SmtpTxPort"})
    ASSERT_EQ(platform::RegSetDword(key, name, 25), 0);
  const std::string log = Root() + "/sheets.log";
  std::string output;
  const int rc = RunProgram(
      {BuiltProgram("tools/faxmailadm/faxmailadm"), "--applet", Applet(), "--times", "2"}, &output,
      Env(log));
  EXPECT_EQ(rc, 0) << output;
  EXPECT_EQ(ReadWholeFile(log),
            "sheet Corvane SMTP Server Configuration tabs 1\n"
            "sheet Corvane SMTP Server Configuration tabs 1\n")
      << output;
}

TEST_F(AppletHost, NoDisplayIsToldNotFatal) {
  std::string output;
  // The preloaded helper keeps the toolkit's libraries mapped after the applet is unloaded, as
  // in the case above: some of the system libraries they pull in keep allocations of their own
  // from their start that the leak check would count once they are gone.
  const int rc =
      RunProgram({"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
                  BuiltProgram("tools/faxmailadm/faxmailadm"), "--applet", Applet()},
                 &output, {"LD_PRELOAD=" + Closer(), "ASAN_OPTIONS=verify_asan_link_order=0"});
  EXPECT_EQ(rc, 0) << output;
  EXPECT_NE(output.find("no display"), std::string::npos) << output;
}

TEST_F(AppletHost, ExportsRunDialogAlone) {
  std::string output;
  ASSERT_EQ(RunProgram({"/usr/bin/nm", "-D", "--defined-only", "--extern-only", Applet()}, &output),
            0)
      << output;
  std::vector<std::string> symbols;
  std::size_t start = 0;
  while (start < output.size()) {
    const std::size_t end = output.find('\n', start);
    const std::string line = output.substr(start, end - start);
    const std::size_t blank = line.rfind(' ');
    const std::string name = line.substr(blank + 1);
    // The linker's own markers are no export of ours.
    const bool marker = name == "_init" || name == "_fini" || name == "_edata" || name == "_end" ||
                        name == "__bss_start";
    if (!name.empty() && !marker) symbols.push_back(name);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  EXPECT_EQ(symbols, std::vector<std::string>({"RunDialog"})) << output;
}

}  // namespace
}  // namespace faxmail::test
