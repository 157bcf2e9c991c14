#include "tools/faxmailsc/sc_text.h"

#include <cstdio>
#include <string>

#include "platform/win_error.h"

namespace faxmail::sc {

namespace pf = faxmail::platform;

namespace {

// Every field line starts in this column and names its field in a column of this width.
constexpr char kIndent[] = "        ";
constexpr std::size_t kFieldWidth = 19;

std::string Field(std::string_view name, const std::string& value) {
  std::string line = kIndent;
  line += name;
  if (name.size() < kFieldWidth) line.append(kFieldWidth - name.size(), ' ');
  return line + ": " + value + "\n";
}

std::string Hex(std::uint32_t value, bool prefix = true) {
  char text[16];
  std::snprintf(text, sizeof text, prefix ? "0x%x" : "%x", static_cast<unsigned>(value));
  return text;
}

std::string TypeName(std::uint32_t type) {
  switch (type) {
    case 0x01: return "KERNEL_DRIVER";
    case 0x02: return "FILE_SYSTEM_DRIVER";
    case 0x10: return "WIN32_OWN_PROCESS";
    case 0x20: return "WIN32_SHARE_PROCESS";
    default: return "UNKNOWN";
  }
}

std::string ControlsText(std::uint32_t accepted) {
  std::string text = "(";
  text += (accepted & pf::kServiceAcceptStop) ? "STOPPABLE" : "NOT_STOPPABLE";
  text += (accepted & pf::kServiceAcceptPauseContinue) ? ", PAUSABLE" : ", NOT_PAUSABLE";
  text += (accepted & pf::kServiceAcceptShutdown) ? ", ACCEPTS_SHUTDOWN)" : ", IGNORES_SHUTDOWN)";
  return text;
}

std::string ErrorControlName(std::uint32_t errorControl) {
  switch (errorControl) {
    case 0: return "IGNORE";
    case 1: return "NORMAL";
    case 2: return "SEVERE";
    case 3: return "CRITICAL";
    default: return "UNKNOWN";
  }
}

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

}  // namespace

std::string StateName(std::uint32_t state) {
  switch (state) {
    case pf::kServiceStopped: return "STOPPED";
    case pf::kServiceStartPending: return "START_PENDING";
    case pf::kServiceStopPending: return "STOP_PENDING";
    case pf::kServiceRunning: return "RUNNING";
    case pf::kServiceContinuePending: return "CONTINUE_PENDING";
    case pf::kServicePausePending: return "PAUSE_PENDING";
    case pf::kServicePaused: return "PAUSED";
    default: return "UNKNOWN";
  }
}

std::string StartTypeName(std::uint32_t startType) {
  switch (startType) {
    case 0: return "BOOT_START";
    case 1: return "SYSTEM_START";
    case pf::kServiceAutoStart: return "AUTO_START";
    case pf::kServiceDemandStart: return "DEMAND_START";
    case pf::kServiceDisabled: return "DISABLED";
    default: return "UNKNOWN";
  }
}

std::string StatusLines(const pf::ServiceStatus& status) {
  std::string text;
  text += Field("TYPE", Hex(status.serviceType, false) + "  " + TypeName(status.serviceType));
  text +=
      Field("STATE", std::to_string(status.currentState) + "  " + StateName(status.currentState));
  text += std::string(kIndent) + std::string(kFieldWidth + 5, ' ') +
          ControlsText(status.controlsAccepted) + "\n";
  text += Field("WIN32_EXIT_CODE",
                std::to_string(status.win32ExitCode) + "  (" + Hex(status.win32ExitCode) + ")");
  text += Field("SERVICE_EXIT_CODE", std::to_string(status.serviceSpecificExitCode) + "  (" +
                                         Hex(status.serviceSpecificExitCode) + ")");
  text += Field("CHECKPOINT", Hex(status.checkPoint));
  text += Field("WAIT_HINT", Hex(status.waitHint));
  text += Field("PID", std::to_string(status.processId));
  return text;
}

std::string StatusBlock(std::string_view name, const pf::ServiceStatus& status,
                        const std::string* displayName) {
  std::string text = "\nSERVICE_NAME: " + std::string(name) + "\n";
  if (displayName) text += "DISPLAY_NAME: " + *displayName + "\n";
  return text + StatusLines(status);
}

std::string ConfigBlock(const pf::ServiceConfig& config) {
  std::string text = "SERVICE_NAME: " + config.name + "\n";
  text += Field("TYPE", Hex(config.serviceType, false) + "  " + TypeName(config.serviceType));
  text += Field("START_TYPE",
                std::to_string(config.startType) + "   " + StartTypeName(config.startType));
  text += Field("ERROR_CONTROL", std::to_string(config.errorControl) + "   " +
                                     ErrorControlName(config.errorControl));
  text += Field("BINARY_PATH_NAME", config.imagePath);
  text += Field("DISPLAY_NAME", config.displayName.empty() ? config.name : config.displayName);
  if (config.dependencies.empty()) {
    text += Field("DEPENDENCIES", "");
  } else {
    bool first = true;
    for (const auto& dependency : config.dependencies) {
      text += Field(first ? "DEPENDENCIES" : "", dependency);
      first = false;
    }
  }
  text += Field("SERVICE_START_NAME", config.account);
  return text;
}

std::string ReportsTable(const std::vector<pf::ServiceStatus>& reports) {
  // Column widths fit the longest value of each column (a state name, a 32-bit number).
  constexpr std::size_t kNumber = 8, kState = 20, kHex = 12, kCode = 12, kPid = 10;
  std::string text = Padded("REPORT", kNumber) + Padded("STATE", kState) +
                     Padded("CHECKPOINT", kHex) + Padded("WAIT_HINT", kHex) +
                     Padded("WIN32_EXIT", kCode) + Padded("SVC_EXIT", kCode) + Padded("PID", kPid) +
                     "CONTROLS\n";
  std::size_t number = 0;
  for (const auto& report : reports) {
    text += Padded(std::to_string(++number), kNumber) +
            Padded(std::to_string(report.currentState) + "  " + StateName(report.currentState),
                   kState) +
            Padded(Hex(report.checkPoint), kHex) + Padded(Hex(report.waitHint), kHex) +
            Padded(std::to_string(report.win32ExitCode), kCode) +
            Padded(std::to_string(report.serviceSpecificExitCode), kCode) +
            Padded(std::to_string(report.processId), kPid) + ControlsText(report.controlsAccepted) +
            "\n";
  }
  return text;
}

std::string ErrorMessage(long error) {
  const std::string_view text = pf::ErrorText(error);
  if (text.empty() || text == "Unknown error") return "Error " + std::to_string(error) + ".";
  return std::string(text);
}

std::string FailureText(std::string_view operation, long error) {
  return "[SC] " + std::string(operation) + " FAILED " + std::to_string(error) + ":\n\n" +
         ErrorMessage(error) + "\n";
}

}  // namespace faxmail::sc
