#include "gateway/host/start_gateway.h"

#include <cctype>
#include <memory>
#include <string>

#include "gateway/host/service.h"
#include "gateway/queue/counters.h"
#include "gateway/queue/file_man.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "gateway/smtp_in/smtp_in.h"
#include "gateway/smtp_out/smtp_out.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "MNCP";

// What StartGateway builds. It lives until the process ends: the process ends with
// std::quick_exit, so threads still running never meet destroyed objects.
struct RunningGateway {
  std::unique_ptr<CFileMan> fileMan;
  std::unique_ptr<SMTPIn> receiver;
  std::unique_ptr<SMTPOut> sender;
};

RunningGateway& Running() {
  static RunningGateway gateway;
  return gateway;
}

std::string& StartProblem() {
  static std::string problem;
  return problem;
}

// A start that cannot give a working gateway: said in the log and in the event log (the log
// channels are off when the settings could not be read), and nothing more is started.
int NotStarted(const std::string& message, const std::string& reason, int line) {
  LogMessageText(message, reason, kTag, line);
  ReportGatewayEvent(platform::EventType::Error, kStartFailedEvent, kServiceName,
                     (message + reason).c_str());
  StartProblem() = message + reason;
  return kGatewayNotStarted;
}

}  // namespace

GatewayMode ModeFromCommandLine(std::string_view commandLine) {
  std::string line;
  line.reserve(commandLine.size());
  for (const char c : commandLine) {
    if (c == '"') continue;
    line.push_back(c == '/' ? '-' : c);
  }
  if (line.size() < 2) return GatewayMode::Service;
  const char dash = line[line.size() - 2];
  const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(line.back())));
  if (dash != '-') return GatewayMode::Service;
  switch (letter) {
    case 'm': return GatewayMode::Console;
    case 'i': return GatewayMode::Install;
    case 'u': return GatewayMode::Remove;
    default: return GatewayMode::Service;
  }
}

int StartGateway(CService* service) {
  GetDebugSettings2();
  if (const std::string problem = SettingsProblem(); !problem.empty())
    return NotStarted("StartGateway: Unable to read the settings: ", problem, __LINE__);
  RunningGateway& gateway = Running();
  // The envelope a crash cut off, read before the file manager clears its in-use flag.
  const std::string unfinished = IsEnvFileNameInUse() != 0 ? GetEnvFileName() : std::string();
  gateway.fileMan = std::make_unique<CFileMan>();
  gateway.receiver = std::make_unique<SMTPIn>(*gateway.fileMan, LoadInboundSettings());
  if (service) service->m_SMTPIN = gateway.receiver.get();
  // Before the listener opens: what a crash left in the spool is finished or undone first.
  gateway.receiver->RecoverSpool(unfinished);
  ResetFileNameFlags();
  const std::uint32_t port = ReadPortSetting("SmtpRxPort");
  // The failure itself is logged where it happens.
  if (gateway.receiver->ConnectToPort(
          static_cast<std::uint16_t>(port),
          static_cast<int>(gateway.receiver->Inbound().listenBacklog)) != 0)
    return NotStarted("StartGateway: Unable to listen to port ", std::to_string(port), __LINE__);
  LogMessage("SMTPIn listening to port " + std::to_string(port), kTag, __LINE__);
  gateway.receiver->StartAcceptThread();
  gateway.sender = std::make_unique<SMTPOut>();
  gateway.sender->SetFileManager(*gateway.fileMan);
  if (service) service->m_SMTPOUT = gateway.sender.get();
  return gateway.sender->Start();
}

std::string StartGatewayProblem() { return StartProblem(); }

}  // namespace faxmail
