// The fixture of the spare file cases: a FAXMAIL_ROOT of its own with an OUT folder, and the
// spares' folder beside it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::test {

class SpareFilesTest : public test::RootTest {
 protected:
  std::string Out() const { return NativePath(Root() + "/OUT/"); }
  std::string SpareFolder() const { return NativePath(Root() + "/.spare/"); }
  void SetUp() override {
    test::RootTest::SetUp();
    ASSERT_EQ(platform::CreateDirectory(Root() + "/OUT"), platform::kErrorSuccess);
  }
  static std::vector<std::string> Names(const std::string& folder) {
    std::vector<platform::DirEntry> entries;
    platform::FindFiles(folder, "*", entries);
    std::vector<std::string> names;
    for (const auto& entry : entries) names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return names;
  }
};

}  // namespace faxmail::test
