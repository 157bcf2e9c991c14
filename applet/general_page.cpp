#include "applet/general_page.h"

#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QValidator>
#include <charconv>
#include <cstdint>
#include <limits>

#include "applet/ipv4_edit.h"
#include "common/path_utils.h"

namespace faxmail::applet {
namespace {

constexpr char kParseIntegerText[] = "Please enter an integer.";

enum Field { kDomain, kDns, kData, kRx, kTx, kFrom };

// A text field takes no more bytes of UTF-8 than its setting can hold.
class SettingTextValidator : public QValidator {
 public:
  SettingTextValidator(std::size_t limit, QObject* parent) : QValidator(parent), m_limit(limit) {}
  State validate(QString& input, int&) const override {
    return static_cast<std::size_t>(input.toUtf8().size()) <= m_limit ? Acceptable : Invalid;
  }

 private:
  std::size_t m_limit;
};

QLineEdit* TextField(QWidget* parent, const char* name, std::size_t limit) {
  auto* field = new QLineEdit(parent);
  field->setObjectName(QLatin1String(name));
  field->setMaxLength(static_cast<int>(limit));
  field->setValidator(new SettingTextValidator(limit, field));
  return field;
}

// An integer as the page reads it: blanks around it, an optional sign, digits. Negative
// numbers and those up to 2^32 - 1 are taken as the 32-bit value they stand for.
bool ParseInteger(const QString& text, std::uint32_t& out) {
  const std::string s = text.trimmed().toStdString();
  std::int64_t value = 0;
  const char* begin = s.data();
  const char* end = s.data() + s.size();
  if (begin != end && *begin == '+') ++begin;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end || begin == end) return false;
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::uint32_t>::max())
    return false;
  out = static_cast<std::uint32_t>(value);
  return true;
}

QString FromBytes(const std::string& text) { return QString::fromUtf8(text); }

}  // namespace

CStandardOptionsDlg::CStandardOptionsDlg(const CSMTPRegistrySettings* record, QWidget* parent)
    : QWidget(parent), m_record(record), m_context(this) {
  setObjectName(QStringLiteral("general"));
  m_domainName = TextField(this, "domainName", kMaxGatewayPathText);
  m_dnsServer = new Ipv4AddressEdit(this);
  m_dnsServer->setObjectName(QStringLiteral("dnsServer"));
  m_dataDirectory = TextField(this, "dataDirectory", kMaxGatewayPathText);
  m_browse = new QPushButton(QStringLiteral("..."), this);
  m_browse->setObjectName(QStringLiteral("browse"));
  m_browse->setAutoDefault(false);
  m_browse->setMaximumWidth(m_browse->fontMetrics().horizontalAdvance(QStringLiteral("....")) + 24);
  m_receivePort = new QLineEdit(this);
  m_receivePort->setObjectName(QStringLiteral("receivePort"));
  m_sendPort = new QLineEdit(this);
  m_sendPort->setObjectName(QStringLiteral("sendPort"));
  m_receiptFrom = TextField(this, "receiptFrom", kMaxSettingText);

  auto* form = new QFormLayout(this);
  auto row = [this, form](const char* label, QWidget* field, QWidget* buddy) {
    auto* text = new QLabel(QLatin1String(label), this);
    text->setBuddy(buddy);
    form->addRow(text, field);
  };
  auto* dataRow = new QWidget(this);
  auto* dataLayout = new QHBoxLayout(dataRow);
  dataLayout->setContentsMargins(0, 0, 0, 0);
  dataLayout->addWidget(m_dataDirectory, 1);
  dataLayout->addWidget(m_browse);
  row("Domain &name", m_domainName, m_domainName);
  row("DNS &server", m_dnsServer, m_dnsServer->FirstField());
  row("Data &directory", dataRow, m_dataDirectory);
  row("&Receive port", m_receivePort, m_receivePort);
  row("S&end port", m_sendPort, m_sendPort);
  row("R&eceipt 'FROM'", m_receiptFrom, m_receiptFrom);

  connect(m_browse, &QPushButton::clicked, this, [this] { Browse(); });
  m_values = GeneralFromRecord(*m_record);
  FillControls();
}

void CStandardOptionsDlg::FillControls() {
  m_domainName->setText(FromBytes(m_values.domainName));
  m_dnsUnshowable =
      !m_dnsServer->SetAddress(FromBytes(m_values.dnsServer)) && !m_values.dnsServer.empty();
  m_dataDirectory->setText(FromBytes(m_values.programPath));
  m_receivePort->setText(QString::number(m_values.rxPort));
  m_sendPort->setText(QString::number(m_values.txPort));
  m_receiptFrom->setText(FromBytes(m_values.mailFrom));
  m_filledValues = m_values;
  m_filled[kDomain] = m_domainName->text();
  m_filled[kDns] = m_dnsServer->Address();
  m_filled[kData] = m_dataDirectory->text();
  m_filled[kRx] = m_receivePort->text();
  m_filled[kTx] = m_sendPort->text();
  m_filled[kFrom] = m_receiptFrom->text();
}

bool CStandardOptionsDlg::TakeFromControls() {
  const auto text = [this](Field field, const QString& shown, const std::string& filled) {
    return shown == m_filled[field] ? filled : shown.toStdString();
  };
  const auto number = [this](Field field, QLineEdit* edit, std::uint32_t filled,
                             std::uint32_t& out) {
    if (edit->text() == m_filled[field]) {
      out = filled;
      return true;
    }
    if (ParseInteger(edit->text(), out)) return true;
    QMessageBox::warning(this, QString::fromUtf8(MessageText(kMsgCaption).data()),
                         QLatin1String(kParseIntegerText));
    edit->setFocus();
    edit->selectAll();
    return false;
  };
  GeneralValues values;
  if (!number(kRx, m_receivePort, m_filledValues.rxPort, values.rxPort) ||
      !number(kTx, m_sendPort, m_filledValues.txPort, values.txPort))
    return false;
  values.domainName = text(kDomain, m_domainName->text(), m_filledValues.domainName);
  // An address the input could not show stays as it was stored until one is typed.
  values.dnsServer = m_dnsUnshowable && m_dnsServer->Address() == m_filled[kDns]
                         ? m_filledValues.dnsServer
                         : m_dnsServer->Address().toStdString();
  values.programPath = text(kData, m_dataDirectory->text(), m_filledValues.programPath);
  values.mailFrom = text(kFrom, m_receiptFrom->text(), m_filledValues.mailFrom);
  m_values = values;
  return true;
}

void CStandardOptionsDlg::Browse() {
  if (!TakeFromControls()) return;
  std::string start = m_values.programPath;
  StripTrailingSeparator(start);
  QFileDialog picker(this, QString::fromUtf8(MessageText(kMsgSelectDataDirectory).data()),
                     QString::fromStdString(start));
  picker.setObjectName(QStringLiteral("dataDirectoryPicker"));
  picker.setFileMode(QFileDialog::Directory);
  picker.setOption(QFileDialog::ShowDirsOnly, true);
  if (picker.exec() != QDialog::Accepted || picker.selectedFiles().isEmpty()) return;
  std::string chosen = picker.selectedFiles().front().toStdString();
  AppendTrailingSeparator(chosen);
  m_values.programPath = chosen;
  m_dataDirectory->setText(QString::fromStdString(chosen));
}

void CStandardOptionsDlg::OnOK() {
  if (!TakeFromControls()) return;
  OkGeneral(m_context, m_values, *m_record);
}

}  // namespace faxmail::applet
