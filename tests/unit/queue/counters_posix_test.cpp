// Spool numbering where the system it stands in for is POSIX: two forked processes drawing
// names from one key at once.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "gateway/queue/counters.h"
#include "tests/support/test_support.h"
#include "tests/unit/queue/counters_test_fixture.h"

namespace faxmail {
namespace {

using test::CountersTest;

TEST_F(CountersTest, TwoProcessesNeverGetTheSameName) {
  SetProgramPath("/data/");
  constexpr int kEach = 150;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::string names;
      for (int i = 0; i < kEach; ++i) {
        while (IsEnvFileNameInUse() != 0) usleep(100);
        std::string name;
        if (AllocEnvFileName(&name) != 0) _exit(2);
        names += name + "\n";
        names += AllocAttFileName("tif") + "\n";
        ReleaseAttFileName();
        ReleaseEnvFileName();
      }
      test::WriteWholeFile(Root() + "/names" + std::to_string(p), names);
      _exit(0);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<std::string> all;
  std::size_t count = 0;
  for (int p = 0; p < 2; ++p) {
    const std::string text = test::ReadWholeFile(Root() + "/names" + std::to_string(p));
    std::size_t start = 0;
    while (start < text.size()) {
      const auto end = text.find('\n', start);
      all.insert(text.substr(start, end - start));
      ++count;
      start = end + 1;
    }
  }
  EXPECT_EQ(count, std::size_t{2 * 2 * kEach});
  EXPECT_EQ(all.size(), count);
  EXPECT_EQ(Number("OUTIndex"), std::uint32_t{2 * kEach});
  EXPECT_EQ(Number("OUTIndexAtt"), std::uint32_t{2 * kEach});
}

}  // namespace
}  // namespace faxmail
