#include "applet/help.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

#include "applet/messages.h"
#include "platform/file.h"
#include "platform/module.h"

namespace faxmail::applet {

namespace {

// From the applet's folder (PREFIX/lib/faxmail) to the installed pages (PREFIX/share/faxmail).
constexpr char kInstalledHelpFolder[] = "/../../share/faxmail/";

}  // namespace

std::string HelpFilePathFor(const std::string& appletFile) {
  if (appletFile.empty()) return kHelpFileName;
  const std::string folder = platform::ParentFolder(appletFile);
  std::string beside = folder;
  beside += '/';
  beside += kHelpFileName;
  if (platform::FileExists(beside)) return beside;
  std::string installed = folder;
  installed += kInstalledHelpFolder;
  installed += kHelpFileName;
  return platform::FileExists(installed) ? installed : beside;
}

std::string HelpFilePath() {
  return HelpFilePathFor(platform::ModuleFileOf(reinterpret_cast<const void*>(&HelpFilePath)));
}

void OpenHelp(QWidget* owner, HelpTopic topic) { OpenHelpPage(owner, HelpFilePath(), topic); }

void OpenHelpPage(QWidget* owner, const std::string& path, HelpTopic topic) {
  const QString caption = QString::fromUtf8(MessageText(kMsgCaption).data());
  if (!platform::FileExists(path)) {
    QMessageBox::information(
        owner, caption,
        QStringLiteral("The help page %1 is missing.").arg(QString::fromStdString(path)));
    return;
  }
  QUrl url = QUrl::fromLocalFile(QString::fromStdString(path));
  url.setFragment(topic == HelpTopic::Advanced ? QStringLiteral("advanced")
                                               : QStringLiteral("general"));
  if (!QDesktopServices::openUrl(url))
    QMessageBox::information(owner, caption,
                             QStringLiteral("No browser could be started for the help page %1.")
                                 .arg(QString::fromStdString(path)));
}

}  // namespace faxmail::applet
