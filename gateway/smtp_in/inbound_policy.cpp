// The receiver's sender policy and duplicate guard, made from its settings at start.
#include <memory>

#include "gateway/queue/file_man.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "gateway/smtp_in/smtp_in.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "SMTP_IN";

void LogStart(std::string_view message, std::string_view text, int line) {
  LogMessageText(message, text, kTag, line);
  LogMessageText2(message, text, kTag, line);
}

}  // namespace

void SMTPIn::SetInboundPolicy(const InboundSettings& settings) {
  std::vector<std::string> problems;
  m_policy = SenderPolicy(settings.allowedNetworks, settings.allowedSenders, &problems);
  for (const std::string& problem : problems) LogStart(problem, "", __LINE__);
  if (!settings.allowedNetworks.empty())
    LogStart("SMTPIn- AllowedNetworks: ", settings.allowedNetworks, __LINE__);
  if (!settings.allowedSenders.empty())
    LogStart("SMTPIn- AllowedSenders: ", settings.allowedSenders, __LINE__);

  m_duplicates.reset();
  if (settings.duplicateWindowHours == 0) return;
  const std::string& programPath = m_fileMan.ProgramPath();
  if (programPath.empty()) {
    LogStart("SMTPIn- Error: DuplicateWindow set without a data directory, no duplicate guard", "",
             __LINE__);
    return;
  }
  m_duplicates = std::make_unique<DuplicateGuard>(programPath + DuplicateGuard::kFileName,
                                                  settings.duplicateWindowHours);
  LogStart("SMTPIn- DuplicateWindow (hours): ", std::to_string(settings.duplicateWindowHours),
           __LINE__);
}

}  // namespace faxmail
