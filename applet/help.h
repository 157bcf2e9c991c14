// The settings' help: an HTML page (faxmailcfg.html) beside the applet in a build tree, or in
// share/faxmail/ of the prefix the applet is installed under (lib/faxmail/), opened in the
// desktop's browser at the topic of the page in front. When the page is missing or no browser
// starts, one box says so. GUI thread only.
#pragma once

#include <string>

class QWidget;

namespace faxmail::applet {

inline constexpr char kHelpFileName[] = "faxmailcfg.html";

enum class HelpTopic { General, Advanced };

// The help page's path: beside the file that holds the applet's code when it is there, else
// in the installed share folder; the page beside it when neither exists (so that the box
// names that one).
std::string HelpFilePath();
// The same for the applet's file at the given path.
std::string HelpFilePathFor(const std::string& appletFile);
void OpenHelp(QWidget* owner, HelpTopic topic);
// The same with the page's path given.
void OpenHelpPage(QWidget* owner, const std::string& path, HelpTopic topic);

}  // namespace faxmail::applet
