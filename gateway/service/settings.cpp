#include "gateway/service/settings.h"

#include <algorithm>
#include <atomic>

#include "gateway/service/log.h"
#include "platform/registry.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "CFILEMAN";
using platform::kErrorSuccess;

std::atomic<bool> g_overrideAddressCheck{false};

void ReadText(const platform::RegKey& key, const char* name, std::uint32_t limit,
              std::string& field) {
  std::string value;
  if (platform::RegQueryString(key, name, limit, value) == kErrorSuccess) field = value;
}

void ReadNumber(const platform::RegKey& key, const char* name, std::uint32_t& field) {
  std::uint32_t value = 0;
  if (platform::RegQueryDword(key, name, value) == kErrorSuccess) field = value;
}

}  // namespace

GatewaySettings LoadGatewaySettings() {
  GatewaySettings settings;
  platform::RegKey key;
  if (platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key) != kErrorSuccess) {
    LogMessage("Domain Name: <empty>", kTag, __LINE__);
    return settings;
  }
  platform::RegSetDword(key, "FileNameUse", 0);
  {
    std::string path;
    const long result = platform::RegQueryString(key, "ProgramPath", kShortTextLimit, path);
    if (result == kErrorSuccess)
      settings.programPath = path;
    else if (result == platform::kErrorMoreData)
      settings.programPathTooLong = true;
  }
  ReadText(key, "MailFrom", kMailFromLimit, settings.mailFrom);
  ReadText(key, "DomainName", kShortTextLimit, settings.domainName);
  if (settings.domainName.empty())
    LogMessage("Domain Name: <empty>", kTag, __LINE__);
  else
    LogMessageText("Domain Name: ", settings.domainName, kTag, __LINE__);
  ReadNumber(key, "AdvancedOptions", settings.advancedOptions);
  if (settings.advancedOptions == 1) {
    // The applet writes the four together; one missing keeps its own default.
    ReadNumber(key, "NotifyOnFailure", settings.notifyOnFailure);
    ReadNumber(key, "NotifyOnSuccess", settings.notifyOnSuccess);
    ReadNumber(key, "SubjectLine", settings.subjectLine);
    ReadNumber(key, "IncludeTIFF", settings.includeTiff);
  }
  ReadNumber(key, "AttachFormat", settings.attachFormat);
  ReadNumber(key, "NotificationFormat", settings.notificationFormat);
  std::string override;
  if (platform::RegQueryString(key, "OverrideAddressCheck", kOverrideLimit, override) ==
          kErrorSuccess &&
      !override.empty() && (override[0] == 'y' || override[0] == 'Y')) {
    settings.overrideAddressCheck = true;
    SetOverrideAddressCheck(true);
  }
  platform::RegCloseKey(key);
  return settings;
}

std::string SettingsProblem() {
  platform::RegKey key;
  const long result = platform::RegOpenKey(platform::Hive::LocalMachine, kGatewayKey, key);
  if (result == kErrorSuccess) {
    platform::RegCloseKey(key);
    return {};
  }
  if (result == platform::kErrorFileNotFound) return {};
  std::string problem = platform::RegHiveProblem(platform::Hive::LocalMachine);
  if (problem.empty())
    problem = platform::HivePath(platform::Hive::LocalMachine) + ": registry error " +
              std::to_string(result);
  return problem;
}

std::uint32_t ReadPortSetting(const char* valueName) {
  platform::RegKey key;
  if (platform::RegOpenKey(platform::Hive::LocalMachine, kGatewayKey, key) != kErrorSuccess)
    return kDefaultPort;
  std::uint32_t port = kDefaultPort;
  if (platform::RegQueryDword(key, valueName, port) != kErrorSuccess) port = kDefaultPort;
  platform::RegCloseKey(key);
  return port;
}

SenderSettings LoadSenderSettings() {
  SenderSettings settings;
  settings.dnsName = kDefaultDnsServer;
  platform::RegKey key;
  if (platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key) != kErrorSuccess)
    return settings;
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  if (platform::RegQueryValue(key, "DNSName", &type, nullptr, &size) == kErrorSuccess && size > 0) {
    // Read whole, whatever its length.
    std::string value;
    if (platform::RegQueryString(key, "DNSName", size + 1, value) == kErrorSuccess)
      settings.dnsName = value;
  }
  std::uint32_t rfc = 0;
  if (platform::RegQueryDword(key, "RFCMode", rfc) == kErrorSuccess)
    settings.rfcMode = (rfc & 0xff) != 0;
  ReadText(key, "RetrySchedule", kRetryScheduleLimit, settings.retrySchedule);
  ReadNumber(key, "MaxQueueLifetime", settings.maxQueueLifetimeHours);
  ReadNumber(key, "SmtpTxTls", settings.smtpTxTls);
  std::uint32_t verify = 0;
  if (platform::RegQueryDword(key, "SmtpTxTlsVerify", verify) == kErrorSuccess)
    settings.smtpTxTlsVerify = verify;
  ReadText(key, "RelayHost", kRelayHostLimit, settings.relayHost);
  ReadText(key, "RelayUser", kRelayUserLimit, settings.relayUser);
  ReadText(key, "RelayPasswordFile", kPathLimit, settings.relayPasswordFile);
  platform::RegCloseKey(key);
  return settings;
}

InboundSettings LoadInboundSettings() {
  InboundSettings settings;
  platform::RegKey key;
  if (platform::RegOpenKey(platform::Hive::LocalMachine, kGatewayKey, key) != kErrorSuccess)
    return settings;
  std::uint32_t flag = 0;
  ReadNumber(key, "ESMTP", flag);
  settings.esmtp = flag != 0;
  ReadNumber(key, "MaxMessageSize", settings.maxMessageSize);
  ReadText(key, "TlsCertificate", kPathLimit, settings.tlsCertificate);
  ReadText(key, "TlsKey", kPathLimit, settings.tlsKey);
  ReadText(key, "AuthUsers", kPathLimit, settings.authUsers);
  flag = 0;
  ReadNumber(key, "RequireAuth", flag);
  settings.requireAuth = flag != 0;
  ReadText(key, "AllowedNetworks", kPolicyTextLimit, settings.allowedNetworks);
  ReadText(key, "AllowedSenders", kPolicyTextLimit, settings.allowedSenders);
  ReadNumber(key, "DuplicateWindow", settings.duplicateWindowHours);
  ReadNumber(key, "ListenBacklog", settings.listenBacklog);
  ReadNumber(key, "DecodeThreads", settings.decodeThreads);
  settings.listenBacklog = std::clamp<std::uint32_t>(settings.listenBacklog, 1, kMaxListenBacklog);
  settings.decodeThreads = std::min(settings.decodeThreads, kMaxDecodeThreads);
  platform::RegCloseKey(key);
  return settings;
}

bool OverrideAddressCheck() { return g_overrideAddressCheck.load(std::memory_order_relaxed); }

void SetOverrideAddressCheck(bool on) {
  g_overrideAddressCheck.store(on, std::memory_order_relaxed);
}

}  // namespace faxmail
