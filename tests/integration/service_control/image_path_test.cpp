// How a record's ImagePath becomes a program and its arguments.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "platform/service_process.h"
#include "tests/support/test_support.h"

namespace faxmail::platform::scm {
namespace {

struct ImageCase {
  const char* text;
  const char* program;
  std::vector<std::string> args;
};

TEST(ImagePathTest, SplitsProgramAndArguments) {
  const ImageCase cases[] = {
      {"/usr/bin/prog", "/usr/bin/prog", {}},
      {"/no/such/prog -a  b", "/no/such/prog", {"-a", "b"}},
      {"\"/no/such dir/prog\" -x", "/no/such dir/prog", {"-x"}},
      {"\"/no/such dir/prog\"", "/no/such dir/prog", {}},
      {"  /no/prog\targ  ", "/no/prog", {"arg"}},
      {"\"/unterminated quote", "/unterminated quote", {}},
      {"", "", {}},
  };
  for (const ImageCase& c : cases) {
    const ImageCommand command = ParseImagePath(c.text);
    EXPECT_EQ(command.program, c.program) << c.text;
    EXPECT_EQ(command.args, c.args) << c.text;
  }
}

TEST(ImagePathTest, AnUnquotedPathWithBlanksThatExistsIsTheWholeProgram) {
  test::TempDir dir;
  const std::string program = dir / "my program";
  std::ofstream(program) << "#!/bin/sh\n";
  const ImageCommand whole = ParseImagePath(program);
  EXPECT_EQ(whole.program, program);
  EXPECT_TRUE(whole.args.empty());
  // With arguments the whole text names no file: the first blank ends the program.
  const ImageCommand split = ParseImagePath(program + " -m");
  EXPECT_EQ(split.program, dir / "my");
  EXPECT_EQ(split.args, (std::vector<std::string>{"program", "-m"}));
}

TEST(ImagePathTest, ExpandsKnownVariablesOnly) {
  ::setenv("FAXMAIL_IMAGE_TEST", "/opt/x", 1);
  EXPECT_EQ(ExpandEnvironmentStrings("%FAXMAIL_IMAGE_TEST%/bin/p %NO_SUCH_VAR_X% 100%"),
            "/opt/x/bin/p %NO_SUCH_VAR_X% 100%");
  EXPECT_EQ(ExpandEnvironmentStrings("%%"), "%%");
  ::unsetenv("FAXMAIL_IMAGE_TEST");
}

}  // namespace
}  // namespace faxmail::platform::scm
