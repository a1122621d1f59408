// Writes camera-image-settings.png: the image settings window of the
// recorded 8 MP document camera, as a user sees it with automatic white
// balance on (so the temperature is greyed).
// Usage: tavrin-shot-camera-settings <output folder>
#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <cstdio>

#include "camera/camera_library.h"

namespace {

// Grabs the settings window once it is shown, then closes it with Cancel,
// which leaves the camera and TavrinLens.conf as they were.
void GrabWhenShown(const QString& path, bool* saved, int triesLeft = 250) {
  QTimer::singleShot(20, [=] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) {
      if (triesLeft > 0) GrabWhenShown(path, saved, triesLeft - 1);
      return;
    }
    *saved = dialog->grab().save(path);
    dialog->reject();
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("TAVRIN_LENS_V4L2", "1");
  qputenv("TAVRIN_LENS_V4L2_REPLAY", TAVRIN_V4L2_DATA "/doccam_8mp.rec");
  qunsetenv("TAVRIN_LENS_V4L2_REPLAY_LOG");
  qputenv("TAVRIN_LENS_VIRTUAL", "");
  qunsetenv("TAVRIN_LENS_VIRTUAL_FILE");
  QApplication application(argc, argv);

  tavrin::CameraLibrary lens;
  if (!lens.LoadFromProgramFolder() || lens.camInitCameraLib() != 0) {
    std::fprintf(stderr, "cannot load the camera library: %s\n", lens.LastError().c_str());
    return 1;
  }
  const QString path = QString::fromLocal8Bit(argv[1]) + "/camera-image-settings.png";
  bool saved = false;
  GrabWhenShown(path, &saved);
  const int status = lens.camShowImageSettingWindow(0);
  lens.camUnInitCameraLib();
  if (status != 0 || !saved) {
    std::fprintf(stderr, "cannot write %s (camera status %d)\n", qPrintable(path), status);
    return 1;
  }
  std::printf("%s\n", qPrintable(path));
  return 0;
}
