#include "gateway/host/install.h"

#include <string>

#include "gateway/service/log.h"
#include "platform/eventlog.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "MNCP";

constexpr char kCaptionError[] = "Error";
constexpr char kCaptionFinished[] = "Finished";

// Tells the operator why the mode failed.
int Failed(const char* text, const char* caption = kCaptionError) {
  platform::ShowMessageBox(text, caption);
  return kModeFailed;
}

// The event source: where the event log finds the source's message file and the types it
// reports. The message file is the executable, stored with its terminating zero.
bool WriteEventSource(const std::string& modulePath) {
  platform::RegKey key;
  if (platform::RegCreateKey(platform::Hive::LocalMachine, kEventSourceKey, key) !=
      platform::kErrorSuccess)
    return false;
  const bool written =
      platform::RegSetValue(key, "EventMessageFile", platform::kRegExpandSz, modulePath.c_str(),
                            static_cast<std::uint32_t>(modulePath.size() + 1)) ==
          platform::kErrorSuccess &&
      platform::RegSetDword(key, "TypesSupported", kEventTypesSupported) ==
          platform::kErrorSuccess &&
      platform::RegFlushKey(key) == platform::kErrorSuccess;
  platform::RegCloseKey(key);
  return written;
}

}  // namespace

int InstallService() {
  const std::string modulePath = platform::ModulePath();
  if (modulePath.empty() || modulePath.size() > kMaxModulePath) {
    LogMessage("Unable to get the module path name.", kTag, __LINE__);
    return Failed("Unable to get the module path name", "ERROR");
  }
  platform::ScManager manager;
  if (platform::OpenSCManager(manager) != platform::kErrorSuccess)
    return Failed("Failed to Open NT Service Manager");
  platform::ScService service;
  if (platform::OpenService(manager, kServiceName, service) == platform::kErrorSuccess)
    return Failed("Installation: Service Is already installed!! ");

  platform::ServiceConfig config;
  config.name = kServiceName;
  config.displayName = kServiceName;
  // The path as it is: the manager starts the program with nothing after it, which is what
  // selects service mode.
  config.imagePath = modulePath;
  config.serviceType = platform::kServiceWin32OwnProcess;
  config.startType = platform::kServiceAutoStart;
  config.errorControl = platform::kServiceErrorNormal;
  config.account = platform::kLocalSystemAccount;
  if (platform::CreateService(manager, config, service) != platform::kErrorSuccess)
    return Failed("Failed to Install NT Service");

  // A source that cannot be written leaves the service installed: the operator removes it
  // with -u before trying again.
  if (!WriteEventSource(modulePath)) return Failed("Unable to Install Event Log for the Service");

  ReportGatewayEvent(platform::EventType::Information, kInstalledEvent, kServiceName);
  platform::ShowMessageBox("Service Successfully Installed", kCaptionFinished);
  return kModeDone;
}

int RemoveService() {
  platform::ScManager manager;
  if (platform::OpenSCManager(manager) != platform::kErrorSuccess)
    return Failed("Failed to Open NT Service Manager");
  platform::ScService service;
  if (platform::OpenService(manager, kServiceName, service) != platform::kErrorSuccess)
    return Failed("Failed to Locate Installed Service");
  platform::ServiceStatus status;
  // Without its state the service is not removed: it might be running.
  if (platform::QueryServiceStatus(service, status) != platform::kErrorSuccess)
    return Failed("Failed to QUERRY the Installed Service");
  if (status.currentState != platform::kServiceStopped)
    return Failed("Service is RUNNING.First STOP it to uninstall the SERVICE!!");

  if (platform::DeleteService(service) != platform::kErrorSuccess) {
    ReportGatewayEvent(platform::EventType::Error, kRemoveFailedEvent, kServiceName);
    return Failed("Failed To Remove Service", "Warning");
  }
  ReportGatewayEvent(platform::EventType::Information, kRemovedEvent, kServiceName);
  ReleaseGatewayEventSource();
  platform::ShowMessageBox("Service Removed !!, Please Reboot To Finish", kCaptionFinished);
  return kModeDone;
}

}  // namespace faxmail
