// The sheet "Corvane SMTP Server Configuration": the "General" page, and the "Advanced" page
// when the record's advanced options are on, with OK, Cancel and Help. OK runs the OK of every
// page that has been shown, "General" first, then closes the sheet; Cancel saves nothing. A
// page whose values cannot be taken from its controls can be neither left nor closed with OK.
// GUI thread only; the record must outlive the sheet.
#pragma once

#include <QDialog>

#include "applet/registry_settings.h"

class QTabWidget;

namespace faxmail::applet {

class CAdvancedOptionsDlg;
class CStandardOptionsDlg;

inline constexpr char kSheetTitle[] = "Corvane SMTP Server Configuration";

class ConfigSheet : public QDialog {
 public:
  explicit ConfigSheet(const CSMTPRegistrySettings* record, QWidget* parent = nullptr);

  CStandardOptionsDlg* General() const { return m_general; }
  CAdvancedOptionsDlg* Advanced() const { return m_advanced; }  // null when not added

 private:
  void OnPageChange(int index);
  void OnOk();
  bool LeaveCurrentPage();

  QTabWidget* m_tabs = nullptr;
  CStandardOptionsDlg* m_general = nullptr;
  CAdvancedOptionsDlg* m_advanced = nullptr;
  int m_current = 0;
  bool m_advancedShown = false;
};

// Builds the record, loads it, runs the sheet modally and destroys all of it.
void RunConfigSheet();

}  // namespace faxmail::applet
