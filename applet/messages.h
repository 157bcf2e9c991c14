// The applet's messages: its string table, and the seam through which every message box is
// shown, so that the settings pages and the service operations ask the administrator the same
// way and tests can answer in the administrator's place.
//
// Every box has the caption of message 17 unless it says otherwise (the service operations'
// own error box is "Service control"). A box is owned by the window that asks (a page) or by
// nobody; the presenter decides what owning means for its toolkit. Any thread may read the
// table; a presenter is used on the thread of its windows.
#pragma once

#include <string>
#include <string_view>

namespace faxmail::applet {

// Numbers of the string table.
inline constexpr int kMsgDomainNameMissing = 1;
inline constexpr int kMsgProgramPathMissing = 2;
inline constexpr int kMsgDnsNameMissing = 3;
inline constexpr int kMsgNotInstalledCorrectly = 4;
inline constexpr int kMsgRestartQuestion = 5;
inline constexpr int kMsgInvalidPath = 6;
inline constexpr int kMsgNoServiceManager = 8;
inline constexpr int kMsgServiceNotInstalled = 9;
inline constexpr int kMsgSelectDataDirectory = 10;
inline constexpr int kMsgAllocationFailed = 12;
inline constexpr int kMsgCouldNotStart = 13;
inline constexpr int kMsgCouldNotStop = 14;
inline constexpr int kMsgRxPortMissing = 15;
inline constexpr int kMsgTxPortMissing = 16;
inline constexpr int kMsgCaption = 17;

// The text of a table number; empty for a number the table does not hold.
std::string_view MessageText(int id) noexcept;

enum class MessageIcon { None, Information, Exclamation, Error };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

struct MessageRequest {
  std::string caption;
  std::string text;
  MessageIcon icon = MessageIcon::None;
  MessageButtons buttons = MessageButtons::Ok;
  bool owned = false;  // owned by the asking window; false: no owner
};

// Shows a box and waits for the answer (blocking the caller, as a modal box does).
class Prompter {
 public:
  virtual ~Prompter() = default;
  virtual MessageAnswer Show(const MessageRequest& request) = 0;
};

// A failure with the system's words for its error number, after what failed, with the caption
// of message 17 and an error icon.
MessageAnswer ShowSystemError(Prompter& prompter, std::string_view what, long error, bool owned);

// A table message with the caption of message 17.
MessageAnswer ShowMessage(Prompter& prompter, int id, bool owned,
                          MessageButtons buttons = MessageButtons::Ok,
                          MessageIcon icon = MessageIcon::None);

}  // namespace faxmail::applet
