#include "applet/ipv4_edit.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <QValidator>

namespace faxmail::applet {
namespace {

constexpr int kOctetDigits = 3;
constexpr int kOctetMax = 255;

// Digits only, at most three, at most 255: anything else never enters a field.
class OctetValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    if (input.isEmpty()) return Acceptable;
    if (input.size() > kOctetDigits) return Invalid;
    for (const QChar c : input)
      if (!c.isDigit() || c.unicode() > '9') return Invalid;
    return input.toInt() <= kOctetMax ? Acceptable : Invalid;
  }
};

}  // namespace

Ipv4AddressEdit::Ipv4AddressEdit(QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  auto* validator = new OctetValidator(this);
  for (std::size_t i = 0; i < m_fields.size(); ++i) {
    if (i > 0) layout->addWidget(new QLabel(QStringLiteral("."), this));
    auto* field = new QLineEdit(this);
    field->setObjectName(QStringLiteral("octet%1").arg(i + 1));
    field->setValidator(validator);
    field->setMaxLength(kOctetDigits);
    field->setAlignment(Qt::AlignCenter);
    field->setFixedWidth(field->fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 12);
    field->installEventFilter(this);
    connect(field, &QLineEdit::textEdited, this, [this, i](const QString& text) {
      if (text.size() == kOctetDigits && i + 1 < m_fields.size()) Focus(static_cast<int>(i + 1));
    });
    layout->addWidget(field);
    m_fields[i] = field;
  }
  layout->addStretch(1);
  setFocusProxy(m_fields.front());
}

bool Ipv4AddressEdit::SetAddress(const QString& dotted) {
  const QStringList parts = dotted.split(QLatin1Char('.'));
  bool valid = parts.size() == static_cast<int>(m_fields.size());
  for (int i = 0; valid && i < parts.size(); ++i) {
    QString part = parts[i];
    int pos = 0;
    valid = !part.isEmpty() && OctetValidator().validate(part, pos) == QValidator::Acceptable;
  }
  for (std::size_t i = 0; i < m_fields.size(); ++i)
    m_fields[i]->setText(valid ? QString::number(parts[static_cast<int>(i)].toInt()) : QString());
  if (valid && Address() == QLatin1String("0.0.0.0"))
    for (QLineEdit* field : m_fields) field->clear();
  return valid;
}

QString Ipv4AddressEdit::Address() const {
  QStringList parts;
  for (const QLineEdit* field : m_fields)
    parts << QString::number(field->text().isEmpty() ? 0 : field->text().toInt());
  return parts.join(QLatin1Char('.'));
}

bool Ipv4AddressEdit::IsBlank() const {
  for (const QLineEdit* field : m_fields)
    if (!field->text().isEmpty()) return false;
  return true;
}

int Ipv4AddressEdit::IndexOf(const QObject* field) const {
  for (std::size_t i = 0; i < m_fields.size(); ++i)
    if (m_fields[i] == field) return static_cast<int>(i);
  return -1;
}

void Ipv4AddressEdit::Focus(int index) {
  QLineEdit* field = m_fields[static_cast<std::size_t>(index)];
  field->setFocus();
  field->selectAll();
}

bool Ipv4AddressEdit::eventFilter(QObject* watched, QEvent* event) {
  const int index = IndexOf(watched);
  if (index >= 0 && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const QLineEdit* field = m_fields[static_cast<std::size_t>(index)];
    if ((key->key() == Qt::Key_Period || key->key() == Qt::Key_Space) &&
        index + 1 < static_cast<int>(m_fields.size())) {
      if (!field->text().isEmpty()) Focus(index + 1);
      return true;
    }
    if (key->key() == Qt::Key_Backspace && field->cursorPosition() == 0 &&
        !field->hasSelectedText() && index > 0) {
      Focus(index - 1);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace faxmail::applet
