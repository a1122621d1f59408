// Writes camera-image-settings.png and camera-device-settings.png: the two
// settings windows of the recorded 8 MP document camera, as a user sees them
// with automatic white balance, exposure and focus on.
// Usage: tavrin-shot-camera-settings <output folder>
#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <cstdio>
#include <functional>

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
  const QString folder = QString::fromLocal8Bit(argv[1]);
  struct Shot {
    const char* file;
    std::function<int()> show;
  };
  const Shot shots[] = {
      {"/camera-image-settings.png", [&] { return lens.camShowImageSettingWindow(0); }},
      {"/camera-device-settings.png", [&] { return lens.camShowDevSettingWindow(0); }},
  };
  int failures = 0;
  for (const Shot& shot : shots) {
    bool saved = false;
    GrabWhenShown(folder + shot.file, &saved);
    const int status = shot.show();
    if (status != 0 || !saved) {
      std::fprintf(stderr, "cannot write %s (camera status %d)\n", qPrintable(folder + shot.file),
                   status);
      ++failures;
      continue;
    }
    std::printf("%s\n", qPrintable(folder + shot.file));
  }
  lens.camUnInitCameraLib();
  return failures == 0 ? 0 : 1;
}
