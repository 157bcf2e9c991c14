#include "applet/help.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

#include "applet/messages.h"
#include "platform/file.h"
#include "platform/module.h"

namespace faxmail::applet {

std::string HelpFilePath() {
  const std::string file = platform::ModuleFileOf(reinterpret_cast<const void*>(&HelpFilePath));
  if (file.empty()) return kHelpFileName;
  return platform::ParentFolder(file) + "/" + kHelpFileName;
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
