#include "applet/settings_save.h"

#include <vector>

#include "applet/service_ops.h"
#include "common/path_utils.h"
#include "platform/eventlog.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/service_control.h"

namespace faxmail::applet {
namespace {

using platform::RegKey;

// The folders the gateway and the fax server meet in, below the data directory.
constexpr const char* kDataSubfolders[] = {"OUT", "IN"};

// One value after another; the first failure is told and sticks.
class KeyWriter {
 public:
  KeyWriter(PageContext& page, const RegKey& key) : m_page(page), m_key(key) {}
  void Text(const char* name, const std::string& text) {
    if (m_ok) Check(name, platform::RegSetString(m_key, name, text));
  }
  void Number(const char* name, std::uint32_t value) {
    if (m_ok) Check(name, platform::RegSetDword(m_key, name, value));
  }
  bool Ok() const { return m_ok; }

 private:
  void Check(const char* name, long rc) {
    if (rc == 0) return;
    ShowSystemError(m_page, "The setting " + std::string(name) + " could not be written.", rc,
                    true);
    m_ok = false;
  }
  PageContext& m_page;
  const RegKey& m_key;
  bool m_ok = true;
};

// Steps shared by both saves: the service must be stopped and the key must open.
bool OpenForSave(PageContext& page, RegKey& key) {
  if (QueryServiceState(page) != platform::kServiceStopped) {
    ShowMessage(page, kMsgRestartQuestion, true);
    return false;
  }
  if (const long rc = platform::RegOpenKey(platform::Hive::LocalMachine, kGatewayKeyPath, key);
      rc != 0) {
    ShowKeyOpenError(page, rc);
    return false;
  }
  return true;
}

void ReportSettingsChanged() {
  platform::EventSource source;
  if (platform::RegisterEventSource(kEventSourceName, source) != 0) return;
  platform::ReportEvent(source, platform::EventType::Information, 0, kEventSettingsChanged, {});
  platform::DeregisterEventSource(source);
}

SaveResult Finish(RegKey& key, const KeyWriter& writer) {
  if (!writer.Ok()) {
    platform::RegCloseKey(key);
    return SaveResult::Failed;
  }
  platform::RegFlushKey(key);
  ReportSettingsChanged();
  platform::RegCloseKey(key);
  return SaveResult::Saved;
}

}  // namespace

GeneralValues GeneralFromRecord(const CSMTPRegistrySettings& record) {
  GeneralValues values;
  values.domainName = record.domainName;
  values.programPath = record.programPath;
  values.dnsServer = record.dnsName;
  values.rxPort = record.smtpRxPort;
  values.txPort = record.smtpTxPort;
  values.mailFrom = record.mailFrom;
  return values;
}

AdvancedValues AdvancedFromRecord(const CSMTPRegistrySettings& record) {
  return {record.notifyOnSuccess, record.notifyOnFailure, record.subjectLine, record.includeTiff};
}

std::optional<std::string> PrepareDataDirectory(PageContext& page, const std::string& text) {
  if (text.empty() || !platform::DirectoryEnterable(text)) {
    ShowMessage(page, kMsgInvalidPath, true);
    return std::nullopt;
  }
  std::string prepared = text;
  AppendTrailingSeparator(prepared);
  if (prepared.size() > kMaxGatewayPathText) {
    ShowMessage(page, kMsgInvalidPath, true);
    return std::nullopt;
  }
  for (const char* sub : kDataSubfolders) {
    const std::string folder = prepared + sub;
    if (platform::CreateDirectory(folder) != 0 && !platform::DirectoryExists(folder)) {
      ShowMessage(page, kMsgInvalidPath, true);
      return std::nullopt;
    }
  }
  return prepared;
}

SaveResult SaveGeneral(PageContext& page, GeneralValues& values) {
  RegKey key;
  if (!OpenForSave(page, key)) return SaveResult::Failed;
  const std::optional<std::string> folder = PrepareDataDirectory(page, values.programPath);
  if (!folder) {
    platform::RegCloseKey(key);
    return SaveResult::Refused;
  }
  values.programPath = *folder;
  KeyWriter writer(page, key);
  writer.Text("ProgramPath", values.programPath);
  writer.Text("DomainName", values.domainName);
  writer.Text("DNSName", values.dnsServer == kBlankAddress ? std::string() : values.dnsServer);
  writer.Number("SmtpRxPort", values.rxPort);
  writer.Number("SmtpTxPort", values.txPort);
  writer.Text("MailFrom", values.mailFrom);
  return Finish(key, writer);
}

SaveResult SaveAdvanced(PageContext& page, const AdvancedValues& values) {
  RegKey key;
  if (!OpenForSave(page, key)) return SaveResult::Failed;
  KeyWriter writer(page, key);
  writer.Number("NotifyOnSuccess", values.notifyOnSuccess);
  writer.Number("NotifyOnFailure", values.notifyOnFailure);
  writer.Number("SubjectLine", values.subjectLine);
  writer.Number("IncludeTIFF", values.includeTiff);
  return Finish(key, writer);
}

void SaveWithServiceStopped(PageContext& page, const std::function<SaveResult()>& save) {
  if (QueryServiceState(page) == platform::kServiceStopped) {
    if (save() == SaveResult::Failed) ShowMessage(page, kMsgNotInstalledCorrectly, true);
    return;
  }
  if (ShowMessage(page, kMsgRestartQuestion, true, MessageButtons::YesNo,
                  MessageIcon::Exclamation) != MessageAnswer::Yes)
    return;
  page.SetBusy(true);
  if (ServiceControl(page, kGatewayServiceName, false) != kServiceControlSuccess) {
    page.SetBusy(false);
    ShowMessage(page, kMsgCouldNotStop, true);
    return;
  }
  const SaveResult saved = save();
  // Started again whatever the save did: the old settings are still whole when it failed.
  const int started = ServiceControl(page, kGatewayServiceName, true);
  page.SetBusy(false);
  if (saved == SaveResult::Failed) ShowMessage(page, kMsgNotInstalledCorrectly, true);
  if (started != kServiceControlSuccess) ShowMessage(page, kMsgCouldNotStart, true);
}

void OkGeneral(PageContext& page, GeneralValues& values, const CSMTPRegistrySettings& record) {
  if (values == GeneralFromRecord(record)) return;
  SaveWithServiceStopped(page, [&page, &values] { return SaveGeneral(page, values); });
}

void OkAdvanced(PageContext& page, const AdvancedValues& values,
                const CSMTPRegistrySettings& record) {
  if (values == AdvancedFromRecord(record)) return;
  SaveWithServiceStopped(page, [&page, &values] { return SaveAdvanced(page, values); });
}

}  // namespace faxmail::applet
