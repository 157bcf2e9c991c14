// The configuration sheet on the offscreen platform: which pages it shows, what OK writes
// into the gateway's key and what it leaves alone, the checks of its fields, and how it stops
// and starts the gateway's service around a save.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTextBrowser>
#include <QDesktopServices>
#include <QUrl>

#include "applet/advanced_page.h"
#include "applet/config_sheet.h"
#include "applet/general_page.h"
#include "applet/help.h"
#include "applet/messages.h"
#include "applet/service_ops.h"
#include "platform/eventlog.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/win_error.h"
#include "tests/integration/applet/applet_fixture.h"
#include "tests/support/test_support.h"

namespace faxmail::test {
namespace {

using applet::ConfigSheet;
using applet::kGatewayServiceName;

constexpr char kCaption[] = "Corvane SMTP Server";
const QString kRestartQuestion =
    QString::fromLatin1(applet::MessageText(applet::kMsgRestartQuestion).data());

QString Msg(int id) { return QString::fromLatin1(applet::MessageText(id).data()); }

std::string ScreenshotDir() {
  const std::string dir = faxmail::test::BinaryDir() + "/screenshots";
  QDir().mkpath(QString::fromStdString(dir));
  return dir;
}

// Types into the DNS server's four fields (empty parts leave a field blank).
void SetAddress(ConfigSheet& sheet, const QStringList& parts) {
  for (int i = 0; i < 4; ++i)
    Control<QLineEdit>(sheet, QStringLiteral("octet%1").arg(i + 1).toLatin1().constData())
        ->setText(parts.value(i));
}

std::vector<QString> Texts(const std::vector<RecordedBox>& boxes) {
  std::vector<QString> texts;
  for (const RecordedBox& box : boxes) texts.push_back(box.text);
  return texts;
}

int CountEvents(std::uint32_t id) {
  std::vector<platform::EventRecord> events;
  platform::ReadEventLog(events);
  int count = 0;
  for (const auto& event : events)
    if (event.eventId == id && event.source == kCaption) ++count;
  return count;
}

using SheetTest = AppletTest;

TEST_F(SheetTest, PagesFollowAdvancedOptions) {
  struct Case {
    std::optional<std::uint32_t> advanced;
    QStringList tabs;
  };
  const Case cases[] = {
      {std::nullopt, {"General"}},
      {0, {"General"}},
      {1, {"General", "Advanced"}},
      {7, {"General", "Advanced"}},
  };
  for (const Case& c : cases) {
    WriteSettings(c.advanced);  // the absent case comes first
    ModalDriver driver;
    QStringList seen;
    QString title;
    driver.OnSheet([&](ConfigSheet& sheet) {
      title = sheet.windowTitle();
      auto* tabs = sheet.findChild<QTabWidget*>();
      for (int i = 0; i < tabs->count(); ++i) seen << tabs->tabText(i);
      auto* buttons = sheet.findChild<QDialogButtonBox*>();
      EXPECT_TRUE(buttons->button(QDialogButtonBox::Ok));
      EXPECT_TRUE(buttons->button(QDialogButtonBox::Cancel));
      EXPECT_TRUE(buttons->button(QDialogButtonBox::Help));
      EXPECT_FALSE(buttons->button(QDialogButtonBox::Apply));
      ClickCancel(sheet);
    });
    RunSheet(driver);
    EXPECT_EQ(title, "Corvane SMTP Server Configuration");
    EXPECT_EQ(seen, c.tabs) << (c.advanced ? *c.advanced : 99);
    EXPECT_TRUE(driver.Boxes().empty()) << driver.Transcript();
  }
}

TEST_F(SheetTest, LabelsAccessKeysAndValuesShown) {
  WriteSettings(1);
  SetNumber("NotifyOnSuccess", 0);
  SetNumber("SubjectLine", 1);
  ModalDriver driver;
  driver.OnSheet([&](ConfigSheet& sheet) {
    QStringList labels;
    for (QLabel* label : sheet.General()->findChildren<QLabel*>())
      if (label->text() != ".") labels << label->text();
    EXPECT_EQ(labels, QStringList({"Domain &name", "DNS &server", "Data &directory",
                                   "&Receive port", "S&end port", "R&eceipt 'FROM'"}));
    EXPECT_EQ(Control<QLineEdit>(sheet, "domainName")->text(), "fax.example.org");
    EXPECT_EQ(Control<QLineEdit>(sheet, "octet1")->text(), "127");
    EXPECT_EQ(Control<QLineEdit>(sheet, "octet4")->text(), "53");
    EXPECT_EQ(Control<QLineEdit>(sheet, "dataDirectory")->text(),
              QString::fromStdString(DataDir()));
    EXPECT_EQ(Control<QLineEdit>(sheet, "receivePort")->text(), "2525");
    EXPECT_EQ(Control<QLineEdit>(sheet, "sendPort")->text(), "25");
    EXPECT_EQ(Control<QLineEdit>(sheet, "receiptFrom")->text(), "faxmaster@example.org");
    EXPECT_EQ(Control<QPushButton>(sheet, "browse")->text(), "...");
    // A text takes what its setting holds: 259 bytes, and 79 where the gateway takes no more.
    QLineEdit* from = Control<QLineEdit>(sheet, "receiptFrom");
    EXPECT_EQ(from->maxLength(), 259);
    EXPECT_EQ(Control<QLineEdit>(sheet, "domainName")->maxLength(), 79);
    EXPECT_EQ(Control<QLineEdit>(sheet, "dataDirectory")->maxLength(), 79);
    from->clear();
    QTest::keyClicks(from, QString(300, QChar('x')));
    EXPECT_EQ(from->text().size(), 259);
    from->clear();
    for (int i = 0; i < 200; ++i) from->insert(QString(QChar(0xE9)));  // two bytes each
    EXPECT_EQ(from->text().toUtf8().size(), 258);
    from->setText(QStringLiteral("faxmaster@example.org"));

    QStringList advanced;
    for (QWidget* w : sheet.Advanced()->findChildren<QWidget*>()) {
      if (auto* label = dynamic_cast<QLabel*>(w)) advanced << label->text();
      if (auto* button = dynamic_cast<QAbstractButton*>(w)) advanced << button->text();
    }
    EXPECT_EQ(advanced, QStringList({"Send Notification On:", "Email Success", "Email Failure",
                                     "Notification Subject Line:", "Success/Failure Message",
                                     "Success/Failure Message and Original Subject Line",
                                     "Include TIFF attachment in notification"}));
    EXPECT_FALSE(Control<QCheckBox>(sheet, "emailSuccess")->isChecked());
    EXPECT_TRUE(Control<QCheckBox>(sheet, "emailFailure")->isChecked());
    EXPECT_TRUE(Control<QRadioButton>(sheet, "subjectOriginal")->isChecked());
    EXPECT_TRUE(Control<QCheckBox>(sheet, "includeTiff")->isChecked());

    sheet.resize(520, 330);
    sheet.grab().save(QString::fromStdString(ScreenshotDir() + "/sheet-general.png"));
    sheet.findChild<QTabWidget*>()->setCurrentIndex(1);
    sheet.grab().save(QString::fromStdString(ScreenshotDir() + "/sheet-advanced.png"));
    ClickCancel(sheet);
  });
  RunSheet(driver);
  for (const char* name : {"sheet-general.png", "sheet-advanced.png"}) {
    const QImage picture(QString::fromStdString(ScreenshotDir() + "/" + name));
    EXPECT_FALSE(picture.isNull()) << name;
    EXPECT_GE(picture.width(), 400) << name;
  }
}

TEST_F(SheetTest, LoadTellsMissingValuesWithoutOwner) {
  WriteSettings();
  for (const char* name : {"DomainName", "ProgramPath", "DNSName", "SmtpRxPort", "SmtpTxPort"})
    DeleteValue(name);
  // A text longer than the 260-byte buffer counts as missing too.
  SetText("MailFrom", std::string(300, 'm'));
  ModalDriver driver;
  driver.OnSheet([](ConfigSheet& sheet) {
    EXPECT_EQ(Control<QLineEdit>(sheet, "receiptFrom")->text(), "");
    ClickCancel(sheet);
  });
  RunSheet(driver);
  EXPECT_EQ(Texts(driver.Boxes()),
            std::vector<QString>({Msg(1), Msg(2), Msg(3), Msg(15), Msg(16)}));
  for (const RecordedBox& box : driver.Boxes()) {
    EXPECT_EQ(box.caption, kCaption);
    EXPECT_FALSE(box.owned);
    EXPECT_EQ(box.buttons, QMessageBox::Ok);
  }
}

TEST_F(SheetTest, MissingKeyIsToldAndTheSheetStillShows) {
  ModalDriver driver;
  driver.OnSheet([](ConfigSheet& sheet) { ClickCancel(sheet); });
  RunSheet(driver);
  ASSERT_EQ(driver.Boxes().size(), 1u);
  EXPECT_TRUE(driver.Boxes()[0].text.contains("could not be opened")) << driver.Transcript();
  EXPECT_EQ(driver.Boxes()[0].icon, QMessageBox::Critical);
}

TEST_F(SheetTest, OkWithoutChangesWritesNothingAndLeavesTheService) {
  WriteSettings(1);
  InstallServices();
  const std::string hive = Hive();
  const std::vector<std::string> log = ServiceLog();
  ModalDriver driver;
  driver.OnSheet([](ConfigSheet& sheet) {
    sheet.findChild<QTabWidget*>()->setCurrentIndex(1);  // both pages shown
    ClickOk(sheet);
  });
  RunSheet(driver);
  EXPECT_TRUE(driver.Boxes().empty()) << driver.Transcript();
  EXPECT_EQ(Hive(), hive);
  EXPECT_EQ(ServiceLog(), log);
  EXPECT_EQ(State(kGatewayServiceName), platform::kServiceRunning);
  EXPECT_EQ(CountEvents(436), 0);
}

TEST_F(SheetTest, HelpOpensThePageAtTheTopicInFront) {
  WriteSettings(1);
  // The browser stands in for the desktop's: it is handed each URL opened.
  QTextBrowser browser;
  QDesktopServices::setUrlHandler(QStringLiteral("file"), &browser, "setSource");
  QStringList opened;
  ModalDriver driver;
  driver.OnSheet([&](ConfigSheet& sheet) {
    auto* help = sheet.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Help);
    help->click();
    opened << browser.source().toString();
    sheet.findChild<QTabWidget*>()->setCurrentIndex(1);
    help->click();
    opened << browser.source().toString();
    ClickCancel(sheet);
  });
  RunSheet(driver);
  QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
  const QString page =
      QUrl::fromLocalFile(QString::fromStdString(applet::HelpFilePath())).toString();
  EXPECT_EQ(opened, QStringList({page + "#general", page + "#advanced"}));
  EXPECT_TRUE(driver.Boxes().empty()) << driver.Transcript();
  EXPECT_TRUE(browser.toPlainText().contains("Data directory"));
}

TEST_F(SheetTest, HelpPageHasEveryTopic) {
  const std::string page = ReadWholeFile(applet::HelpFilePath());
  for (const char* id : {"general", "advanced", "domain-name", "dns-server", "data-directory",
                         "receive-port", "send-port", "receipt-from", "email-success",
                         "email-failure", "subject-line", "include-tiff"})
    EXPECT_NE(page.find("id=\"" + std::string(id) + "\""), std::string::npos) << id;
}

// The page beside the applet (a build tree) wins over the installed one in share/faxmail/ of
// the prefix above lib/faxmail/; with neither, the path named is the one beside it.
TEST_F(SheetTest, HelpPageIsBesideTheAppletElseInTheInstalledShareFolder) {
  const std::string lib = Root() + "/usr/lib/faxmail";
  const std::string beside = lib + "/faxmailcfg.html";
  const std::string installed = lib + "/../../share/faxmail/faxmailcfg.html";
  ASSERT_TRUE(platform::EnsureDirectories(lib));
  ASSERT_TRUE(platform::EnsureDirectories(Root() + "/usr/share/faxmail"));
  struct Row {
    bool besideExists;
    bool installedExists;
    std::string expected;
  };
  for (const Row& row : {Row{true, false, beside}, Row{false, true, installed},
                         Row{true, true, beside}, Row{false, false, beside}}) {
    platform::DeleteFile(beside);
    platform::DeleteFile(installed);
    if (row.besideExists) WriteWholeFile(beside, "<html></html>");
    if (row.installedExists) WriteWholeFile(installed, "<html></html>");
    EXPECT_EQ(applet::HelpFilePathFor(lib + "/libfaxmailcfg.so"), row.expected)
        << "beside " << row.besideExists << ", installed " << row.installedExists;
  }
  EXPECT_EQ(applet::HelpFilePathFor(""), "faxmailcfg.html");
}

TEST_F(SheetTest, MissingHelpPageIsOneBox) {
  ModalDriver driver;
  applet::OpenHelpPage(nullptr, Root() + "/faxmailcfg.html", applet::HelpTopic::General);
  ASSERT_EQ(driver.Boxes().size(), 1u) << driver.Transcript();
  EXPECT_TRUE(driver.Boxes()[0].text.contains("is missing")) << driver.Transcript();
}

TEST_F(SheetTest, CancelSavesNothing) {
  WriteSettings();
  const std::string hive = Hive();
  ModalDriver driver;
  driver.OnSheet([](ConfigSheet& sheet) {
    Control<QLineEdit>(sheet, "domainName")->setText("changed.example");
    ClickCancel(sheet);
  });
  RunSheet(driver);
  EXPECT_EQ(Hive(), hive);
}

// With the service installed and stopped, OK saves at once.
class StoppedServiceTest : public AppletTest {
 protected:
  void SetUp() override {
    AppletTest::SetUp();
    WriteSettings();
    InstallServices({}, false);
    platform::ScService service;
    platform::ServiceStatus status;
    ASSERT_EQ(platform::OpenService(m_manager, kGatewayServiceName, service), 0);
    ASSERT_EQ(platform::ControlService(service, platform::kServiceControlStop, status), 0);
    ASSERT_TRUE(WaitUntil([&] { return State(kGatewayServiceName) == platform::kServiceStopped; },
                          std::chrono::seconds(30)));
  }
};

TEST_F(StoppedServiceTest, DataDirectoryGetsSeparatorAndFolders) {
  TempDir other;
  ModalDriver driver;
  driver.OnSheet([&](ConfigSheet& sheet) {
    Control<QLineEdit>(sheet, "dataDirectory")->setText(QString::fromStdString(other.Path()));
    ClickOk(sheet);
  });
  RunSheet(driver);
  EXPECT_TRUE(driver.Boxes().empty()) << driver.Transcript();
  EXPECT_EQ(Text("ProgramPath"), other.Path() + "/");
  EXPECT_TRUE(platform::DirectoryExists(other / "OUT"));
  EXPECT_TRUE(platform::DirectoryExists(other / "IN"));
  EXPECT_EQ(CountEvents(436), 1);
  EXPECT_EQ(State(kGatewayServiceName), platform::kServiceStopped);  // not started by a save
}

TEST_F(StoppedServiceTest, RefusedDataDirectoryWritesNoValue) {
  struct Case {
    std::string folder;
    const char* why;
  };
  const Case cases[] = {
      {DataDir() + "missing", "does not exist"},
      {"", "empty"},
      {"/" + std::string(90, 'd'), "longer than the gateway takes"},
  };
  for (const Case& c : cases) {
    const std::string hive = Hive();
    ModalDriver driver;
    driver.OnSheet([&](ConfigSheet& sheet) {
      Control<QLineEdit>(sheet, "dataDirectory")->setText(QString::fromStdString(c.folder));
      Control<QLineEdit>(sheet, "domainName")->setText("other.example");
      ClickOk(sheet);
    });
    RunSheet(driver);
    // Message 6 alone: the refusal is the whole story, with no "not installed" after it.
    EXPECT_EQ(Texts(driver.Boxes()), std::vector<QString>({Msg(6)})) << c.why;
    EXPECT_EQ(Hive(), hive) << c.why;
    EXPECT_FALSE(platform::DirectoryExists(DataDir() + "missing/OUT"));
  }
  EXPECT_EQ(CountEvents(436), 0);
}

TEST_F(StoppedServiceTest, DnsAddressWrittenAsTyped) {
  struct Case {
    QStringList typed;
    std::string stored;
  };
  const Case cases[] = {
      {{"", "", "", ""}, ""},
      {{"0", "0", "0", "0"}, ""},
      {{"10", "1", "2", "3"}, "10.1.2.3"},
      {{"192", "168", "", "7"}, "192.168.0.7"},
  };
  for (const Case& c : cases) {
    ModalDriver driver;
    driver.OnSheet([&](ConfigSheet& sheet) {
      SetAddress(sheet, c.typed);
      ClickOk(sheet);
    });
    RunSheet(driver);
    EXPECT_EQ(Text("DNSName"), c.stored) << c.typed.join(".").toStdString();
    SetText("DNSName", "127.0.0.53");
  }
}

TEST_F(StoppedServiceTest, AddressFieldsTakeOnlyOctets) {
  ModalDriver driver;
  driver.OnSheet([&](ConfigSheet& sheet) {
    QLineEdit* first = Control<QLineEdit>(sheet, "octet1");
    for (const char* text : {"256", "abc", "1234", "-1"}) {
      first->clear();
      first->insert(QString::fromLatin1(text));
      EXPECT_NE(first->text(), QString::fromLatin1(text)) << text;
    }
    ClickCancel(sheet);
  });
  RunSheet(driver);
}

TEST_F(StoppedServiceTest, AddressTypedMovesThroughTheFields) {
  struct Case {
    const char* keys;
    std::string stored;
  };
  const Case cases[] = {
      {"192.168.1.7", "192.168.1.7"},     // a dot moves on
      {"100200030040", "100.200.30.40"},  // so does a third digit
      {"1..2", "1.2.0.0"},                // a dot in an empty field stays there
      {"300", "30.0.0.0"},                // a digit that would pass 255 is refused
  };
  for (const Case& c : cases) {
    ModalDriver driver;
    driver.OnSheet([&](ConfigSheet& sheet) {
      SetAddress(sheet, {});
      Control<QLineEdit>(sheet, "octet1")->setFocus();
      for (const char* key = c.keys; *key; ++key) QTest::keyClick(sheet.focusWidget(), *key);
      ClickOk(sheet);
    });
    RunSheet(driver);
    EXPECT_EQ(Text("DNSName"), c.stored) << c.keys;
  }
}

TEST_F(StoppedServiceTest, GeneralValuesWritten) {
  ModalDriver driver;
  driver.OnSheet([&](ConfigSheet& sheet) {
    Control<QLineEdit>(sheet, "domainName")->setText("gw.example.net");
    Control<QLineEdit>(sheet, "receivePort")->setText(" 2526 ");
    Control<QLineEdit>(sheet, "sendPort")->setText("587");
    Control<QLineEdit>(sheet, "receiptFrom")->setText("receipts@example.net");
    ClickOk(sheet);
  });
  RunSheet(driver);
  EXPECT_TRUE(driver.Boxes().empty()) << driver.Transcript();
  EXPECT_EQ(Text("DomainName"), "gw.example.net");
  EXPECT_EQ(Number("SmtpRxPort"), 2526u);
  EXPECT_EQ(Number("SmtpTxPort"), 587u);
  EXPECT_EQ(Text("MailFrom"), "receipts@example.net");
  EXPECT_EQ(Text("DNSName"), "127.0.0.53");
  EXPECT_EQ(Number("AdvancedOptions"), std::nullopt);
}

TEST_F(StoppedServiceTest, NonIntegerPortKeepsTheSheetOpen) {
  SetNumber("AdvancedOptions", 1);
  const std::string hive = Hive();
  ModalDriver driver;
  driver.ScreenshotFirstBox(ScreenshotDir() + "/box-integer.png");
  bool stillOpen = false;
  bool focused = false;
  bool pageKept = false;
  driver.OnSheet([&](ConfigSheet& sheet) {
    QLineEdit* port = Control<QLineEdit>(sheet, "sendPort");
    port->clear();
    QTest::keyClicks(port, "abc");
    ClickOk(sheet);
    stillOpen = sheet.isVisible();
    focused = QApplication::focusWidget() == port || port->hasFocus() || port->hasSelectedText();
    auto* tabs = sheet.findChild<QTabWidget*>();
    tabs->setCurrentIndex(1);
    pageKept = tabs->currentIndex() == 0;
    ClickCancel(sheet);
  });
  RunSheet(driver);
  EXPECT_TRUE(stillOpen);
  EXPECT_TRUE(focused);
  EXPECT_TRUE(pageKept);
  ASSERT_EQ(driver.Boxes().size(), 2u) << driver.Transcript();
  for (const RecordedBox& box : driver.Boxes()) {
    EXPECT_EQ(box.text, "Please enter an integer.");
    EXPECT_TRUE(box.owned);
  }
  EXPECT_EQ(Hive(), hive);
  EXPECT_FALSE(QImage(QString::fromStdString(ScreenshotDir() + "/box-integer.png")).isNull());
}

TEST_F(StoppedServiceTest, NotificationBoxesOpenTheOtherChoices) {
  WriteSettings(1);
  ModalDriver driver;
  driver.OnSheet([&](ConfigSheet& sheet) {
    sheet.findChild<QTabWidget*>()->setCurrentIndex(1);
    auto* success = Control<QCheckBox>(sheet, "emailSuccess");
    auto* failure = Control<QCheckBox>(sheet, "emailFailure");
    const auto open = [&] {
      const bool a = Control<QRadioButton>(sheet, "subjectMessage")->isEnabled();
      const bool b = Control<QRadioButton>(sheet, "subjectOriginal")->isEnabled();
      const bool c = Control<QCheckBox>(sheet, "includeTiff")->isEnabled();
      EXPECT_TRUE(a == b && b == c);
      return a;
    };
    EXPECT_TRUE(open());
    success->click();
    EXPECT_TRUE(open());
    failure->click();
    EXPECT_FALSE(open());
    failure->click();
    EXPECT_TRUE(open());
    failure->click();
    success->click();
    EXPECT_TRUE(open());
    Control<QRadioButton>(sheet, "subjectOriginal")->click();
    Control<QCheckBox>(sheet, "includeTiff")->click();
    ClickOk(sheet);
  });
  RunSheet(driver);
  EXPECT_TRUE(driver.Boxes().empty()) << driver.Transcript();
  EXPECT_EQ(Number("NotifyOnSuccess"), 1u);
  EXPECT_EQ(Number("NotifyOnFailure"), 0u);
  EXPECT_EQ(Number("SubjectLine"), 1u);
  EXPECT_EQ(Number("IncludeTIFF"), 0u);
  EXPECT_EQ(Number("AdvancedOptions"), 1u);
}

TEST_F(StoppedServiceTest, StoredNumbersTheControlsCannotShowSurviveOk) {
  WriteSettings(1);
  SetNumber("NotifyOnSuccess", 2);
  SetNumber("SubjectLine", 5);
  SetText("DNSName", "dns.example.net");
  const std::string hive = Hive();
  ModalDriver driver;
  driver.OnSheet([&](ConfigSheet& sheet) {
    sheet.findChild<QTabWidget*>()->setCurrentIndex(1);
    ClickOk(sheet);
  });
  RunSheet(driver);
  EXPECT_TRUE(driver.Boxes().empty()) << driver.Transcript();
  EXPECT_EQ(Hive(), hive);
}

TEST_F(StoppedServiceTest, FolderPickerFillsTheField) {
  TempDir picked;
  ModalDriver driver;
  driver.PickFolder(QString::fromStdString(picked.Path()));
  QString shown;
  driver.OnSheet([&](ConfigSheet& sheet) {
    Control<QPushButton>(sheet, "browse")->click();
    shown = Control<QLineEdit>(sheet, "dataDirectory")->text();
    ClickCancel(sheet);
  });
  RunSheet(driver);
  EXPECT_EQ(driver.PickerShown(), 1);
  EXPECT_EQ(driver.PickerTitle(), Msg(10));
  std::string start = DataDir();
  start.pop_back();
  EXPECT_EQ(driver.PickerStart(), QString::fromStdString(start));
  EXPECT_EQ(shown, QString::fromStdString(picked.Path() + "/"));
}

// With the service running, OK asks before it stops the service.
class RunningServiceTest : public AppletTest {
 protected:
  void SetUp() override {
    AppletTest::SetUp();
    WriteSettings();
  }
  void ChangeDomainAndOk(ModalDriver& driver) {
    driver.OnSheet([](ConfigSheet& sheet) {
      Control<QLineEdit>(sheet, "domainName")->setText("new.example");
      ClickOk(sheet);
    });
  }
};

TEST_F(RunningServiceTest, YesStopsDependentsFirstSavesAndStartsThemAfter) {
  InstallServices();
  ModalDriver driver;
  driver.Answer({QMessageBox::Yes});
  ChangeDomainAndOk(driver);
  const std::size_t before = ServiceLog().size();
  RunSheet(driver);
  ASSERT_EQ(driver.Boxes().size(), 1u) << driver.Transcript();
  const RecordedBox& question = driver.Boxes()[0];
  EXPECT_EQ(question.text, kRestartQuestion);
  EXPECT_EQ(question.buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(question.icon, QMessageBox::Warning);
  EXPECT_TRUE(question.owned);
  EXPECT_EQ(Text("DomainName"), "new.example");
  std::vector<std::string> log = ServiceLog();
  log.erase(log.begin(), log.begin() + static_cast<long>(before));
  EXPECT_EQ(log, std::vector<std::string>({"stop Fax Dependent", "stop Corvane SMTP Server",
                                           "start Corvane SMTP Server", "start Fax Dependent"}));
  EXPECT_EQ(State(kGatewayServiceName), platform::kServiceRunning);
  EXPECT_EQ(State(kDependentService), platform::kServiceRunning);
}

TEST_F(RunningServiceTest, NoLeavesKeyAndService) {
  InstallServices();
  const std::string hive = Hive();
  const std::vector<std::string> log = ServiceLog();
  ModalDriver driver;
  driver.Answer({QMessageBox::No});
  ChangeDomainAndOk(driver);
  RunSheet(driver);
  EXPECT_EQ(Texts(driver.Boxes()), std::vector<QString>({kRestartQuestion}));
  EXPECT_EQ(Hive(), hive);
  EXPECT_EQ(ServiceLog(), log);
  EXPECT_EQ(State(kGatewayServiceName), platform::kServiceRunning);
}

TEST_F(RunningServiceTest, ServiceThatCannotStopSavesNothing) {
  InstallServices("--nostop", false);
  const std::string hive = Hive();
  ModalDriver driver;
  driver.Answer({QMessageBox::Yes});
  ChangeDomainAndOk(driver);
  RunSheet(driver);
  const std::vector<RecordedBox>& boxes = driver.Boxes();
  ASSERT_EQ(boxes.size(), 3u) << driver.Transcript();
  EXPECT_EQ(boxes[1].caption, "Service control");
  EXPECT_EQ(boxes[1].text.toStdString(),
            "ERROR stopping service Corvane SMTP Server:\n\n" +
                std::string(platform::SystemMessageText(platform::kErrorInvalidServiceControl)));
  EXPECT_FALSE(boxes[1].owned);
  EXPECT_EQ(boxes[2].text, Msg(14));
  EXPECT_EQ(Hive(), hive);
  EXPECT_EQ(State(kGatewayServiceName), platform::kServiceRunning);
}

TEST_F(RunningServiceTest, DisabledServiceIsSavedButNotStarted) {
  InstallServices({}, false);
  platform::ScService service;
  ASSERT_EQ(platform::OpenService(m_manager, kGatewayServiceName, service), 0);
  ASSERT_EQ(platform::ChangeServiceStartType(service, platform::kServiceDisabled), 0);
  ModalDriver driver;
  driver.Answer({QMessageBox::Yes});
  ChangeDomainAndOk(driver);
  RunSheet(driver);
  const std::vector<RecordedBox>& boxes = driver.Boxes();
  ASSERT_EQ(boxes.size(), 4u) << driver.Transcript();
  EXPECT_EQ(boxes[1].text, Msg(13));
  EXPECT_EQ(boxes[1].icon, QMessageBox::Critical);
  EXPECT_EQ(boxes[2].caption, "Service control");
  EXPECT_EQ(boxes[2].text.toStdString(),
            "ERROR starting service Corvane SMTP Server:\n\n" +
                std::string(platform::SystemMessageText(platform::kErrorServiceDisabled)));
  EXPECT_EQ(boxes[3].text, Msg(13));
  // The boxes of the start come while the wait cursor is up, with the ordinary pointer over
  // them; the last one after the wait cursor is gone.
  EXPECT_EQ(boxes[0].overrideCursor, -1);
  EXPECT_EQ(boxes[1].overrideCursor, Qt::ArrowCursor);
  EXPECT_EQ(boxes[2].overrideCursor, Qt::ArrowCursor);
  EXPECT_EQ(boxes[3].overrideCursor, -1);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(Text("DomainName"), "new.example");
  EXPECT_EQ(State(kGatewayServiceName), platform::kServiceStopped);
}

TEST_F(RunningServiceTest, FailedSaveStartsTheServiceAgain) {
  InstallServices();
  const std::string hive = Hive();
  ModalDriver driver;
  driver.Answer({QMessageBox::Yes});
  driver.OnSheet([&](ConfigSheet& sheet) {
    Control<QLineEdit>(sheet, "dataDirectory")->setText(QString::fromStdString(DataDir() + "gone"));
    ClickOk(sheet);
  });
  RunSheet(driver);
  EXPECT_EQ(Texts(driver.Boxes()), std::vector<QString>({kRestartQuestion, Msg(6)}));
  EXPECT_EQ(Hive(), hive);
  EXPECT_EQ(State(kGatewayServiceName), platform::kServiceRunning);
  EXPECT_EQ(State(kDependentService), platform::kServiceRunning);
}

TEST_F(RunningServiceTest, NotInstalledServiceIsToldThenAsked) {
  ModalDriver driver;
  driver.Answer({QMessageBox::Ok, QMessageBox::No});
  ChangeDomainAndOk(driver);
  RunSheet(driver);
  EXPECT_EQ(Texts(driver.Boxes()), std::vector<QString>({Msg(9), kRestartQuestion}));
  EXPECT_NE(Text("DomainName"), "new.example");
}

TEST_F(RunningServiceTest, BothPagesChangedAskTwice) {
  SetNumber("AdvancedOptions", 1);
  InstallServices({}, false);
  ModalDriver driver;
  driver.Answer({QMessageBox::Yes, QMessageBox::Yes});
  driver.OnSheet([](ConfigSheet& sheet) {
    Control<QLineEdit>(sheet, "domainName")->setText("both.example");
    sheet.findChild<QTabWidget*>()->setCurrentIndex(1);
    Control<QCheckBox>(sheet, "includeTiff")->click();
    ClickOk(sheet);
  });
  RunSheet(driver);
  EXPECT_EQ(Texts(driver.Boxes()), std::vector<QString>({kRestartQuestion, kRestartQuestion}));
  EXPECT_EQ(Text("DomainName"), "both.example");
  EXPECT_EQ(Number("IncludeTIFF"), 0u);
  EXPECT_EQ(CountEvents(436), 2);
  EXPECT_EQ(State(kGatewayServiceName), platform::kServiceRunning);
}

}  // namespace
}  // namespace faxmail::test
