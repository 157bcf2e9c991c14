// CStandardOptionsDlg, the "General" page: domain name, DNS server, data directory (with a
// folder picker), receive and send ports, and the receipt sender. It keeps its own copies of
// the six values and points at the settings record, which it does not own. GUI thread only.
#pragma once

#include <QWidget>

#include "applet/qt_prompter.h"
#include "applet/registry_settings.h"
#include "applet/settings_save.h"

class QLineEdit;
class QPushButton;

namespace faxmail::applet {

class Ipv4AddressEdit;

class CStandardOptionsDlg : public QWidget {
 public:
  CStandardOptionsDlg(const CSMTPRegistrySettings* record, QWidget* parent = nullptr);

  // Takes the values from the controls. A port text that is not an integer is told ("Please
  // enter an integer.") and gets the focus: false, and the page may not be left.
  bool TakeFromControls();
  // OK on the sheet: saves what changed (see OkGeneral).
  void OnOK();

  const GeneralValues& Values() const { return m_values; }

 private:
  void FillControls();
  void Browse();

  const CSMTPRegistrySettings* m_record;
  QtPageContext m_context;
  GeneralValues m_values;
  // What FillControls put into each control: a control still showing it keeps the page's value
  // byte for byte (a text that is not UTF-8, an address the input cannot show).
  GeneralValues m_filledValues;
  QString m_filled[6];
  bool m_dnsUnshowable = false;
  QLineEdit* m_domainName = nullptr;
  Ipv4AddressEdit* m_dnsServer = nullptr;
  QLineEdit* m_dataDirectory = nullptr;
  QPushButton* m_browse = nullptr;
  QLineEdit* m_receivePort = nullptr;
  QLineEdit* m_sendPort = nullptr;
  QLineEdit* m_receiptFrom = nullptr;
};

}  // namespace faxmail::applet
