#include "applet/advanced_page.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

namespace faxmail::applet {
namespace {

// The subject choice shown: 0 or 1, or kNoChoice when the stored number is neither.
constexpr std::uint32_t kNoChoice = 0xFFFFFFFF;

std::uint32_t Checked(const QCheckBox* box) { return box->isChecked() ? 1 : 0; }

}  // namespace

CAdvancedOptionsDlg::CAdvancedOptionsDlg(const CSMTPRegistrySettings* record, QWidget* parent)
    : QWidget(parent), m_record(record), m_context(this) {
  setObjectName(QStringLiteral("advanced"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("Send Notification On:"), this));
  m_success = new QCheckBox(QStringLiteral("Email Success"), this);
  m_success->setObjectName(QStringLiteral("emailSuccess"));
  m_failure = new QCheckBox(QStringLiteral("Email Failure"), this);
  m_failure->setObjectName(QStringLiteral("emailFailure"));
  layout->addWidget(m_success);
  layout->addWidget(m_failure);
  layout->addSpacing(8);
  layout->addWidget(new QLabel(QStringLiteral("Notification Subject Line:"), this));
  m_subjectMessage = new QRadioButton(QStringLiteral("Success/Failure Message"), this);
  m_subjectMessage->setObjectName(QStringLiteral("subjectMessage"));
  m_subjectOriginal =
      new QRadioButton(QStringLiteral("Success/Failure Message and Original Subject Line"), this);
  m_subjectOriginal->setObjectName(QStringLiteral("subjectOriginal"));
  auto* group = new QButtonGroup(this);
  group->addButton(m_subjectMessage, 0);
  group->addButton(m_subjectOriginal, 1);
  layout->addWidget(m_subjectMessage);
  layout->addWidget(m_subjectOriginal);
  layout->addSpacing(8);
  m_includeTiff = new QCheckBox(QStringLiteral("Include TIFF attachment in notification"), this);
  m_includeTiff->setObjectName(QStringLiteral("includeTiff"));
  layout->addWidget(m_includeTiff);
  layout->addStretch(1);

  connect(m_success, &QCheckBox::clicked, this, [this] { ApplyEnabling(); });
  connect(m_failure, &QCheckBox::clicked, this, [this] { ApplyEnabling(); });
  m_advanced = m_record->advancedOptions;
  m_values = AdvancedFromRecord(*m_record);
  FillControls();
}

void CAdvancedOptionsDlg::FillControls() {
  m_success->setChecked(m_values.notifyOnSuccess != 0);
  m_failure->setChecked(m_values.notifyOnFailure != 0);
  // Neither option is chosen for a stored number other than 0 and 1.
  m_subjectMessage->group()->setExclusive(false);
  m_subjectMessage->setChecked(m_values.subjectLine == 0);
  m_subjectOriginal->setChecked(m_values.subjectLine == 1);
  m_subjectMessage->group()->setExclusive(true);
  m_includeTiff->setChecked(m_values.includeTiff != 0);
  m_filledValues = m_values;
  m_filledStates = {Checked(m_success), Checked(m_failure),
                    m_values.subjectLine <= 1 ? m_values.subjectLine : kNoChoice,
                    Checked(m_includeTiff)};
  ApplyEnabling();
}

void CAdvancedOptionsDlg::ApplyEnabling() {
  const bool notifying = m_success->isChecked() || m_failure->isChecked();
  m_subjectMessage->setEnabled(notifying);
  m_subjectOriginal->setEnabled(notifying);
  m_includeTiff->setEnabled(notifying);
}

void CAdvancedOptionsDlg::TakeFromControls() {
  const auto keep = [](std::uint32_t shown, std::uint32_t filledState, std::uint32_t filled) {
    return shown == filledState ? filled : shown;
  };
  const std::uint32_t subject = m_subjectMessage->isChecked()    ? 0
                                : m_subjectOriginal->isChecked() ? 1
                                                                 : kNoChoice;
  m_values.notifyOnSuccess =
      keep(Checked(m_success), m_filledStates.notifyOnSuccess, m_filledValues.notifyOnSuccess);
  m_values.notifyOnFailure =
      keep(Checked(m_failure), m_filledStates.notifyOnFailure, m_filledValues.notifyOnFailure);
  m_values.subjectLine = keep(subject, m_filledStates.subjectLine, m_filledValues.subjectLine);
  m_values.includeTiff =
      keep(Checked(m_includeTiff), m_filledStates.includeTiff, m_filledValues.includeTiff);
}

void CAdvancedOptionsDlg::OnOK() {
  TakeFromControls();
  OkAdvanced(m_context, m_values, *m_record);
}

}  // namespace faxmail::applet
