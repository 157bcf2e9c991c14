// The receiver's opt-in dialogue where the build has TLS: TLS values that cannot be loaded.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/smtp_client.h"
#include "tests/support/test_support.h"
#include "tests/unit/smtp_in/esmtp_test_fixture.h"

namespace faxmail {
namespace {

using test::EsmtpTest;
using test::ReadWholeFile;
using test::ScriptedClient;

TEST_F(EsmtpTest, TlsValuesThatCannotBeLoadedLeaveStartTlsOffWithAnEvent) {
  InboundSettings inbound = Esmtp();
  inbound.tlsCertificate = Root() + "/absent.pem";
  inbound.tlsKey = Root() + "/absent.key";
  Start(inbound);
  EXPECT_EQ(m_server->Tls(), nullptr);
  ScriptedClient client;
  Connect(client);
  for (const auto& line : Ehlo(client)) EXPECT_EQ(line.find("STARTTLS"), std::string::npos);
  EXPECT_NE(Log().find("SMTPIn- Error: TLS certificate or key not loaded, STARTTLS not offered: "
                       "certificate " +
                       Root() + "/absent.pem"),
            std::string::npos);
  const std::string events = ReadWholeFile(Root() + "/eventlog/Application.log");
  EXPECT_NE(events.find("441"), std::string::npos) << events;
}

}  // namespace
}  // namespace faxmail
