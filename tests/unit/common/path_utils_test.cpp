#include <gtest/gtest.h>

#include "common/path_utils.h"

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
  for (const auto& c : cases) {
    std::string a = c.in, s = c.in;
    AppendTrailingSeparator(a);
    StripTrailingSeparator(s);
    EXPECT_EQ(a, c.appended) << c.in;
    EXPECT_EQ(s, c.stripped) << c.in;
  }
}

}  // namespace
}  // namespace faxmail
