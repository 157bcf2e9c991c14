// The sheet's tests: a private FAXMAIL_ROOT with the gateway's key, a data directory, and
// optionally the gateway's service (the test service program under the gateway's name) with a
// dependent service; everything the services do is logged to one file in order.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/service_control.h"
#include "tests/integration/applet/modal_driver.h"
#include "tests/support/test_support.h"

namespace faxmail::test {

inline constexpr char kDependentService[] = "Fax Dependent";

class AppletTest : public RootTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The gateway key with every value the General page shows, and AdvancedOptions when given.
  void WriteSettings(std::optional<std::uint32_t> advanced = std::nullopt);
  void SetText(const char* name, const std::string& text);
  void SetNumber(const char* name, std::uint32_t value);
  void DeleteValue(const char* name);
  std::optional<std::string> Text(const char* name) const;
  std::optional<std::uint32_t> Number(const char* name) const;
  std::string Hive() const;

  // The gateway's service (with behaviour options of the test service) and a dependent on it,
  // both started.
  void InstallServices(const std::string& gatewayOptions = {}, bool withDependent = true);
  std::uint32_t State(const char* name) const;
  // What the services did: "start NAME" / "stop NAME" lines.
  std::vector<std::string> ServiceLog() const;

  // Runs the sheet as RunDialog does, answered by the driver.
  void RunSheet(ModalDriver& driver);

  std::string DataDir() const { return m_data->Path() + "/"; }
  std::string m_serviceLog;
  std::unique_ptr<TempDir> m_data;
  platform::ScManager m_manager;
};

}  // namespace faxmail::test
