#include <gtest/gtest.h>

#include "common/path_utils.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

TEST(PathUtils, TrailingSeparator) {
  struct Case {
    std::string in, appended, stripped;
  } cases[] = {
      {"/data", "/data/", "/data"},
      {"/data/", "/data/", "/data"},
      {"/", "/", "/"},
      {"", "", ""},
      {"C:/", "C:/", "C:/"},
      {"rel/dir", "rel/dir/", "rel/dir"},
  };
  // The table's slashes stand for the system's separator.
  for (const auto& c : cases) {
    std::string a = test::NativePath(c.in), s = test::NativePath(c.in);
    AppendTrailingSeparator(a);
    StripTrailingSeparator(s);
    EXPECT_EQ(a, test::NativePath(c.appended)) << c.in;
    EXPECT_EQ(s, test::NativePath(c.stripped)) << c.in;
  }
}

}  // namespace
}  // namespace faxmail
