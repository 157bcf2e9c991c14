// An IPv4 address input of four fields of 0 to 255, as administrators know it: a dot or a
// third digit moves to the next field, Backspace in an empty field back to the one before.
// A blank field reads as 0, so a blank input reads as "0.0.0.0". Used on the GUI thread.
#pragma once

#include <QString>
#include <QWidget>
#include <array>

class QLineEdit;

namespace faxmail::applet {

class Ipv4AddressEdit : public QWidget {
 public:
  explicit Ipv4AddressEdit(QWidget* parent = nullptr);

  // Shows a dotted address; false (and the input blank) for a text that is none.
  bool SetAddress(const QString& dotted);
  // The dotted address shown, blanks read as 0.
  QString Address() const;
  bool IsBlank() const;
  // The first field, for the label's access key.
  QLineEdit* FirstField() const { return m_fields.front(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  int IndexOf(const QObject* field) const;
  void Focus(int index);

  std::array<QLineEdit*, 4> m_fields{};
};

}  // namespace faxmail::applet
