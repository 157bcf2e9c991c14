#include "applet/messages.h"

#include <array>
#include <utility>

#include "platform/win_error.h"

namespace faxmail::applet {
namespace {

constexpr std::array<std::pair<int, std::string_view>, 15> kTable = {{
    {kMsgDomainNameMissing, "The Domain Name registry entry is not present"},
    {kMsgProgramPathMissing, "The Program Path registry entry is not present"},
    {kMsgDnsNameMissing, "The DNS Name registry entry is not present"},
    {kMsgNotInstalledCorrectly, "The Corvane SMTP Mail service is not installed correctly"},
    {kMsgRestartQuestion,
     "The Corvane SMTP Server is running. Would you like to make the changes and restart the "
     "server now?"},
    {kMsgInvalidPath, "Invalid path, configuration data will not be saved"},
    {kMsgNoServiceManager, "Unable to open Control Panel Service Manager"},
    {kMsgServiceNotInstalled, "Corvane SMTP Server service is not installed"},
    {kMsgSelectDataDirectory, "Please select the Corvane SMTP Server data directory"},
    {kMsgAllocationFailed, "Memory allocation failed"},
    {kMsgCouldNotStart, "Could not start the Corvane SMTP Server"},
    {kMsgCouldNotStop, "Could not stop the Corvane SMTP Server"},
    {kMsgRxPortMissing, "The SMTP receive port registry entry is not present"},
    {kMsgTxPortMissing, "The SMTP transmit port registry entry is not present"},
    {kMsgCaption, "Corvane SMTP Server"},
}};

}  // namespace

std::string_view MessageText(int id) noexcept {
  for (const auto& [number, text] : kTable)
    if (number == id) return text;
  return {};
}

MessageAnswer ShowMessage(Prompter& prompter, int id, bool owned, MessageButtons buttons,
                          MessageIcon icon) {
  MessageRequest request;
  request.caption = std::string(MessageText(kMsgCaption));
  request.text = std::string(MessageText(id));
  request.icon = icon;
  request.buttons = buttons;
  request.owned = owned;
  return prompter.Show(request);
}

MessageAnswer ShowSystemError(Prompter& prompter, std::string_view what, long error, bool owned) {
  MessageRequest request;
  request.caption = std::string(MessageText(kMsgCaption));
  request.text = std::string(what) + "\n\n" + std::string(platform::SystemMessageText(error));
  request.icon = MessageIcon::Error;
  request.owned = owned;
  return prompter.Show(request);
}

}  // namespace faxmail::applet
