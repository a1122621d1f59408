// libTavrinLens.so with real-camera recordings played through its V4L2
// back-end: the device list beside the virtual cameras, frames captured to
// files, hot-plug, and the settings windows driven as a user would, with
// every control write read back from the replay's log and TavrinLens.conf
// beside the library.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QWidget>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "tests/lens/lens_test_support.h"

namespace tavrin::lens_test {
namespace {

using namespace std::chrono_literals;

constexpr char kDocCam[] = "Tavrin DocCam 8MP";

// A recording of the test data, or one a test wrote (a full path).
std::string Recording(const std::string& name) {
  return name.front() == '/' ? name : std::string(TAVRIN_V4L2_DATA) + "/" + name;
}

// The library copied into a folder of the test's own, so that the
// TavrinLens.conf beside it is the test's too, and loaded from there with
// the recording playing the cameras.
class ReplayedLens {
 public:
  ReplayedLens(const ScratchFolder& scratch, const std::string& recording,
               const std::string& virtualCameras, bool realCameras = true)
      : folder_(scratch.File("lib")) {
    std::filesystem::create_directories(folder_);
    // A new file rather than one written over, in case the last copy is
    // still mapped.
    const std::string copy = folder_ + "/" + CameraLibrary::kLibraryFileName;
    std::filesystem::remove(copy);
    std::filesystem::copy_file(ProgramFolder() + "/" + CameraLibrary::kLibraryFileName, copy);
    ::setenv("TAVRIN_LENS_V4L2", realCameras ? "1" : "0", 1);
    ::setenv("TAVRIN_LENS_V4L2_REPLAY", Recording(recording).c_str(), 1);
    ::setenv("TAVRIN_LENS_V4L2_REPLAY_LOG", LogPath().c_str(), 1);
    ::setenv("TAVRIN_LENS_VIRTUAL", virtualCameras.c_str(), 1);
    ::unsetenv("TAVRIN_LENS_VIRTUAL_FILE");
  }
  ~ReplayedLens() { Unload(); }

  bool Load() {
    std::filesystem::remove(LogPath());
    if (!lens.LoadFromFolder(folder_)) return false;
    loaded_ = true;
    return lens.camInitCameraLib() == 0;
  }
  void Unload() {
    if (!loaded_) return;
    lens.camUnInitCameraLib();
    lens.UnloadModule();
    loaded_ = false;
  }

  std::string ConfPath() const { return folder_ + "/TavrinLens.conf"; }
  std::string LogPath() const { return folder_ + "/controls.log"; }
  // The control writes so far, one "/dev/video0 0x00980900 20 -> 20" a line.
  std::vector<std::string> Writes() const {
    std::vector<std::string> lines;
    std::istringstream text(ReadBytes(LogPath()));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

  std::vector<std::string> Names() {
    int count = 0;
    std::vector<std::string> names;
    if (lens.camGetDevCount(&count) != 0) return names;
    for (int dev = 0; dev < count; ++dev) {
      const char* name = lens.camGetDevName(dev);
      names.push_back(name != nullptr ? name : "");
    }
    return names;
  }

  CameraLibrary lens;

 private:
  std::string folder_;
  bool loaded_ = false;
};

std::string Write(const char* id, int value) {
  return "/dev/video0 " + std::string(id) + " " + std::to_string(value) + " -> " +
         std::to_string(value);
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Runs body on the settings window once it is shown, then closes it with OK
// or Cancel; body may also close it itself.
void WhileShown(std::function<void(QDialog&)> body, bool accept, bool* shown, int triesLeft = 200) {
  QTimer::singleShot(20, [=] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) {
      if (triesLeft > 0) WhileShown(body, accept, shown, triesLeft - 1);
      return;
    }
    *shown = true;
    body(*dialog);
    if (dialog->isVisible()) accept ? dialog->accept() : dialog->reject();
  });
}

template <typename Widget>
Widget* Find(QDialog& dialog, const char* name) {
  return dialog.findChild<Widget*>(QString::fromUtf8(name));
}

// The replayed camera's 640x480 JPEG stream previewed in host, made
// 320x240; null when the library gave no preview.
QWidget* PreviewIn(ReplayedLens& replayed, QWidget& host) {
  host.resize(320, 240);
  if (replayed.lens.camOpenDev(0, 0, 640, 480) != 0 ||
      replayed.lens.camSetPreviewWindow(0, reinterpret_cast<void*>(host.winId())) != 0)
    return nullptr;
  return host.findChild<QWidget*>("TavrinLensPreview");
}

// -- The device list ----------------------------------------------------

TEST(LensV4l2, RealCamerasComeFirstBesideTheVirtualOnes) {
  ScratchFolder scratch;
  {
    ReplayedLens replayed(scratch, "doccam_8mp.rec", "document,webcam");
    ASSERT_TRUE(replayed.Load());
    const std::vector<std::string> expected = {kDocCam, "Virtual Document Camera",
                                               "Virtual Webcam"};
    EXPECT_EQ(replayed.Names(), expected);
    int count = 0;
    ASSERT_EQ(replayed.lens.camGetMediaTypeCount(0, &count), 0);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(replayed.lens.camGetMediaTypeName(0, 0), "MJPG");
    EXPECT_STREQ(replayed.lens.camGetMediaTypeName(0, 1), "YUYV");
    ASSERT_EQ(replayed.lens.camGetResolutionCount(0, 0, &count), 0);
    EXPECT_EQ(count, 10);
    int width = 0;
    int height = 0;
    ASSERT_EQ(replayed.lens.camGetResolution(0, 1, 0, &width, &height), 0);
    EXPECT_EQ(width, 1920);
    EXPECT_EQ(height, 1080);
    int dpiX = 0;
    int dpiY = 0;
    ASSERT_EQ(replayed.lens.camGetImageDPI(0, &dpiX, &dpiY), 0);
    EXPECT_EQ(dpiX, 96);  // no field of view given

    // Building the list again with nothing changed keeps every place.
    ASSERT_EQ(replayed.lens.camUpdateCameraLib(), 0);
    EXPECT_EQ(replayed.Names(), expected);
  }
  {
    // The field of view beside the library gives the camera its own DPI.
    ReplayedLens replayed(scratch, "doccam_8mp.rec", "");
    WriteText(replayed.ConfPath(), std::string("[") + kDocCam + "]\nFieldOfViewMm=380\n");
    ASSERT_TRUE(replayed.Load());
    int dpiX = 0;
    int dpiY = 0;
    ASSERT_EQ(replayed.lens.camGetImageDPI(0, &dpiX, &dpiY), 0);
    EXPECT_EQ(dpiX, 218);  // 3264 pixels across 380 mm
    EXPECT_EQ(dpiY, 218);
  }
  {
    ReplayedLens replayed(scratch, "doccam_8mp.rec", "webcam", false);
    ASSERT_TRUE(replayed.Load());
    EXPECT_EQ(replayed.Names(), std::vector<std::string>{"Virtual Webcam"});
  }
}

TEST(LensV4l2, CapturesDecodedFramesOfBothFormats) {
  ScratchFolder scratch;
  ReplayedLens replayed(scratch, "doccam_8mp.rec", "");
  ASSERT_TRUE(replayed.Load());
  ASSERT_EQ(replayed.lens.camOpenDev(0, 0, 640, 480), 0);
  ASSERT_EQ(replayed.lens.camSetImageDPI(0, 300, 300), 0);
  char path[kTavrinLensPathBuffer] = {};
  std::strncpy(path, scratch.File("mjpg.jpg").c_str(), sizeof path - 1);
  ASSERT_EQ(replayed.lens.camCaptureImageFile(0, path), 0);
  FileFacts facts = ReadFileFacts(scratch.File("mjpg.jpg"));
  EXPECT_EQ(facts.format, "jpeg");
  EXPECT_EQ(facts.width, 640 * 300 / 96);
  EXPECT_EQ(facts.dpiX, 300);

  ASSERT_EQ(replayed.lens.camSetImageDPI(0, 0, 0), 0);
  ASSERT_EQ(replayed.lens.camOpenDev(0, 1, 320, 240), 0);
  std::strncpy(path, scratch.File("yuyv.png").c_str(), sizeof path - 1);
  ASSERT_EQ(replayed.lens.camCaptureImageFile(0, path), 0);
  facts = ReadFileFacts(scratch.File("yuyv.png"));
  EXPECT_EQ(facts.format, "png");
  EXPECT_EQ(facts.width, 320);
  EXPECT_EQ(facts.height, 240);
  // The recorded frame's colour bars came through: the second one is red.
  const QImage image(QString::fromStdString(scratch.File("yuyv.png")));
  ASSERT_FALSE(image.isNull());
  const QRgb red = image.pixel(3 * 320 / 12, 240 / 16);
  EXPECT_GT(qRed(red), 200);
  EXPECT_LT(qGreen(red), 60);
  EXPECT_LT(qBlue(red), 60);
}

TEST(LensV4l2, PreviewPaintsTheCameraFrames) {
  ScratchFolder scratch;
  ReplayedLens replayed(scratch, "doccam_8mp.rec", "");
  ASSERT_TRUE(replayed.Load());
  QWidget host;
  host.show();
  QWidget* preview = PreviewIn(replayed, host);
  ASSERT_NE(preview, nullptr);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (preview->property("framesPainted").toULongLong() < 2 &&
         std::chrono::steady_clock::now() < deadline)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_GE(preview->property("framesPainted").toULongLong(), 2u);
  // Fitted to the host: the recorded frame's white bar on the left of its
  // top, the black one further right.
  const QImage shown = preview->grab().toImage();
  EXPECT_GT(qGray(shown.pixel(shown.width() / 12, shown.height() / 16)), 200);
  EXPECT_LT(qGray(shown.pixel(9 * shown.width() / 12, shown.height() / 16)), 60);
  EXPECT_EQ(replayed.lens.camSetPreviewWindow(0, nullptr), 0);
}

// A JPEG camera behind a window nobody sees costs no decoding: not while the
// window is hidden, nor while it is minimised; a capture still gets the
// whole frame, and a shown window gets copies at about its own size.
TEST(LensV4l2, OnlyAShownPreviewDecodesFramesAndThenAtItsOwnSize) {
  ScratchFolder scratch;
  ReplayedLens replayed(scratch, "doccam_8mp.rec", "");
  ASSERT_TRUE(replayed.Load());
  QWidget host;
  QWidget* preview = PreviewIn(replayed, host);
  ASSERT_NE(preview, nullptr);
  const auto run = [](std::chrono::milliseconds time) {
    const auto until = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < until)
      QApplication::processEvents(QEventLoop::AllEvents, 10);
  };
  // The count is the preview's own, brought up to date by its check every
  // few milliseconds: the loop runs long enough for that check to come,
  // which a busy machine can put off.
  const auto decodes = [&] {
    run(60ms);
    return preview->property("jpegDecodes").toULongLong();
  };
  const auto decodesOnceThere = [&](unsigned long long wanted) {
    const auto until = std::chrono::steady_clock::now() + 3s;
    unsigned long long seen = decodes();
    while (seen < wanted && std::chrono::steady_clock::now() < until) seen = decodes();
    return seen;
  };
  const auto captureWhole = [&](const std::string& name) {
    char path[kTavrinLensPathBuffer] = {};
    std::strncpy(path, scratch.File(name).c_str(), sizeof path - 1);
    EXPECT_EQ(replayed.lens.camCaptureImageFile(0, path), 0);
    const FileFacts facts = ReadFileFacts(scratch.File(name));
    EXPECT_EQ(facts.width, 640) << name;
    EXPECT_EQ(facts.height, 480) << name;
  };

  // Hidden: frames keep coming (15 a second), none is decoded until a
  // capture decodes the one it takes.
  run(300ms);
  const auto before = decodes();
  run(400ms);
  EXPECT_EQ(decodes(), before);
  captureWhole("hidden.png");
  EXPECT_EQ(decodesOnceThere(before + 1), before + 1);

  host.show();
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (preview->property("framesPainted").toULongLong() < 3 &&
         std::chrono::steady_clock::now() < deadline)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_GE(preview->property("framesPainted").toULongLong(), 3u);
  EXPECT_GE(decodes(), before + 3);
  // Fitted into 320x240, decoded at half size rather than whole.
  const QSize shown = preview->property("previewSize").toSize();
  EXPECT_LE(std::abs(shown.width() - 320), 2) << shown.width();
  EXPECT_LE(std::abs(shown.height() - 240), 2) << shown.height();

  host.showMinimized();
  run(100ms);  // the preview notices at its next check; one decode may be under way
  const auto minimised = decodes();
  run(400ms);
  EXPECT_LE(decodes(), minimised + 1);
  captureWhole("minimised.jpg");
  EXPECT_EQ(replayed.lens.camSetPreviewWindow(0, nullptr), 0);
}

// The window shown, the picture is the frame the camera has already sent,
// not one it sends later: with a frame a second, the first paint comes
// well before the next frame.
TEST(LensV4l2, AWindowShownPaintsTheFrameAlreadyThere) {
  ScratchFolder scratch;
  std::filesystem::copy_file(Recording("doccam_mjpg_640x480.jpg"), scratch.File("frame.jpg"));
  std::ofstream(scratch.File("slow.rec"))
      << "device /dev/video0\n  driver uvcvideo\n  card Slow DocCam\n  bus usb-slow\n"
      << "  capabilities 0x84a00001\n  device_caps 0x04200001\n"
      << "  format MJPG compressed Motion-JPEG\n    discrete 640x480\n    fps 1\n"
      << "    frame 640x480 frame.jpg\n";
  ReplayedLens replayed(scratch, scratch.File("slow.rec"), "");
  ASSERT_TRUE(replayed.Load());
  QWidget host;
  QWidget* preview = PreviewIn(replayed, host);
  ASSERT_NE(preview, nullptr);
  // A capture takes the newest frame, waiting for the first; the next one
  // comes while the window is still hidden, and is kept compressed.
  char path[kTavrinLensPathBuffer] = {};
  std::strncpy(path, scratch.File("first.jpg").c_str(), sizeof path - 1);
  ASSERT_EQ(replayed.lens.camCaptureImageFile(0, path), 0);
  const auto hiddenUntil = std::chrono::steady_clock::now() + 1150ms;
  while (std::chrono::steady_clock::now() < hiddenUntil)
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  const auto shown = std::chrono::steady_clock::now();
  host.show();
  while (preview->property("framesPainted").toULongLong() == 0 &&
         std::chrono::steady_clock::now() - shown < 3s)
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_LT(std::chrono::steady_clock::now() - shown, 500ms);
  EXPECT_EQ(replayed.lens.camSetPreviewWindow(0, nullptr), 0);
}

// At 1:1 only the part of a JPEG frame on screen is decoded, and what the
// person sees there is that part of the frame as a capture has it.
TEST(LensV4l2, OneToOnePreviewDecodesOnlyThePartOnScreen) {
  ScratchFolder scratch;
  ReplayedLens replayed(scratch, "doccam_8mp.rec", "");
  ASSERT_TRUE(replayed.Load());
  QWidget host;
  host.show();
  QWidget* preview = PreviewIn(replayed, host);
  ASSERT_NE(preview, nullptr);
  ASSERT_EQ(replayed.lens.camOriginalPreview(0), 0);
  // The first frames after the zoom still carry the whole picture.
  const auto paintedAtOneToOne = [&] {
    return preview->property("paintedScale").toDouble() == 1.0
               ? preview->property("framesPainted").toULongLong()
               : 0;
  };
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  qulonglong zoomed = 0;
  while ((zoomed = paintedAtOneToOne()) == 0 && std::chrono::steady_clock::now() < deadline)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  while (paintedAtOneToOne() < zoomed + 3 && std::chrono::steady_clock::now() < deadline)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_GE(paintedAtOneToOne(), zoomed + 3);
  // The 320x240 on screen with a margin, widened to the JPEG's blocks.
  const QSize copy = preview->property("previewSize").toSize();
  EXPECT_GE(copy.width(), 320);
  EXPECT_LE(copy.width(), 320 + 64 + 32);
  EXPECT_GE(copy.height(), 240);
  EXPECT_LE(copy.height(), 240 + 64 + 32);

  char path[kTavrinLensPathBuffer] = {};
  std::strncpy(path, scratch.File("whole.bmp").c_str(), sizeof path - 1);
  ASSERT_EQ(replayed.lens.camCaptureImageFile(0, path), 0);
  const QImage whole = QImage(QString::fromStdString(scratch.File("whole.bmp")))
                           .convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(whole.size(), QSize(640, 480));
  // Centred: the middle of the frame, the page's lines of text.
  const QImage expected = whole.copy(160, 120, 320, 240);
  const QImage shown = preview->grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(shown.size(), expected.size());
  double difference = 0;
  for (int y = 0; y < shown.height(); ++y)
    for (int x = 0; x < shown.width(); ++x)
      difference += std::abs(qGray(shown.pixel(x, y)) - qGray(expected.pixel(x, y)));
  EXPECT_LT(difference / (shown.width() * shown.height()), 2.0);
  EXPECT_EQ(replayed.lens.camSetPreviewWindow(0, nullptr), 0);
}

// A frame whole on the wire but corrupt inside (its coded data stops early)
// costs the preview nothing but that frame: the last picture stays.
TEST(LensV4l2, ACorruptFrameLeavesTheLastPictureOnScreen) {
  ScratchFolder scratch;
  const std::string good = ReadBytes(Recording("doccam_mjpg_640x480.jpg"));
  const size_t scan = good.find("\xff\xda");
  ASSERT_NE(scan, std::string::npos);
  std::ofstream(scratch.File("good.jpg"), std::ios::binary) << good;
  std::ofstream(scratch.File("corrupt.jpg"), std::ios::binary)
      << good.substr(0, scan + 400) << "\xff\xd9";
  // Every other frame corrupt.
  std::string recording = ReadBytes(Recording("doccam_8mp.rec"));
  const std::string frameLine = "frame 640x480 doccam_mjpg_640x480.jpg";
  recording.replace(recording.find(frameLine), frameLine.size(),
                    "frame 640x480 good.jpg\n    frame 640x480 corrupt.jpg");
  std::ofstream(scratch.File("alternating.rec")) << recording;
  std::filesystem::copy_file(Recording("doccam_yuyv_320x240.yuv"),
                             scratch.File("doccam_yuyv_320x240.yuv"));
  ReplayedLens replayed(scratch, scratch.File("alternating.rec"), "");
  ASSERT_TRUE(replayed.Load());
  QWidget host;
  host.show();
  QWidget* preview = PreviewIn(replayed, host);
  ASSERT_NE(preview, nullptr);
  // At 1:1 too, where only a part is decoded, the part's rows are in the
  // missing data. The frame's middle: the page with its lines.
  ASSERT_EQ(replayed.lens.camOriginalPreview(0), 0);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (preview->property("framesPainted").toULongLong() < 2 &&
         std::chrono::steady_clock::now() < deadline)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_GE(preview->property("framesPainted").toULongLong(), 2u);
  // Ten frames or so, half of them corrupt, looked at as they come.
  int blank = 0;
  int looks = 0;
  const auto until = std::chrono::steady_clock::now() + 700ms;
  while (std::chrono::steady_clock::now() < until) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    const QImage shown = preview->grab().toImage();
    blank += qGray(shown.pixel(shown.width() - 10, shown.height() - 4)) < 200;
    ++looks;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_GE(preview->property("frameSequence").toULongLong(), 8u);
  EXPECT_EQ(blank, 0) << looks;
  EXPECT_EQ(replayed.lens.camSetPreviewWindow(0, nullptr), 0);
}

Recorder& ChangeNotices() {
  static Recorder recorder;
  return recorder;
}

bool OnDeviceChange(int value) {
  ChangeNotices().Add(value);
  return true;
}

TEST(LensV4l2, EachPlugGivesOneNoticeAndCameraZeroKeepsItsPlace) {
  ScratchFolder scratch;
  ChangeNotices().Clear();
  ReplayedLens replayed(scratch, "hotplug_doccam_webcam.rec", "document");
  ASSERT_TRUE(replayed.Load());
  ASSERT_EQ(replayed.lens.camRegCallBackDeviceChange(&OnDeviceChange), 0);
  EXPECT_EQ(replayed.Names(), (std::vector<std::string>{kDocCam, "Virtual Document Camera"}));
  // Settings made on camera 0 before the change must still be its own after.
  ASSERT_EQ(replayed.lens.camSetImageDPI(0, 192, 192), 0);

  // The webcam's four events collapse into one notice.
  ASSERT_TRUE(ChangeNotices().WaitForCount(1, 4s));
  ASSERT_EQ(replayed.lens.camUpdateCameraLib(), 0);
  EXPECT_EQ(replayed.Names(),
            (std::vector<std::string>{kDocCam, "Kestrel HD Webcam", "Virtual Document Camera"}));

  // A change that alters nothing: the same list in the same order.
  ASSERT_TRUE(ChangeNotices().WaitForCount(2, 4s));
  ASSERT_EQ(replayed.lens.camUpdateCameraLib(), 0);
  EXPECT_EQ(replayed.Names(),
            (std::vector<std::string>{kDocCam, "Kestrel HD Webcam", "Virtual Document Camera"}));

  ASSERT_TRUE(ChangeNotices().WaitForCount(3, 4s));
  ASSERT_EQ(replayed.lens.camUpdateCameraLib(), 0);
  EXPECT_EQ(replayed.Names(), (std::vector<std::string>{kDocCam, "Virtual Document Camera"}));

  // Camera 0 is still the document camera with its settings.
  ASSERT_EQ(replayed.lens.camOpenDev(0, 0, 640, 480), 0);
  char path[kTavrinLensPathBuffer] = {};
  std::strncpy(path, scratch.File("after.jpg").c_str(), sizeof path - 1);
  ASSERT_EQ(replayed.lens.camCaptureImageFile(0, path), 0);
  EXPECT_EQ(ReadFileFacts(scratch.File("after.jpg")).dpiX, 192);
  // Three bursts, three notices.
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(ChangeNotices().Values(), (std::vector<int>{0, 0, 0}));
}

TEST(LensV4l2, ACameraPulledOutMidStreamGivesANoticeAndFailingCaptures) {
  ScratchFolder scratch;
  ChangeNotices().Clear();
  ReplayedLens replayed(scratch, "doccam_pulled_out.rec", "document");
  ASSERT_TRUE(replayed.Load());
  ASSERT_EQ(replayed.lens.camRegCallBackDeviceChange(&OnDeviceChange), 0);
  ASSERT_EQ(replayed.lens.camOpenDev(0, 0, 640, 480), 0);
  ASSERT_TRUE(ChangeNotices().WaitForCount(1, 4s));
  // Gone: a capture says so at once instead of waiting for a frame.
  char path[kTavrinLensPathBuffer] = {};
  std::strncpy(path, scratch.File("late.jpg").c_str(), sizeof path - 1);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(replayed.lens.camCaptureImageFile(0, path), 6);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  EXPECT_FALSE(std::filesystem::exists(scratch.File("late.jpg")));
  ASSERT_EQ(replayed.lens.camUpdateCameraLib(), 0);
  EXPECT_EQ(replayed.Names(), std::vector<std::string>{"Virtual Document Camera"});
  EXPECT_EQ(ChangeNotices().Values().size(), 1u);
}

// -- The settings windows -----------------------------------------------

TEST(LensV4l2Settings, ImageWindowGivesEachTypeItsWidgetAndGreysWhatAutoModesOwn) {
  ScratchFolder scratch;
  ReplayedLens replayed(scratch, "doccam_8mp.rec", "");
  ASSERT_TRUE(replayed.Load());
  bool shown = false;
  WhileShown(
      [&](QDialog& dialog) {
        EXPECT_EQ(dialog.objectName(), "TavrinLensImageSettings");
        for (const char* name : {"Brightness", "Contrast", "Saturation", "Hue", "Gamma", "Gain",
                                 "Sharpness", "Backlight Compensation"}) {
          auto* slider = Find<QSlider>(dialog, name);
          ASSERT_NE(slider, nullptr) << name;
          EXPECT_TRUE(slider->isEnabled()) << name;
        }
        EXPECT_EQ(Find<QSlider>(dialog, "Contrast")->value(), 32);
        EXPECT_EQ(Find<QSlider>(dialog, "Brightness")->minimum(), -64);
        EXPECT_EQ(Find<QSpinBox>(dialog, "Gamma value")->value(), 100);

        auto* automatic = Find<QCheckBox>(dialog, "White Balance, Automatic");
        ASSERT_NE(automatic, nullptr);
        EXPECT_TRUE(automatic->isChecked());
        EXPECT_EQ(Find<QSlider>(dialog, "White Balance, Automatic"), nullptr);

        auto* powerLine = Find<QComboBox>(dialog, "Power Line Frequency");
        ASSERT_NE(powerLine, nullptr);
        ASSERT_EQ(powerLine->count(), 3);
        EXPECT_EQ(powerLine->itemText(0), "Disabled");
        EXPECT_EQ(powerLine->itemText(2), "60 Hz");
        EXPECT_EQ(powerLine->currentText(), "50 Hz");

        // Automatic white balance owns the temperature: greyed until it is off.
        auto* temperature = Find<QSlider>(dialog, "White Balance Temperature");
        ASSERT_NE(temperature, nullptr);
        EXPECT_FALSE(temperature->isEnabled());
        EXPECT_FALSE(Find<QSpinBox>(dialog, "White Balance Temperature value")->isEnabled());
        automatic->setChecked(false);
        EXPECT_TRUE(temperature->isEnabled());
        automatic->setChecked(true);
        EXPECT_FALSE(temperature->isEnabled());

        // Camera controls belong to the other window.
        EXPECT_EQ(Find<QSlider>(dialog, "Zoom, Absolute"), nullptr);
        EXPECT_EQ(Find<QComboBox>(dialog, "Auto Exposure"), nullptr);
      },
      false, &shown);
  EXPECT_EQ(replayed.lens.camShowImageSettingWindow(0), 0);
  EXPECT_TRUE(shown);
}

TEST(LensV4l2Settings, DeviceWindowHoldsTheCameraControlsInTheirSteps) {
  ScratchFolder scratch;
  ReplayedLens replayed(scratch, "doccam_8mp.rec", "");
  ASSERT_TRUE(replayed.Load());
  bool shown = false;
  WhileShown(
      [&](QDialog& dialog) {
        EXPECT_EQ(dialog.objectName(), "TavrinLensDeviceSettings");
        EXPECT_EQ(Find<QSlider>(dialog, "Brightness"), nullptr);
        for (const char* name : {"Zoom, Absolute", "Pan, Absolute", "Tilt, Absolute"})
          EXPECT_NE(Find<QSlider>(dialog, name), nullptr) << name;
        auto* autoFocus = Find<QCheckBox>(dialog, "Focus, Automatic Continuous");
        ASSERT_NE(autoFocus, nullptr);
        auto* focus = Find<QSlider>(dialog, "Focus, Absolute");
        ASSERT_NE(focus, nullptr);
        EXPECT_FALSE(focus->isEnabled());
        autoFocus->setChecked(false);
        EXPECT_TRUE(focus->isEnabled());

        // Only the entries the driver has, by name; picking manual frees the
        // exposure time.
        auto* exposureMode = Find<QComboBox>(dialog, "Auto Exposure");
        ASSERT_NE(exposureMode, nullptr);
        ASSERT_EQ(exposureMode->count(), 2);
        EXPECT_EQ(exposureMode->currentText(), "Aperture Priority Mode");
        auto* exposure = Find<QSlider>(dialog, "Exposure Time, Absolute");
        ASSERT_NE(exposure, nullptr);
        EXPECT_FALSE(exposure->isEnabled());
        exposureMode->setCurrentIndex(exposureMode->findText("Manual Mode"));
        EXPECT_TRUE(exposure->isEnabled());

        // Pan moves in whole steps of 3600: a value between goes to the nearest.
        auto* pan = Find<QSlider>(dialog, "Pan, Absolute");
        pan->setValue(5000);
        EXPECT_EQ(pan->value(), 3600);
        EXPECT_EQ(Find<QSpinBox>(dialog, "Pan, Absolute value")->value(), 3600);
        const std::vector<std::string> changed = replayed.Writes();

        // Defaults: the automatic modes come back on and own their values again.
        auto* buttons = dialog.findChild<QDialogButtonBox*>();
        ASSERT_NE(buttons, nullptr);
        buttons->button(QDialogButtonBox::RestoreDefaults)->click();
        EXPECT_TRUE(autoFocus->isChecked());
        EXPECT_FALSE(focus->isEnabled());
        EXPECT_EQ(exposureMode->currentText(), "Aperture Priority Mode");
        EXPECT_FALSE(exposure->isEnabled());
        EXPECT_EQ(pan->value(), 0);
        const std::vector<std::string> all = replayed.Writes();
        const std::vector<std::string> restored(all.begin() + static_cast<long>(changed.size()),
                                                all.end());
        EXPECT_EQ(restored.size(), 3u) << ::testing::PrintToString(restored);
        EXPECT_TRUE(Contains(restored, Write("0x009a0908", 0)));
        EXPECT_TRUE(Contains(restored, Write("0x009a090c", 1)));
        EXPECT_TRUE(Contains(restored, Write("0x009a0901", 3)));
        pan->setValue(-7000);  // for what OK keeps below
        EXPECT_EQ(pan->value(), -7200);
      },
      true, &shown);
  EXPECT_EQ(replayed.lens.camShowDevSettingWindow(0), 0);
  EXPECT_TRUE(shown);
  const std::vector<std::string> writes = replayed.Writes();
  EXPECT_TRUE(Contains(writes, Write("0x009a090c", 0))) << ::testing::PrintToString(writes);
  EXPECT_TRUE(Contains(writes, Write("0x009a0901", 1)));
  EXPECT_TRUE(Contains(writes, Write("0x009a0908", 3600)));
  EXPECT_FALSE(Contains(writes, Write("0x009a0908", 5000)));
  EXPECT_NE(ReadBytes(replayed.ConfPath()).find("0x009a0908=-7200"), std::string::npos);
}

TEST(LensV4l2Settings, ChangesReachTheCameraAtOnceAndCancelPutsThemBack) {
  ScratchFolder scratch;
  ReplayedLens replayed(scratch, "doccam_8mp.rec", "");
  ASSERT_TRUE(replayed.Load());
  ASSERT_EQ(replayed.lens.camOpenDev(0, 0, 640, 480), 0);
  bool shown = false;
  std::vector<std::string> whileOpen;
  WhileShown(
      [&](QDialog& dialog) {
        Find<QSlider>(dialog, "Brightness")->setValue(20);
        Find<QCheckBox>(dialog, "White Balance, Automatic")->setChecked(false);
        Find<QSlider>(dialog, "White Balance Temperature")->setValue(3300);
        auto* powerLine = Find<QComboBox>(dialog, "Power Line Frequency");
        powerLine->setCurrentIndex(powerLine->findText("60 Hz"));
        whileOpen = replayed.Writes();
      },
      false, &shown);
  EXPECT_EQ(replayed.lens.camShowImageSettingWindow(0), 0);
  ASSERT_TRUE(shown);
  // Each change went to the driver while the window was still open.
  EXPECT_EQ(whileOpen,
            (std::vector<std::string>{Write("0x00980900", 20), Write("0x0098090c", 0),
                                      Write("0x0098091a", 3300), Write("0x00980918", 2)}));

  // Cancel: the temperature goes back while it may still be set, then the
  // automatic mode, the others in any order.
  const std::vector<std::string> writes = replayed.Writes();
  ASSERT_GE(writes.size(), whileOpen.size());
  const std::vector<std::string> undo(writes.begin() + static_cast<long>(whileOpen.size()),
                                      writes.end());
  EXPECT_EQ(undo.size(), 4u) << ::testing::PrintToString(undo);
  for (const std::string& line : {Write("0x00980900", 0), Write("0x0098091a", 4600),
                                  Write("0x0098090c", 1), Write("0x00980918", 1)})
    EXPECT_TRUE(Contains(undo, line)) << line;
  const auto at = [&](const std::string& line) {
    return std::find(undo.begin(), undo.end(), line) - undo.begin();
  };
  EXPECT_LT(at(Write("0x0098091a", 4600)), at(Write("0x0098090c", 1)));

  // What was remembered is what the camera holds again.
  const std::string conf = ReadBytes(replayed.ConfPath());
  EXPECT_EQ(conf.find("0x00980900=20"), std::string::npos) << conf;
  EXPECT_NE(conf.find("0x00980900=0"), std::string::npos) << conf;
}

TEST(LensV4l2Settings, AcceptedValuesAreKeptInTheConfAndRestoredOnTheNextOpening) {
  ScratchFolder scratch;
  {
    ReplayedLens replayed(scratch, "doccam_8mp.rec", "");
    ASSERT_TRUE(replayed.Load());
    bool shown = false;
    WhileShown(
        [&](QDialog& dialog) {
          Find<QSlider>(dialog, "Brightness")->setValue(-12);
          Find<QCheckBox>(dialog, "White Balance, Automatic")->setChecked(false);
          Find<QSpinBox>(dialog, "White Balance Temperature value")->setValue(5100);
        },
        true, &shown);
    EXPECT_EQ(replayed.lens.camShowImageSettingWindow(0), 0);
    ASSERT_TRUE(shown);
    // Written when the window closes, with the camera still in the list.
    const std::string conf = ReadBytes(replayed.ConfPath());
    EXPECT_NE(conf.find(std::string("[") + kDocCam + "]"), std::string::npos) << conf;
    EXPECT_NE(conf.find("0x00980900=-12"), std::string::npos) << conf;
    EXPECT_NE(conf.find("0x0098090c=0"), std::string::npos) << conf;
    EXPECT_NE(conf.find("0x0098091a=5100"), std::string::npos) << conf;
  }

  // A new run: the camera comes up with the recorded defaults, and gets the
  // remembered values back when it opens.
  ReplayedLens replayed(scratch, "doccam_8mp.rec", "");
  ASSERT_TRUE(replayed.Load());
  EXPECT_TRUE(replayed.Writes().empty());
  ASSERT_EQ(replayed.lens.camOpenDev(0, 0, 640, 480), 0);
  const std::vector<std::string> restored = replayed.Writes();
  EXPECT_TRUE(Contains(restored, Write("0x00980900", -12))) << ::testing::PrintToString(restored);
  EXPECT_TRUE(Contains(restored, Write("0x0098091a", 5100)));
  bool shown = false;
  WhileShown(
      [&](QDialog& dialog) {
        EXPECT_EQ(Find<QSlider>(dialog, "Brightness")->value(), -12);
        EXPECT_FALSE(Find<QCheckBox>(dialog, "White Balance, Automatic")->isChecked());
        auto* temperature = Find<QSlider>(dialog, "White Balance Temperature");
        EXPECT_TRUE(temperature->isEnabled());
        EXPECT_EQ(temperature->value(), 5100);
      },
      false, &shown);
  EXPECT_EQ(replayed.lens.camShowImageSettingWindow(0), 0);
  EXPECT_TRUE(shown);
}

TEST(LensV4l2Settings, ARefusedValueIsNamedAndTheWidgetShowsWhatTheCameraHolds) {
  ScratchFolder scratch;
  ReplayedLens replayed(scratch, "webcam_1080p.rec", "");
  ASSERT_TRUE(replayed.Load());
  bool shown = false;
  WhileShown(
      [&](QDialog& dialog) {
        // A relative move has no value to show.
        EXPECT_EQ(Find<QSlider>(dialog, "Pan, Relative"), nullptr);
        EXPECT_EQ(dialog.findChild<QWidget*>("Pan, Reset"), nullptr);
        // The privacy shutter is reported but cannot be set: greyed.
        auto* privacy = Find<QCheckBox>(dialog, "Privacy");
        ASSERT_NE(privacy, nullptr);
        EXPECT_FALSE(privacy->isEnabled());
        // Forced anyway, the camera refuses it and the window says so.
        privacy->setChecked(true);
        EXPECT_FALSE(privacy->isChecked());
        auto* status = dialog.findChild<QLabel*>("status");
        ASSERT_NE(status, nullptr);
        EXPECT_TRUE(status->text().contains("Privacy")) << status->text().toStdString();
        // Focus moves in steps of 5.
        Find<QCheckBox>(dialog, "Focus, Automatic Continuous")->setChecked(false);
        auto* focus = Find<QSlider>(dialog, "Focus, Absolute");
        focus->setValue(12);
        EXPECT_EQ(focus->value(), 10);
        EXPECT_TRUE(status->text().isEmpty());
      },
      true, &shown);
  EXPECT_EQ(replayed.lens.camShowDevSettingWindow(0), 0);
  EXPECT_TRUE(shown);
  const std::vector<std::string> writes = replayed.Writes();
  EXPECT_TRUE(Contains(writes, "/dev/video2 0x009a0910 1 -> error -13"))
      << ::testing::PrintToString(writes);
  EXPECT_TRUE(Contains(writes, "/dev/video2 0x009a090a 10 -> 10"));
}

}  // namespace
}  // namespace tavrin::lens_test

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
