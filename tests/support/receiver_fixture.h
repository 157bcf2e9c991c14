// A receiver on loopback for tests: a data directory with OUT and IN, the gateway's key set up
// for it (DomainName fax.example), and SMTPIn listening on a free port.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "gateway/queue/counters.h"
#include "gateway/queue/file_man.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "gateway/smtp_in/smtp_in.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "tests/support/test_support.h"

namespace faxmail::test {

class ReceiverTest : public RootTest {
 protected:
  // logValue: "logfile" (raw messages are then kept as debug copies) or "logfileb". inbound:
  // the receiver's opt-in values (all off by default).
  void StartReceiver(const char* logValue, const char* logName,
                     const InboundSettings& inbound = {}) {
    m_data = NativePath(Root() + "/data/");
    m_out = m_data + NativePath("OUT/");
    // The data folder may already be there: a test can mount a small file system on it.
    if (!platform::DirectoryExists(Root() + "/data")) {
      ASSERT_EQ(platform::CreateDirectory(Root() + "/data"), 0);
    }
    ASSERT_EQ(platform::CreateDirectory(m_data + "OUT"), 0);
    ASSERT_EQ(platform::CreateDirectory(m_data + "IN"), 0);
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    ASSERT_EQ(platform::RegSetString(key, "ProgramPath", m_data), 0);
    ASSERT_EQ(platform::RegSetString(key, "DomainName", "fax.example"), 0);
    ASSERT_EQ(platform::RegSetString(key, logValue, Root() + "/" + logName), 0);
    GetDebugSettings2();
    m_fileMan = std::make_unique<CFileMan>();
    ResetFileNameFlags();
    m_server = std::make_unique<SMTPIn>(*m_fileMan, inbound);
    ASSERT_EQ(m_server->ConnectToPort(0, 5, platform::kAfInet, 0x7f000001), 0);
    m_port = platform::NetToHost16(m_server->BoundAddress().port);
    ASSERT_EQ(m_server->StartAcceptThread(), 0);
  }
  void TearDown() override {
    m_server.reset();
    m_fileMan.reset();
    RootTest::TearDown();
  }

  std::string m_data, m_out;
  std::unique_ptr<CFileMan> m_fileMan;
  std::unique_ptr<SMTPIn> m_server;
  std::uint16_t m_port = 0;
};

}  // namespace faxmail::test
