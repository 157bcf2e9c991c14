#include "applet/qt_prompter.h"

#include <QApplication>
#include <QMessageBox>

namespace faxmail::applet {
namespace {

QMessageBox::Icon ToQt(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Exclamation: return QMessageBox::Warning;
    case MessageIcon::Error: return QMessageBox::Critical;
    case MessageIcon::None: break;
  }
  return QMessageBox::NoIcon;
}

MessageAnswer ShowBox(const MessageRequest& request, QWidget* owner, bool busy) {
  const QMessageBox::StandardButtons buttons = request.buttons == MessageButtons::YesNo
                                                   ? QMessageBox::Yes | QMessageBox::No
                                                   : QMessageBox::StandardButtons(QMessageBox::Ok);
  QMessageBox box(ToQt(request.icon), QString::fromStdString(request.caption),
                  QString::fromStdString(request.text), buttons, request.owned ? owner : nullptr);
  // The administrator answers with the ordinary pointer even while a service is being waited
  // for.
  if (busy) QApplication::setOverrideCursor(Qt::ArrowCursor);
  const int answer = box.exec();
  if (busy) QApplication::restoreOverrideCursor();
  if (request.buttons == MessageButtons::Ok) return MessageAnswer::Ok;
  return answer == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

}  // namespace

QtPageContext::~QtPageContext() {
  while (m_busy > 0) SetBusy(false);
}

MessageAnswer QtPageContext::Show(const MessageRequest& request) {
  return ShowBox(request, m_owner, m_busy > 0);
}

void QtPageContext::SetBusy(bool busy) {
  if (busy) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++m_busy;
  } else if (m_busy > 0) {
    QApplication::restoreOverrideCursor();
    --m_busy;
  }
}

MessageAnswer QtPrompter::Show(const MessageRequest& request) {
  return ShowBox(request, nullptr, false);
}

}  // namespace faxmail::applet
