// Writes PNGs of the scan window at start-up with the virtual document
// camera, in English and in Chinese, into the folder given as argument.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QThread>

#include <cstdio>
#include <memory>

#include "mainwindow/message_box.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "settings/scan_settings.h"
#include "settings/ui_text_table.h"
#include "tests/mainwindow/private_program_folder.h"

namespace {

void RunEventsFor(int durationMs) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < durationMs) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(10);
  }
}

bool Shoot(const QString& folder, const char* language, const QString& fileName) {
  using namespace tavrin;
  g_scanSettings = ScanSettings{};
  g_uiTextTable = UiTextTable{};
  g_languageList.clear();
  ScanSettings settings;
  settings.Language = language;
  settings.DPI.MainWidth = 1920;
  settings.DPI.MainHeight = 1080;
  SaveLastSettings(LastSettingsPath(), settings);
  auto window = std::make_unique<CTavrinWindowDlg>();
  if (!window->OnInitDialog()) return false;
  // Let the camera deliver frames into the preview.
  RunEventsFor(1500);
  const bool saved = window->grab().save(folder + "/" + fileName);
  window->reject();
  return saved;
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
    return tavrin::test::RunInPrivateFolder(2, args, {"TAVRIN_LENS_VIRTUAL=document"});
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("TavrinDesk"));
  tavrin::SetMessageBoxObserver([](const QString& text) {
    std::fprintf(stderr, "message: %s\n", text.toLocal8Bit().constData());
  });
  const QString folder = QString::fromLocal8Bit(argv[1]);
  const bool ok =
      Shoot(folder, "EN", "scan-window.png") && Shoot(folder, "CN", "scan-window-cn.png");
  return ok ? 0 : 1;
}
