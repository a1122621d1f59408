#include "app/tavrin_window_app.h"

#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QMetaObject>
#include <QWidget>

#include <cstdio>
#include <utility>

#include "app/hidden_flatbed.h"
#include "mainwindow/message_box.h"
#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "platform/paths.h"
#include "resources/app_icon.h"
#include "thumbnails/image_list_ctrl.h"

namespace tavrin {

namespace {

constexpr const char* kTraceVariable = "TAVRIN_DESK_TRACE";

// With TAVRIN_DESK_TRACE naming a file, every time the scan window is shown
// or hidden a line goes there: whether a run that was to stay unseen showed
// itself cannot be told from outside otherwise. Once the window has been
// laid out after it was shown, moved or resized, lines "place <name> x y w
// h" give where some controls are on the screen, and "window <name> <id>"
// the native window of the live picture, so that a test on a real X server
// can aim its clicks and measure what it sees; "focus <name>" tells which
// control (by id) has the keyboard, so that a test can walk with Tab.
class VisibilityTrace : public QObject {
 public:
  VisibilityTrace(QString path, CTavrinWindowDlg& window) : path(std::move(path)), window(window) {}

  void FollowFocus() {
    QObject::connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
      if (now != nullptr) Write("focus " + now->objectName().toUtf8() + "\n");
    });
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show || event->type() == QEvent::Hide) {
      Write(event->type() == QEvent::Show ? "show\n" : "hide\n");
    }
    if (event->type() == QEvent::Show || event->type() == QEvent::Resize ||
        event->type() == QEvent::Move) {
      // After the window's own handler has placed the controls; a show,
      // move and resize that come together give one set of lines.
      if (!placesQueued) {
        placesQueued = true;
        QMetaObject::invokeMethod(this, &VisibilityTrace::WritePlaces, Qt::QueuedConnection);
      }
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  void Write(const QByteArray& line) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) file.write(line);
  }

  void WritePlaces() {
    placesQueued = false;
    if (!window.isVisible()) return;
    QByteArray lines;
    const auto place = [&](const char* name, QWidget* widget) {
      if (widget == nullptr) return;
      const QPoint at = widget->mapToGlobal(QPoint(0, 0));
      lines += QStringLiteral("place %1 %2 %3 %4 %5\n")
                   .arg(QString::fromUtf8(name))
                   .arg(at.x())
                   .arg(at.y())
                   .arg(widget->width())
                   .arg(widget->height())
                   .toUtf8();
    };
    place("window", &window);
    place("capture", window.Control(kIdCaptureButton));
    place("exit", window.Control(kIdExitButton));
    place("colour", window.Control(kIdColorCombo));
    place("handcut", window.Control(kIdHandCutCheck));
    place("preview", window.PreviewHost());
    if (CImageListCtrl* strip = window.Thumbnails()) place("strip", strip->viewport());
    if (QWidget* preview = window.PreviewHost(); preview != nullptr && preview->internalWinId()) {
      lines += "window preview " + QByteArray::number(preview->internalWinId()) + "\n";
    }
    Write(lines);
  }

  QString path;
  CTavrinWindowDlg& window;
  bool placesQueued = false;
};

// How many widgets the run made and still holds at its end: a window that
// was never to be seen can show that it built none.
void WriteWidgetCount(const std::string& tracePath) {
  if (tracePath.empty()) return;
  QFile file(QString::fromStdString(tracePath));
  if (file.open(QIODevice::WriteOnly | QIODevice::Append))
    file.write("widgets " + QByteArray::number(QApplication::allWidgets().size()) + "\n");
}

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
  if (arguments().contains(QStringLiteral(TS_HIDDEN_FLATBED_ARGUMENT))) {
    HiddenFlatbed flatbed;
    if (flatbed.Start()) {
      flatbed.Run();
      WriteWidgetCount(tracePath);
      return false;
    }
    // The whole window starts instead, which shows itself to say why.
  }
  CTavrinWindowDlg window;
  VisibilityTrace trace(QString::fromStdString(tracePath), window);
  window.setModal(true);
  if (!tracePath.empty()) {
    window.installEventFilter(&trace);
    trace.FollowFocus();
  }
  bool finished = false;
  QEventLoop loop;
  QObject::connect(&window, &QDialog::finished, &loop, [&] {
    finished = true;
    loop.quit();
  });
  // Not exec(): it would show the window, and in the modes that capture
  // without the person it stays hidden until something shows it.
  if (window.OnInitDialog() && !finished) loop.exec();
  WriteWidgetCount(tracePath);
  return false;
}

}  // namespace tavrin
