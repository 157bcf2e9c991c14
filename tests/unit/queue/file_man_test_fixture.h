// The fixture of the queue file cases: a data directory with IN and OUT in a FAXMAIL_ROOT of
// its own, named by ProgramPath, and the main log on.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "tests/support/test_support.h"

namespace faxmail::test {

class FileManTest : public test::RootTest {
 protected:
  void SetUp() override {
    test::RootTest::SetUp();
    m_data = NativePath(Root() + "/data/");
    ASSERT_EQ(platform::CreateDirectory(Root() + "/data"), 0);
    ASSERT_EQ(platform::CreateDirectory(m_data + "IN"), 0);
    ASSERT_EQ(platform::CreateDirectory(m_data + "OUT"), 0);
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    ASSERT_EQ(platform::RegSetString(key, "ProgramPath", m_data), 0);
    ASSERT_EQ(platform::RegSetString(key, "logfile", Root() + "/main.log"), 0);
    GetDebugSettings2();
  }
  std::string Log() { return ReadWholeFile(Root() + "/main.log"); }
  std::string In(const std::string& name) { return m_data + NativePath("IN/" + name); }
  std::string m_data;
};

}  // namespace faxmail::test
