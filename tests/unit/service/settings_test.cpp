// Settings as an administrator or the applet leaves them in the registry: defaults, limits and
// the rules that decide which values count.
#include <gtest/gtest.h>

#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

class SettingsTest : public test::RootTest {
 protected:
  void SetUp() override {
    test::RootTest::SetUp();
    SetOverrideAddressCheck(false);
  }
  platform::RegKey Key() {
    platform::RegKey key;
    EXPECT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    return key;
  }
  void SetText(const char* name, const std::string& value) {
    ASSERT_EQ(platform::RegSetString(Key(), name, value), 0);
  }
  void SetNumber(const char* name, std::uint32_t value) {
    ASSERT_EQ(platform::RegSetDword(Key(), name, value), 0);
  }
};

TEST_F(SettingsTest, EmptyKeyGivesEveryDefault) {
  const GatewaySettings s = LoadGatewaySettings();
  EXPECT_EQ(s.programPath, "");
  EXPECT_EQ(s.domainName, "");
  EXPECT_EQ(s.mailFrom, "");
  EXPECT_EQ(s.notifyOnFailure, 1u);
  EXPECT_EQ(s.notifyOnSuccess, 1u);
  EXPECT_EQ(s.subjectLine, 0u);
  EXPECT_EQ(s.includeTiff, 1u);
  EXPECT_EQ(s.attachFormat, kAttachAsWritten);
  EXPECT_FALSE(s.overrideAddressCheck);
  EXPECT_FALSE(OverrideAddressCheck());
  EXPECT_EQ(ReadPortSetting("SmtpRxPort"), 25u);
  EXPECT_EQ(ReadPortSetting("SmtpTxPort"), 25u);
  const SenderSettings sender = LoadSenderSettings();
  EXPECT_EQ(sender.dnsName, kDefaultDnsServer);
  EXPECT_FALSE(sender.rfcMode);
  // Loading created the key and cleared the envelope name flag.
  std::uint32_t use = 7;
  EXPECT_EQ(platform::RegQueryDword(Key(), "FileNameUse", use), 0);
  EXPECT_EQ(use, 0u);
}

TEST_F(SettingsTest, PortsWithoutAKeyAreTheDefault) {
  EXPECT_EQ(ReadPortSetting("SmtpRxPort"), 25u);
  platform::RegKey key;
  EXPECT_EQ(platform::RegOpenKey(platform::Hive::LocalMachine, kGatewayKey, key),
            platform::kErrorFileNotFound);  // reading a port never creates the key
}

TEST_F(SettingsTest, TextLimits) {
  struct Case {
    const char* value;
    std::size_t length;
    bool kept;
  } cases[] = {
      {"ProgramPath", 79, true}, {"ProgramPath", 80, false}, {"DomainName", 79, true},
      {"DomainName", 80, false}, {"MailFrom", 259, true},    {"MailFrom", 260, false},
  };
  for (const auto& c : cases) {
    test::RootTest::TearDown();
    test::RootTest::SetUp();
    const std::string text(c.length, 'a');
    SetText(c.value, text);
    const GatewaySettings s = LoadGatewaySettings();
    const std::string& got = std::string(c.value) == "ProgramPath"  ? s.programPath
                             : std::string(c.value) == "DomainName" ? s.domainName
                                                                    : s.mailFrom;
    EXPECT_EQ(got, c.kept ? text : "") << c.value << " " << c.length;
  }
}

TEST_F(SettingsTest, AdvancedOptionsMustBeExactlyOne) {
  for (const std::uint32_t advanced : {0u, 1u, 2u}) {
    test::RootTest::TearDown();
    test::RootTest::SetUp();
    if (advanced) SetNumber("AdvancedOptions", advanced);
    SetNumber("NotifyOnFailure", 0);
    SetNumber("NotifyOnSuccess", 0);
    SetNumber("SubjectLine", 1);
    SetNumber("IncludeTIFF", 0);
    const GatewaySettings s = LoadGatewaySettings();
    const bool read = advanced == 1;
    EXPECT_EQ(s.notifyOnFailure, read ? 0u : 1u) << advanced;
    EXPECT_EQ(s.notifyOnSuccess, read ? 0u : 1u) << advanced;
    EXPECT_EQ(s.subjectLine, read ? 1u : 0u) << advanced;
    EXPECT_EQ(s.includeTiff, read ? 0u : 1u) << advanced;
  }
}

TEST_F(SettingsTest, OverrideAddressCheckNeedsAShortYesText) {
  struct Case {
    const char* text;
    bool on;
  } cases[] = {{"Y", true},     {"yes", true}, {"Yes", true}, {"yess", false},
               {"Yes!", false}, {"no", false}, {"", false},   {"y12", true}};
  for (const auto& c : cases) {
    test::RootTest::TearDown();
    test::RootTest::SetUp();
    SetOverrideAddressCheck(false);
    SetText("OverrideAddressCheck", c.text);
    EXPECT_EQ(LoadGatewaySettings().overrideAddressCheck, c.on) << c.text;
    EXPECT_EQ(OverrideAddressCheck(), c.on) << c.text;
  }
}

TEST_F(SettingsTest, RfcModeUsesTheLowestByteOnly) {
  struct Case {
    std::uint32_t value;
    bool on;
  } cases[] = {{0, false}, {1, true}, {256, false}, {257, true}, {0xff, true}};
  for (const auto& c : cases) {
    SetNumber("RFCMode", c.value);
    EXPECT_EQ(LoadSenderSettings().rfcMode, c.on) << c.value;
  }
}

TEST_F(SettingsTest, NumbersOfTheWrongSizeOrTypeAreMissing) {
  const std::uint16_t shortPort = 2525;
  ASSERT_EQ(platform::RegSetValue(Key(), "SmtpRxPort", platform::kRegBinary, &shortPort, 2), 0);
  EXPECT_EQ(ReadPortSetting("SmtpRxPort"), 25u);
  SetNumber("SmtpTxPort", 2526);
  EXPECT_EQ(ReadPortSetting("SmtpTxPort"), 2526u);
  SetText("AdvancedOptions", "1");
  SetNumber("NotifyOnSuccess", 0);
  EXPECT_EQ(LoadGatewaySettings().notifyOnSuccess, 1u);
}

TEST_F(SettingsTest, DnsNameIsReadWholeAndEmptyMeansNoServer) {
  const std::string longName(400, '1');
  SetText("DNSName", longName);
  EXPECT_EQ(LoadSenderSettings().dnsName, longName);
  SetText("DNSName", "");
  EXPECT_EQ(LoadSenderSettings().dnsName, "");
  SetText("DNSName", "192.0.2.53");
  EXPECT_EQ(LoadSenderSettings().dnsName, "192.0.2.53");
}

TEST_F(SettingsTest, InboundValuesAreOffUnlessSet) {
  InboundSettings s = LoadInboundSettings();
  EXPECT_FALSE(s.esmtp);
  EXPECT_EQ(s.maxMessageSize, 0u);
  EXPECT_FALSE(s.requireAuth);
  EXPECT_EQ(s.duplicateWindowHours, 0u);
  EXPECT_EQ(s.listenBacklog, 5u);  // the listener's own queue, as without the value
  EXPECT_EQ(s.tlsCertificate + s.tlsKey + s.authUsers + s.allowedNetworks + s.allowedSenders, "");
  platform::RegKey key;
  EXPECT_EQ(platform::RegOpenKey(platform::Hive::LocalMachine, kGatewayKey, key),
            platform::kErrorFileNotFound);  // reading them never creates the key

  SetNumber("ESMTP", 2);  // any value but 0 turns a switch on
  SetNumber("RequireAuth", 1);
  SetNumber("MaxMessageSize", 1000000);
  SetNumber("DuplicateWindow", 24);
  SetText("TlsCertificate", "/etc/faxmail/cert.pem");
  SetText("AllowedSenders", "@example.com");
  SetText("TlsKey", std::string(kPathLimit, 'k'));  // too long for its limit: missing
  s = LoadInboundSettings();
  EXPECT_TRUE(s.esmtp);
  EXPECT_TRUE(s.requireAuth);
  EXPECT_EQ(s.maxMessageSize, 1000000u);
  EXPECT_EQ(s.duplicateWindowHours, 24u);
  EXPECT_EQ(s.tlsCertificate, "/etc/faxmail/cert.pem");
  EXPECT_EQ(s.allowedSenders, "@example.com");
  EXPECT_EQ(s.tlsKey, "");
  SetText("ESMTP", "1");  // a switch of the wrong type is missing
  EXPECT_FALSE(LoadInboundSettings().esmtp);
}

TEST_F(SettingsTest, ListenBacklogIsBounded) {
  const struct {
    std::uint32_t stored;
    std::uint32_t taken;
  } cases[] = {
      {128, 128},
      {1, 1},
      {0, 1},
      {kMaxListenBacklog, kMaxListenBacklog},
      {kMaxListenBacklog + 1, kMaxListenBacklog},
      {0xffffffffu, kMaxListenBacklog},
  };
  for (const auto& c : cases) {
    SetNumber("ListenBacklog", c.stored);
    EXPECT_EQ(LoadInboundSettings().listenBacklog, c.taken) << c.stored;
  }
  SetText("ListenBacklog", "1280");  // not a number of 4 bytes: missing
  EXPECT_EQ(LoadInboundSettings().listenBacklog, kDefaultListenBacklog);
}

TEST_F(SettingsTest, DecodeThreadsAreOffUnlessSetAndBounded) {
  EXPECT_EQ(LoadInboundSettings().decodeThreads, 0u);
  const struct {
    std::uint32_t stored;
    std::uint32_t taken;
  } cases[] = {
      {0, 0},
      {1, 1},
      {kMaxDecodeThreads, kMaxDecodeThreads},
      {kMaxDecodeThreads + 1, kMaxDecodeThreads},
      {0xffffffffu, kMaxDecodeThreads},
  };
  for (const auto& c : cases) {
    SetNumber("DecodeThreads", c.stored);
    EXPECT_EQ(LoadInboundSettings().decodeThreads, c.taken) << c.stored;
  }
  SetText("DecodeThreads", "4");  // not a number of 4 bytes: missing
  EXPECT_EQ(LoadInboundSettings().decodeThreads, 0u);
}

TEST_F(SettingsTest, DomainNameIsLogged) {
  SetText("logfile", Root() + "/main.log");
  GetDebugSettings2();
  LoadGatewaySettings();
  SetText("DomainName", "fax.example");
  LoadGatewaySettings();
  SetText("DomainName", std::string(80, 'd'));
  LoadGatewaySettings();
  const std::string log = test::ReadWholeFile(Root() + "/main.log");
  const auto first = log.find("Domain Name: <empty>");
  const auto second = log.find("Domain Name: fax.example");
  const auto third = log.find("Domain Name: <empty>", first + 1);
  EXPECT_NE(first, std::string::npos);
  EXPECT_NE(second, std::string::npos);
  EXPECT_NE(third, std::string::npos);
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);
  EXPECT_NE(log.find("(CFILEMAN - "), std::string::npos);
}

}  // namespace
}  // namespace faxmail
