#include "app/tavrin_window_app.h"

#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>

#include <cstdio>
#include <utility>

#include "mainwindow/message_box.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "platform/paths.h"
#include "resources/app_icon.h"

namespace tavrin {

namespace {

constexpr const char* kTraceVariable = "TAVRIN_DESK_TRACE";

// With TAVRIN_DESK_TRACE naming a file, every time the scan window is shown
// or hidden a line goes there: whether a run that was to stay unseen showed
// itself cannot be told from outside otherwise.
class VisibilityTrace : public QObject {
 public:
  explicit VisibilityTrace(QString path) : path(std::move(path)) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show || event->type() == QEvent::Hide) {
      QFile file(path);
      if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        file.write(event->type() == QEvent::Show ? "show\n" : "hide\n");
      }
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  QString path;
};

}  // namespace

CTavrinWindowApp::CTavrinWindowApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("TavrinDesk"));
  setDesktopFileName(QStringLiteral("io.github.tavrindesk.TavrinDesk"));
  setApplicationVersion(QStringLiteral(TAVRIN_VERSION));
  setWindowIcon(AppIcon());
  // The window ends the run itself; hiding it must not end the process
  // while its shutdown still talks to the data source.
  setQuitOnLastWindowClosed(false);
  // Nobody can see, let alone answer, a box on the offscreen platform: it
  // would hold the window, and the data source waiting for it, for ever.
  if (QGuiApplication::platformName() == QStringLiteral("offscreen")) {
    SetMessageBoxObserver([](const QString& text) {
      std::fprintf(stderr, "TavrinDesk: %s\n", text.toLocal8Bit().constData());
      std::fflush(stderr);
    });
  }
}

bool CTavrinWindowApp::InitInstance() {
  const std::string tracePath = platform::Environment(kTraceVariable);
  VisibilityTrace trace(QString::fromStdString(tracePath));
  CTavrinWindowDlg window;
  window.setModal(true);
  if (!tracePath.empty()) window.installEventFilter(&trace);
  bool finished = false;
  QEventLoop loop;
  QObject::connect(&window, &QDialog::finished, &loop, [&] {
    finished = true;
    loop.quit();
  });
  // Not exec(): it would show the window, and in the modes that capture
  // without the person it stays hidden until something shows it.
  if (window.OnInitDialog() && !finished) loop.exec();
  return false;
}

}  // namespace tavrin
