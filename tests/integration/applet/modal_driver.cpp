#include "tests/integration/applet/modal_driver.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QPushButton>

#include "applet/config_sheet.h"

namespace faxmail::test {
namespace {

constexpr int kPollMs = 5;
// A bound on a run that an unanswered window would hang: the windows are closed after it.
constexpr int kMaxPolls = 60000 / kPollMs;

}  // namespace

ModalDriver::ModalDriver() {
  QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
  m_timer.start(kPollMs);
}

ModalDriver::~ModalDriver() { m_timer.stop(); }

void ModalDriver::OnSheet(std::function<void(applet::ConfigSheet&)> action) {
  m_sheetAction = std::move(action);
}

void ModalDriver::Answer(std::vector<QMessageBox::StandardButton> answers) {
  m_answers.insert(m_answers.end(), answers.begin(), answers.end());
}

std::string ModalDriver::Transcript() const {
  std::string out;
  for (const RecordedBox& box : m_boxes)
    out += box.caption.toStdString() + ": " + box.text.toStdString() + "\n";
  return out;
}

void ModalDriver::Poll() {
  QWidget* front = QApplication::activeModalWidget();
  if (front == nullptr || !front->isVisible()) return;
  if (++m_polls > kMaxPolls) {
    ADD_FAILURE() << "a window stayed unanswered: " << front->windowTitle().toStdString();
    if (auto* dialog = dynamic_cast<QDialog*>(front)) dialog->reject();
    return;
  }
  for (const QPointer<QWidget>& done : m_handled)
    if (done == front) return;
  if (auto* box = dynamic_cast<QMessageBox*>(front)) {
    m_handled.emplace_back(box);
    RecordedBox record{
        box->windowTitle(),
        box->text(),
        box->icon(),
        box->standardButtons(),
        box->parentWidget() != nullptr,
        QApplication::overrideCursor() ? QApplication::overrideCursor()->shape() : -1};
    m_boxes.push_back(record);
    if (!m_boxShot.empty() && m_boxes.size() == 1)
      box->grab().save(QString::fromStdString(m_boxShot));
    QMessageBox::StandardButton answer =
        box->standardButtons().testFlag(QMessageBox::Ok) ? QMessageBox::Ok : QMessageBox::No;
    if (!m_answers.empty()) {
      answer = m_answers.front();
      m_answers.pop_front();
    }
    QPointer<QMessageBox> target(box);
    QTimer::singleShot(0, box, [target, answer] {
      if (target == nullptr) return;
      if (QAbstractButton* button = target->button(answer))
        button->click();
      else
        target->reject();
    });
    return;
  }
  if (auto* picker = dynamic_cast<QFileDialog*>(front)) {
    m_handled.emplace_back(picker);
    ++m_pickers;
    m_pickerTitle = picker->windowTitle();
    m_pickerStart = picker->directory().absolutePath();
    const QString folder = m_folder;
    QPointer<QFileDialog> target(picker);
    QTimer::singleShot(0, picker, [target, folder] {
      if (target == nullptr) return;
      if (folder.isEmpty()) {
        target->reject();
        return;
      }
      target->setDirectory(folder);
      QMetaObject::invokeMethod(target, "accept");
    });
    return;
  }
  if (auto* sheet = dynamic_cast<applet::ConfigSheet*>(front)) {
    if (m_sheetSeen) return;
    m_sheetSeen = true;
    m_handled.emplace_back(sheet);
    auto action = m_sheetAction;
    QPointer<applet::ConfigSheet> target(sheet);
    QTimer::singleShot(0, sheet, [target, action] {
      if (target == nullptr) return;
      if (action)
        action(*target);
      else
        target->reject();
    });
  }
}

void ClickOk(applet::ConfigSheet& sheet) {
  sheet.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
}

void ClickCancel(applet::ConfigSheet& sheet) {
  sheet.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
}

}  // namespace faxmail::test
