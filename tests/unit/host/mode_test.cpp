#include <gtest/gtest.h>

#include "gateway/host/start_gateway.h"

namespace faxmail {
namespace {

TEST(CommandLineMode, LastTwoCharactersDecide) {
  struct Case {
    const char* line;
    GatewayMode mode;
  } cases[] = {
      {"faxmailgw -m", GatewayMode::Console},
      {"faxmailgw -M", GatewayMode::Console},
      {"faxmailgw /m", GatewayMode::Console},
      {"faxmailgw /I", GatewayMode::Install},
      {"faxmailgw -u", GatewayMode::Remove},
      {"faxmailgw -install", GatewayMode::Service},
      {"faxmailgw -m ", GatewayMode::Service},
      {"\"/opt/fax mail/faxmailgw\" -u", GatewayMode::Remove},
      {"\"/opt/fax mail/faxmailgw\"", GatewayMode::Service},
      {"faxmailgw -m\"", GatewayMode::Console},
      {"faxmailgw", GatewayMode::Service},
      {"", GatewayMode::Service},
      {"m", GatewayMode::Service},
      {"C:\\gw\\faxmailgw.exe", GatewayMode::Service},
      {"xm", GatewayMode::Service},
  };
  for (const auto& c : cases) EXPECT_EQ(ModeFromCommandLine(c.line), c.mode) << c.line;
}

}  // namespace
}  // namespace faxmail
