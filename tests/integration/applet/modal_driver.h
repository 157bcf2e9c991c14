// Answers the applet's modal windows in the administrator's place: the sheet gets the test's
// actions when it shows, each message box is recorded and answered in turn, the folder picker
// is given a folder. A poll timer on the GUI thread finds the window in front; actions run
// from a zero timer of their own, so that a window they open (a box behind OK) is answered
// while they wait for it.
#pragma once

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <string>
#include <vector>

class QFileDialog;
class QWidget;

namespace faxmail::applet {
class ConfigSheet;
}

namespace faxmail::test {

struct RecordedBox {
  QString caption;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  bool owned = false;
  // The cursor the application had put over its windows when the box came (-1: none).
  int overrideCursor = -1;
};

class ModalDriver {
 public:
  ModalDriver();
  ~ModalDriver();

  // Runs once, when the sheet is first in front; it should end with OK or Cancel.
  void OnSheet(std::function<void(applet::ConfigSheet&)> action);
  // Answers for the next boxes, in order; boxes beyond them get OK or No.
  void Answer(std::vector<QMessageBox::StandardButton> answers);
  // The folder the picker is given (empty: the picker is cancelled).
  void PickFolder(const QString& folder) { m_folder = folder; }
  // A box's picture is saved to this file before it is answered (the first box only).
  void ScreenshotFirstBox(const std::string& path) { m_boxShot = path; }

  const std::vector<RecordedBox>& Boxes() const { return m_boxes; }
  int PickerShown() const { return m_pickers; }
  // The picker's title and the folder it opened on.
  QString PickerTitle() const { return m_pickerTitle; }
  QString PickerStart() const { return m_pickerStart; }
  // True when the sheet's action ran.
  bool SheetSeen() const { return m_sheetSeen; }
  // The texts of the boxes, one per line, for failure messages.
  std::string Transcript() const;

 private:
  void Poll();

  QTimer m_timer;
  std::function<void(applet::ConfigSheet&)> m_sheetAction;
  std::deque<QMessageBox::StandardButton> m_answers;
  std::vector<RecordedBox> m_boxes;
  std::vector<QPointer<QWidget>> m_handled;
  QString m_folder;
  std::string m_boxShot;
  int m_pickers = 0;
  QString m_pickerTitle;
  QString m_pickerStart;
  bool m_sheetSeen = false;
  int m_polls = 0;
};

// The sheet's controls by name.
template <typename T>
T* Control(QWidget& parent, const char* name) {
  T* control = parent.findChild<T*>(QString::fromLatin1(name));
  if (control == nullptr) ADD_FAILURE() << "no control " << name;
  return control;
}

void ClickOk(applet::ConfigSheet& sheet);
void ClickCancel(applet::ConfigSheet& sheet);

}  // namespace faxmail::test
