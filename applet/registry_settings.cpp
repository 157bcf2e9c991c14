#include "applet/registry_settings.h"

#include "platform/registry.h"

namespace faxmail::applet {
namespace {

using platform::RegKey;

bool ReadText(const RegKey& key, const char* name, std::string& field) {
  std::string text;
  if (platform::RegQueryString(key, name, kSettingTextBuffer, text) != 0) return false;
  field = std::move(text);
  return true;
}

bool ReadNumber(const RegKey& key, const char* name, std::uint32_t& field) {
  std::uint32_t value = 0;
  if (platform::RegQueryDword(key, name, value) != 0) return false;
  field = value;
  return true;
}

}  // namespace

void ShowKeyOpenError(Prompter& prompter, long error) {
  ShowSystemError(prompter,
                  "The settings key HKEY_LOCAL_MACHINE\\" + std::string(kGatewayKeyPath) +
                      " could not be opened.",
                  error, false);
}

bool CSMTPRegistrySettings::Load(Prompter& prompter) {
  RegKey key;
  if (const long rc = platform::RegOpenKey(platform::Hive::LocalMachine, kGatewayKeyPath, key);
      rc != 0) {
    ShowKeyOpenError(prompter, rc);
    return false;
  }
  auto tell = [&prompter](int id) { ShowMessage(prompter, id, false); };
  if (!ReadText(key, "DomainName", domainName)) tell(kMsgDomainNameMissing);
  if (!ReadText(key, "ProgramPath", programPath)) tell(kMsgProgramPathMissing);
  if (!ReadText(key, "DNSName", dnsName))
    tell(kMsgDnsNameMissing);
  else if (dnsName.empty())
    dnsName = kBlankAddress;
  ReadText(key, "MailFrom", mailFrom);
  if (!ReadNumber(key, "SmtpRxPort", smtpRxPort)) tell(kMsgRxPortMissing);
  if (!ReadNumber(key, "SmtpTxPort", smtpTxPort)) tell(kMsgTxPortMissing);
  ReadNumber(key, "AdvancedOptions", advancedOptions);
  if (advancedOptions != 0) {
    ReadNumber(key, "NotifyOnSuccess", notifyOnSuccess);
    ReadNumber(key, "NotifyOnFailure", notifyOnFailure);
    ReadNumber(key, "SubjectLine", subjectLine);
    ReadNumber(key, "IncludeTIFF", includeTiff);
  }
  platform::RegCloseKey(key);
  return true;
}

}  // namespace faxmail::applet
