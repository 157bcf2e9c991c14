#include "tests/integration/applet/applet_fixture.h"

#include <sstream>

#include "applet/config_sheet.h"
#include "applet/registry_settings.h"
#include "applet/service_ops.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace faxmail::test {
namespace {

using namespace platform;

RegKey GatewayKey() {
  RegKey key;
  EXPECT_EQ(RegCreateKey(Hive::LocalMachine, applet::kGatewayKeyPath, key), 0);
  return key;
}

bool WaitForState(const ScManager& manager, const std::string& name, std::uint32_t state) {
  ScService service;
  if (OpenService(manager, name, service) != 0) return false;
  return WaitUntil(
      [&] {
        ServiceStatus status;
        return QueryServiceStatus(service, status) == 0 && status.currentState == state;
      },
      std::chrono::seconds(30));
}

}  // namespace

void AppletTest::SetUp() {
  RootTest::SetUp();
  m_data = std::make_unique<TempDir>();
  m_serviceLog = Root() + "/services.log";
  ASSERT_EQ(OpenSCManager(m_manager), 0);
}

void AppletTest::TearDown() {
  // Whatever still runs goes: dependents first, and a service that will not stop is killed.
  for (int round = 0; round < 4; ++round) {
    std::vector<ServiceEntry> active;
    EnumServicesStatus(m_manager, ServiceStateFilter::Active, active);
    if (active.empty()) break;
    for (const ServiceEntry& entry : active) {
      ScService service;
      ServiceStatus status;
      if (OpenService(m_manager, entry.name, service) != 0) continue;
      const long rc = ControlService(service, kServiceControlStop, status);
      if (rc == kErrorDependentServicesRunning) continue;  // after its dependents, next round
      if (rc != 0) ControlService(service, 200, status);
      WaitForState(m_manager, entry.name, kServiceStopped);
    }
  }
  m_data.reset();
  RootTest::TearDown();
}

void AppletTest::WriteSettings(std::optional<std::uint32_t> advanced) {
  RegKey key = GatewayKey();
  RegSetString(key, "DomainName", "fax.example.org");
  RegSetString(key, "ProgramPath", DataDir());
  RegSetString(key, "DNSName", "127.0.0.53");
  RegSetString(key, "MailFrom", "faxmaster@example.org");
  RegSetDword(key, "SmtpRxPort", 2525);
  RegSetDword(key, "SmtpTxPort", 25);
  if (advanced) RegSetDword(key, "AdvancedOptions", *advanced);
  RegCloseKey(key);
}

void AppletTest::SetText(const char* name, const std::string& text) {
  RegKey key = GatewayKey();
  EXPECT_EQ(RegSetString(key, name, text), 0);
}

void AppletTest::SetNumber(const char* name, std::uint32_t value) {
  RegKey key = GatewayKey();
  EXPECT_EQ(RegSetDword(key, name, value), 0);
}

void AppletTest::DeleteValue(const char* name) {
  RegKey key = GatewayKey();
  EXPECT_EQ(RegDeleteValue(key, name), 0);
}

std::optional<std::string> AppletTest::Text(const char* name) const {
  RegKey key = GatewayKey();
  std::string text;
  if (RegQueryString(key, name, 4096, text) != 0) return std::nullopt;
  return text;
}

std::optional<std::uint32_t> AppletTest::Number(const char* name) const {
  RegKey key = GatewayKey();
  std::uint32_t value = 0;
  if (RegQueryDword(key, name, value) != 0) return std::nullopt;
  return value;
}

std::string AppletTest::Hive() const {
  // Changes of values are appended to the change log beside the hive file.
  const std::string hive = Root() + "/registry/HKLM.reg";
  return ReadWholeFile(hive) + ReadWholeFile(hive + ".log");
}

void AppletTest::InstallServices(const std::string& gatewayOptions, bool withDependent) {
  const std::string program = BuiltProgram("tests/faxmail_test_service");
  auto create = [&](const std::string& name, const std::string& options,
                    std::vector<std::string> dependencies) {
    ServiceConfig config;
    config.name = name;
    config.imagePath = program + " normal --log " + m_serviceLog + " " + options;
    config.dependencies = std::move(dependencies);
    ScService service;
    ASSERT_EQ(CreateService(m_manager, config, service), 0) << name;
    ASSERT_EQ(StartService(service), 0) << name;
    ASSERT_TRUE(WaitForState(m_manager, name, kServiceRunning)) << name;
  };
  create(applet::kGatewayServiceName, gatewayOptions, {});
  if (withDependent) create(kDependentService, "", {applet::kGatewayServiceName});
}

std::uint32_t AppletTest::State(const char* name) const {
  ScService service;
  ServiceStatus status;
  if (OpenService(m_manager, name, service) != 0 || QueryServiceStatus(service, status) != 0)
    return 0;
  return status.currentState;
}

std::vector<std::string> AppletTest::ServiceLog() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadWholeFile(m_serviceLog));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void AppletTest::RunSheet(ModalDriver& driver) {
  applet::RunConfigSheet();
  EXPECT_TRUE(driver.SheetSeen()) << "the sheet never came to the front";
}

}  // namespace faxmail::test
