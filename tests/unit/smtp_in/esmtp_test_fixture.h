// The fixture of the receiver's opt-in dialogue: a receiver on a free loopback port with the
// main log on, scripted clients, and the files it leaves in OUT.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gateway/service/settings.h"
#include "gateway/smtp_in/smtp_in.h"
#include "platform/file.h"
#include "tests/support/receiver_fixture.h"
#include "tests/support/smtp_client.h"
#include "tests/support/test_support.h"

namespace faxmail::test {

inline constexpr char kGreeting[] = "220 fax.example Service Ready\r\n";

class EsmtpTest : public test::ReceiverTest {
 protected:
  void Start(const InboundSettings& inbound) { StartReceiver("logfile", "main.log", inbound); }
  static InboundSettings Esmtp(std::uint32_t maxSize = 0) {
    InboundSettings inbound;
    inbound.esmtp = true;
    inbound.maxMessageSize = maxSize;
    return inbound;
  }
  void Connect(ScriptedClient& client) {
    ASSERT_TRUE(client.Connect(m_port));
    ASSERT_EQ(client.ReadLine(), kGreeting);
  }
  std::string Command(ScriptedClient& client, const std::string& line) {
    EXPECT_TRUE(client.Send(line));
    return client.ReadLine();
  }
  // The lines of a multi-line reply, up to the one with a blank after its code.
  std::vector<std::string> Lines(ScriptedClient& client) {
    std::vector<std::string> lines;
    for (;;) {
      std::string line = client.ReadLine();
      lines.push_back(line);
      if (line.size() < 4 || line[3] != '-') return lines;
    }
  }
  std::vector<std::string> Ehlo(ScriptedClient& client) {
    EXPECT_TRUE(client.Send("EHLO relay.example\r\n"));
    return Lines(client);
  }
  std::vector<std::string> OutFiles() {
    std::vector<platform::DirEntry> entries;
    platform::FindFiles(m_out, "*", entries);
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    return names;
  }
  std::string Log() { return ReadWholeFile(Root() + "/main.log"); }
};

}  // namespace faxmail::test
