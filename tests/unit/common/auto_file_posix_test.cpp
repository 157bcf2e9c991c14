// Unique scratch names where the system they stand in for is POSIX: a process out of
// descriptors.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <string>
#include <vector>

#include "common/auto_file.h"
#include "platform/file.h"
#include "tests/unit/common/auto_file_test_fixture.h"

namespace faxmail {
namespace {

using test::AutoFileTest;

TEST_F(AutoFileTest, NoHandlesLeftIsReported) {
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  std::vector<platform::File> hogs;
  rlimit low = old;
  low.rlim_cur = 32;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  for (;;) {
    platform::File f;
    if (platform::File::Open(Folder() + "hog", platform::Access::Read, platform::Share::ReadWrite,
                             platform::Disposition::OpenAlways, f) != 0)
      break;
    hogs.push_back(std::move(f));
  }
  std::string name;
  const int result = CreateAutoFile("ATTC", "imp", Folder(), name);
  hogs.clear();
  setrlimit(RLIMIT_NOFILE, &old);
  // Listing the folder needs a descriptor too: with none left the search fails first (5),
  // otherwise the create does (2).
  EXPECT_TRUE(result == kAutoFileNoHandles || result == kAutoFileOtherError) << result;
}

}  // namespace
}  // namespace faxmail
