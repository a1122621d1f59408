// Writes PNGs of the scan window into the folder given as argument: at
// start-up with the virtual document camera, in each of the six languages
// and grown to fill a 1920x1080 screen;
// with the two-picture merge preview after two presses; and with the
// webcam's live picture.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QThread>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>

#include "mainwindow/message_box.h"
#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "settings/scan_settings.h"
#include "settings/ui_text_table.h"
#include "tests/mainwindow/private_program_folder.h"
#include "tests/mainwindow/window_probe.h"

namespace {

void RunEventsFor(int durationMs) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < durationMs) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(10);
  }
}

void SetCameras(const std::string& list) {
  std::ofstream(tavrin::test::CameraListPath(), std::ios::trunc) << list << "\n";
}

// The window and, laid over it where they are, its visible pop-ups (the
// merge preview is a window of its own).
QPixmap GrabWithPopups(QWidget& window, const std::vector<QWidget*>& popups) {
  QPixmap picture = window.grab();
  QPainter painter(&picture);
  for (QWidget* popup : popups) {
    if (popup == nullptr || !popup->isVisible()) continue;
    painter.drawPixmap(window.mapFromGlobal(popup->mapToGlobal(QPoint(0, 0))), popup->grab());
  }
  return picture;
}

bool Shoot(const QString& folder, const QString& fileName, tavrin::ScanSettings settings,
           const std::function<void(tavrin::CTavrinWindowDlg&)>& prepare = {}) {
  using namespace tavrin;
  g_scanSettings = ScanSettings{};
  g_uiTextTable = UiTextTable{};
  g_languageList.clear();
  SaveLastSettings(LastSettingsPath(), settings);
  auto window = std::make_unique<CTavrinWindowDlg>();
  if (!window->OnInitDialog()) return false;
  // Let the camera deliver frames into the preview.
  RunEventsFor(1500);
  if (prepare) prepare(*window);
  const bool saved = GrabWithPopups(*window, {ScanWindowProbe(*window).MergePreview()})
                         .save(folder + "/" + fileName);
  window->reject();
  return saved;
}

tavrin::ScanSettings StartUp(const char* language) {
  tavrin::ScanSettings settings;
  settings.Language = language;
  settings.DPI.MainWidth = 1920;
  settings.DPI.MainHeight = 1080;
  return settings;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  if (!tavrin::test::InPrivateFolder()) {
    // The window writes LastSetting.xml beside the program; a private copy
    // keeps the real one as it is.
    const QString folder = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(folder);
    QByteArray absolute = folder.toLocal8Bit();
    char* args[] = {argv[0], absolute.data(), nullptr};
    return tavrin::test::RunInPrivateFolder(2, args);
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("TavrinDesk"));
  tavrin::SetMessageBoxObserver([](const QString& text) {
    std::fprintf(stderr, "message: %s\n", text.toLocal8Bit().constData());
  });
  const QString folder = QString::fromLocal8Bit(argv[1]);
  SetCameras("document");
  bool ok = Shoot(folder, "scan-window.png", StartUp("EN"));
  for (const char* language : {"CN", "DE", "FR", "ES", "JA"}) {
    ok = ok && Shoot(folder, QStringLiteral("scan-window-%1.png").arg(QString(language).toLower()),
                     StartUp(language));
  }
  // The whole of a 1920x1080 screen but its title bar and a panel.
  ok = ok && Shoot(folder, "scan-window-maximised.png", StartUp("EN"), [](auto& window) {
         window.resize(1920, 1020);
         RunEventsFor(1000);
       });

  // Two presses: the pair side by side over the lower picture area.
  tavrin::ScanSettings merge = StartUp("EN");
  merge.MergeHV.isEnable = 1;
  merge.MergeHV.direction = 1;
  ok = ok && Shoot(folder, "scan-window-merge-preview.png", merge, [](auto& window) {
         auto* capture = qobject_cast<QPushButton*>(window.Control(tavrin::kIdCaptureButton));
         capture->click();
         RunEventsFor(800);
         capture->click();
         RunEventsFor(800);
       });

  // A second camera: its live picture over the top right of the main one.
  SetCameras("document,webcam");
  tavrin::ScanSettings webcam = StartUp("EN");
  webcam.Webcam.isEnable = 1;
  webcam.Webcam.isMerge = 1;
  webcam.Webcam.WebcamWidth = 640;
  webcam.Webcam.WebcamHeight = 480;
  ok = ok && Shoot(folder, "scan-window-webcam.png", webcam);
  return ok ? 0 : 1;
}
