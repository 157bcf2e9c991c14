// CAdvancedOptionsDlg, the "Advanced" page: when notifications are mailed, their subject line,
// and whether the fax image goes with them. The subject and image choices are open only while
// at least one notification is chosen. GUI thread only.
#pragma once

#include <QWidget>

#include "applet/qt_prompter.h"
#include "applet/registry_settings.h"
#include "applet/settings_save.h"

class QCheckBox;
class QRadioButton;

namespace faxmail::applet {

class CAdvancedOptionsDlg : public QWidget {
 public:
  CAdvancedOptionsDlg(const CSMTPRegistrySettings* record, QWidget* parent = nullptr);

  void TakeFromControls();
  // OK on the sheet: saves what changed (see OkAdvanced).
  void OnOK();

  const AdvancedValues& Values() const { return m_values; }

 private:
  void FillControls();
  void ApplyEnabling();

  const CSMTPRegistrySettings* m_record;
  QtPageContext m_context;
  std::uint32_t m_advanced = 1;
  AdvancedValues m_values;
  // What FillControls showed; a control still showing it keeps the stored number (a value such
  // as 2 shows as checked and must not come back as 1 unless the box is clicked).
  AdvancedValues m_filledValues;
  AdvancedValues m_filledStates;
  QCheckBox* m_success = nullptr;
  QCheckBox* m_failure = nullptr;
  QRadioButton* m_subjectMessage = nullptr;
  QRadioButton* m_subjectOriginal = nullptr;
  QCheckBox* m_includeTiff = nullptr;
};

}  // namespace faxmail::applet
