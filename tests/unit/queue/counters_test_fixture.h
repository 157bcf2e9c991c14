// The fixture of the spool numbering cases: the gateway's key in a FAXMAIL_ROOT of its own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "gateway/service/settings.h"
#include "platform/registry.h"
#include "tests/support/test_support.h"

namespace faxmail::test {

class CountersTest : public test::RootTest {
 protected:
  platform::RegKey Key() {
    platform::RegKey key;
    EXPECT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    return key;
  }
  std::uint32_t Number(const char* name) {
    std::uint32_t value = 0xdeadbeef;
    EXPECT_EQ(platform::RegQueryDword(Key(), name, value), 0) << name;
    return value;
  }
  std::string Text(const char* name, std::uint32_t limit = 300) {
    std::string value;
    EXPECT_EQ(platform::RegQueryString(Key(), name, limit, value), 0) << name;
    return value;
  }
  // The data directory, its separators the system's own.
  void SetProgramPath(const std::string& path) {
    ASSERT_EQ(platform::RegSetString(Key(), "ProgramPath", NativePath(path)), 0);
  }
};

}  // namespace faxmail::test
