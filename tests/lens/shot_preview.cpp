// Writes preview-document.png: the live preview of the virtual document
// camera in a host widget, as the scan window shows it.
// Usage: tavrin-shot-preview <output folder>
#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

#include "camera/camera_library.h"
#include "platform/paths.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("TAVRIN_LENS_VIRTUAL", "document");
  qputenv("TAVRIN_LENS_V4L2", "0");
  qunsetenv("TAVRIN_LENS_VIRTUAL_FILE");
  QApplication application(argc, argv);

  tavrin::CameraLibrary lens;
  if (!lens.LoadFromProgramFolder() || lens.camInitCameraLib() != 0) {
    std::fprintf(stderr, "cannot load the camera library: %s\n", lens.LastError().c_str());
    return 1;
  }
  QWidget host;
  host.resize(880, 594);  // the scan window's preview area at its default size
  host.show();
  int status = lens.camOpenDev(0, 0, 3264, 2448);
  if (status == 0) {
    status = lens.camSetPreviewWindow(0, reinterpret_cast<void*>(host.winId()));
  }
  if (status != 0) {
    std::fprintf(stderr, "camera error %d\n", status);
    return 1;
  }
  QWidget* preview = host.findChild<QWidget*>("TavrinLensPreview");
  QElapsedTimer waited;
  waited.start();
  // A few frames in, so the picture is the running one at its fitted scale.
  while (preview == nullptr || preview->property("framesPainted").toULongLong() < 6) {
    if (waited.elapsed() > 20000) {
      std::fprintf(stderr, "no frames painted\n");
      return 1;
    }
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  const QString path = QString::fromLocal8Bit(argv[1]) + "/preview-document.png";
  const bool saved = host.grab().save(path);
  lens.camUnInitCameraLib();
  if (!saved) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return 1;
  }
  std::printf("%s\n", qPrintable(path));
  return 0;
}
