// Preloaded into faxmailadm by the tests: closes each configuration sheet as soon as it shows
// and writes one line per sheet to $FAXMAIL_AUTOCLOSE_LOG ("sheet TITLE tabs N"), so a real
// host process can run the applet with no one to press Cancel.
#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QMetaObject>
#include <QTabWidget>
#include <cstdio>
#include <cstdlib>

namespace {

class SheetCloser : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Show) return false;
    auto* dialog = dynamic_cast<QDialog*>(watched);
    if (dialog == nullptr || !dialog->isModal()) return false;
    if (const char* path = std::getenv("FAXMAIL_AUTOCLOSE_LOG")) {
      if (std::FILE* log = std::fopen(path, "a")) {
        const auto* tabs = dialog->findChild<QTabWidget*>();
        std::fprintf(log, "sheet %s tabs %d\n", dialog->windowTitle().toUtf8().constData(),
                     tabs ? tabs->count() : 0);
        std::fclose(log);
      }
    }
    QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
    return false;
  }
};

void InstallCloser() {
  QCoreApplication* app = QCoreApplication::instance();
  if (app) app->installEventFilter(new SheetCloser(app));  // goes with the application
}

// Runs for every application object constructed in the process.
__attribute__((constructor)) void Register() { qAddPreRoutine(InstallCloser); }

}  // namespace
