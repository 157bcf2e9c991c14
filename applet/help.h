// The settings' help: an HTML page installed beside the applet (faxmailcfg.html), opened in the
// desktop's browser at the topic of the page in front. When the page is missing or no browser
// starts, one box says so. GUI thread only.
#pragma once

#include <string>

class QWidget;

namespace faxmail::applet {

inline constexpr char kHelpFileName[] = "faxmailcfg.html";

enum class HelpTopic { General, Advanced };

// The help page's path: the folder of the file that holds the applet's code.
std::string HelpFilePath();
void OpenHelp(QWidget* owner, HelpTopic topic);
// The same with the page's path given.
void OpenHelpPage(QWidget* owner, const std::string& path, HelpTopic topic);

}  // namespace faxmail::applet
