#include "applet/config_sheet.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>

#include "applet/advanced_page.h"
#include "applet/general_page.h"
#include "applet/help.h"
#include "applet/qt_prompter.h"

namespace faxmail::applet {

ConfigSheet::ConfigSheet(const CSMTPRegistrySettings* record, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("configSheet"));
  setWindowTitle(QLatin1String(kSheetTitle));
  auto* layout = new QVBoxLayout(this);
  m_tabs = new QTabWidget(this);
  m_general = new CStandardOptionsDlg(record, m_tabs);
  m_tabs->addTab(m_general, QStringLiteral("General"));
  if (record->advancedOptions != 0) {
    m_advanced = new CAdvancedOptionsDlg(record, m_tabs);
    m_tabs->addTab(m_advanced, QStringLiteral("Advanced"));
  }
  layout->addWidget(m_tabs);
  auto* buttons = new QDialogButtonBox(
      QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
  buttons->setObjectName(QStringLiteral("buttons"));
  layout->addWidget(buttons);
  connect(m_tabs, &QTabWidget::currentChanged, this, [this](int index) { OnPageChange(index); });
  connect(buttons, &QDialogButtonBox::accepted, this, [this] { OnOk(); });
  connect(buttons, &QDialogButtonBox::rejected, this, [this] { reject(); });
  connect(buttons, &QDialogButtonBox::helpRequested, this, [this] {
    OpenHelp(this,
             m_tabs->currentWidget() == m_advanced ? HelpTopic::Advanced : HelpTopic::General);
  });
}

bool ConfigSheet::LeaveCurrentPage() {
  return m_tabs->widget(m_current) != m_general || m_general->TakeFromControls();
}

void ConfigSheet::OnPageChange(int index) {
  if (index == m_current) return;
  {
    // The page stays in front until its values could be taken.
    const QSignalBlocker blocker(m_tabs);
    m_tabs->setCurrentIndex(m_current);
  }
  if (!LeaveCurrentPage()) return;
  {
    const QSignalBlocker blocker(m_tabs);
    m_tabs->setCurrentIndex(index);
  }
  m_current = index;
  if (m_tabs->widget(index) == m_advanced) m_advancedShown = true;
}

void ConfigSheet::OnOk() {
  if (!LeaveCurrentPage()) return;
  m_general->OnOK();
  if (m_advanced && m_advancedShown) m_advanced->OnOK();
  accept();
}

void RunConfigSheet() {
  CSMTPRegistrySettings record;
  QtPrompter prompter;
  record.Load(prompter);
  ConfigSheet sheet(&record);
  sheet.exec();
}

}  // namespace faxmail::applet
