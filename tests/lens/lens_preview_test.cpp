// The live preview on real widgets (offscreen platform): frames arrive and
// are painted, zoom steps change the painted scale, the crop frame follows
// the mouse and decides what a capture keeps, the picture pans and zooms
// under the mouse, it shows the capture's colour, rotation and found page,
// and the settings windows change the picture.
#include <QApplication>
#include <QMouseEvent>
#include <QSlider>
#include <QTimer>
#include <QWheelEvent>
#include <QWidget>
#include <cstring>
#include <thread>

#include "tests/lens/lens_test_support.h"
#include "tests/support/wait.h"

namespace tavrin::lens_test {
namespace {

using namespace std::chrono_literals;

using test::WaitFor;

QWidget* PreviewOf(QWidget& host) {
  return host.findChild<QWidget*>("TavrinLensPreview");
}

qulonglong Painted(QWidget* preview) {
  return preview->property("framesPainted").toULongLong();
}

class LensPreview : public ::testing::Test {
 protected:
  void SetUp() override {
    host.resize(400, 300);
    host.show();
  }
  void Start(const std::string& cameras, int width, int height) {
    UseVirtualCameras(cameras);
    loaded = std::make_unique<LoadedLens>();
    ASSERT_TRUE(loaded->Ready());
    ASSERT_EQ(loaded->lens.camOpenDev(0, 0, width, height), 0);
    ASSERT_EQ(loaded->lens.camSetPreviewWindow(0, reinterpret_cast<void*>(host.winId())), 0);
    preview = PreviewOf(host);
    ASSERT_NE(preview, nullptr);
    ASSERT_TRUE(WaitFor([&] { return Painted(preview) >= 2; }));
  }
  void TearDown() override { loaded.reset(); }
  int Capture(const std::string& path) {
    char buffer[1024] = {};
    std::strncpy(buffer, path.c_str(), sizeof buffer - 1);
    return loaded->lens.camCaptureImageFile(0, buffer);
  }
  double Scale() const { return preview->property("paintedScale").toDouble(); }
  QImage Grab() { return preview->grab().toImage(); }

  QWidget host;
  QWidget* preview = nullptr;
  ScratchFolder scratch;
  std::unique_ptr<LoadedLens> loaded;
};

TEST_F(LensPreview, PaintsRunningFramesFittedToTheHost) {
  Start("document?sizes=800x600", 800, 600);
  EXPECT_EQ(preview->geometry(), host.rect());
  const auto firstSequence = preview->property("frameSequence").toULongLong();
  ASSERT_TRUE(WaitFor(
      [&] { return preview->property("frameSequence").toULongLong() > firstSequence + 3; }));
  EXPECT_DOUBLE_EQ(Scale(), 0.5);  // 800 x 600 into 400 x 300
  const QImage shot = Grab();
  EXPECT_GT(qGray(shot.pixel(200, 60)), 200) << "the page in the middle";
  EXPECT_LT(qGray(shot.pixel(4, 4)), 110) << "the desk at the corner";
  // The host grows, the preview follows and fits again.
  host.resize(800, 600);
  ASSERT_TRUE(WaitFor([&] { return Scale() == 1.0; }));
  EXPECT_EQ(preview->size(), QSize(800, 600));
}

TEST_F(LensPreview, ZoomStepsOneToOneAndFitChangeThePaintedScale) {
  Start("document?sizes=800x600", 800, 600);
  ASSERT_DOUBLE_EQ(Scale(), 0.5);
  loaded->lens.camZooIn(0);
  ASSERT_TRUE(WaitFor([&] { return Scale() != 0.5; }));
  EXPECT_DOUBLE_EQ(Scale(), 0.625);
  loaded->lens.camZooIn(0);
  ASSERT_TRUE(WaitFor([&] { return Scale() != 0.625; }));
  EXPECT_DOUBLE_EQ(Scale(), 0.78125);
  loaded->lens.camZoomOut(0);
  ASSERT_TRUE(WaitFor([&] { return Scale() != 0.78125; }));
  EXPECT_DOUBLE_EQ(Scale(), 0.625);
  loaded->lens.camOriginalPreview(0);
  // The first paint at 1:1 may still show the last smaller copy enlarged.
  ASSERT_TRUE(WaitFor([&] {
    return Scale() == 1.0 && preview->property("previewSize").toSize() == QSize(800, 600);
  }));
  // At 1:1 the middle of the frame is shown, unscaled: the page fills the
  // middle of the view, and the frame stamp in its lower left corner is out
  // of sight.
  const QImage shot = Grab();
  EXPECT_GT(qGray(shot.pixel(200, 150)), 200);
  EXPECT_GT(qGray(shot.pixel(200, 10)), 200);
  loaded->lens.camOptimalPreview(0);
  ASSERT_TRUE(WaitFor([&] { return Scale() == 0.5; }));
}

void Drag(QWidget* target, QPointF from, QPointF to, Qt::MouseButton button = Qt::LeftButton) {
  QMouseEvent press(QEvent::MouseButtonPress, from, from, button, button, Qt::NoModifier);
  QApplication::sendEvent(target, &press);
  // Two steps, as a hand moves: the first one past the click distance.
  for (const QPointF& at : {from + (to - from) / 2, to}) {
    QMouseEvent move(QEvent::MouseMove, at, at, Qt::NoButton, button, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
  }
  QMouseEvent release(QEvent::MouseButtonRelease, to, to, button, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(target, &release);
}

void Wheel(QWidget* target, QPointF at, int delta, Qt::KeyboardModifiers modifiers) {
  QWheelEvent wheel(at, target->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                    modifiers, Qt::NoScrollPhase, false);
  QApplication::sendEvent(target, &wheel);
}

bool IsFrameBlue(QRgb pixel) {
  return qBlue(pixel) > 200 && qRed(pixel) < 60;
}

// Mean grey difference between a patch of after and the same patch of
// before moved by shift.
double PatchDifference(const QImage& before, const QImage& after, QPoint shift) {
  double sum = 0;
  int count = 0;
  for (int y = 80; y < 220; y += 3) {
    for (int x = 100; x < 300; x += 3) {
      sum += std::abs(qGray(after.pixel(x + shift.x(), y + shift.y())) - qGray(before.pixel(x, y)));
      ++count;
    }
  }
  return sum / count;
}

TEST_F(LensPreview, DraggingDrawsANewCropFrameKeptOnThePictureWhenZooming) {
  Start("document?sizes=800x600", 800, 600);
  // As the window's Custom Cut sets it: the whole picture, which fills the
  // host, so its corners lie on the host's corners.
  ASSERT_EQ(loaded->lens.camSetImageCusCropRect(0, 0, 0, 100, 100), 0);
  ASSERT_TRUE(WaitFor([&] { return IsFrameBlue(Grab().pixel(200, 0)); }));
  const QImage whole = Grab();
  EXPECT_TRUE(IsFrameBlue(whole.pixel(5, 5))) << "the top left grip lies wholly on screen";
  EXPECT_TRUE(IsFrameBlue(whole.pixel(393, 293))) << "and so does the bottom right one";

  // A drag across the page draws a new frame from 30 % to 70 %.
  Drag(preview, {120, 90}, {280, 210});
  ASSERT_EQ(Capture(scratch.File("drawn.png")), 0);
  FileFacts facts = ReadFileFacts(scratch.File("drawn.png"));
  EXPECT_EQ(facts.width, 320);
  EXPECT_EQ(facts.height, 240);

  // At 1:1 the frame stays on the same part of the picture: 240 .. 560 of
  // the 800 frame pixels, of which 200 .. 600 are on screen.
  loaded->lens.camOriginalPreview(0);
  ASSERT_TRUE(WaitFor([&] { return Scale() == 1.0; }));
  ASSERT_TRUE(WaitFor([&] { return IsFrameBlue(Grab().pixel(40, 150)); }));
  const QImage zoomed = Grab();
  EXPECT_TRUE(IsFrameBlue(zoomed.pixel(360, 150)));
  EXPECT_TRUE(IsFrameBlue(zoomed.pixel(200, 30)));
  EXPECT_FALSE(IsFrameBlue(zoomed.pixel(120, 150)));
  // A click inside is no drag: the frame stays.
  Drag(preview, {200, 150}, {201, 150});
  ASSERT_EQ(Capture(scratch.File("kept.png")), 0);
  EXPECT_EQ(ReadFileFacts(scratch.File("kept.png")).width, 320);
}

TEST_F(LensPreview, DragAndWheelPanAndCtrlWheelZoomsAroundThePointer) {
  Start("document?sizes=800x600", 800, 600);
  loaded->lens.camOriginalPreview(0);
  ASSERT_TRUE(WaitFor([&] { return Scale() == 1.0; }));
  const QImage centred = Grab();
  // Dragging the picture 60 right and 40 down shows what lay up and left.
  Drag(preview, {200, 150}, {260, 190});
  ASSERT_TRUE(WaitFor([&] { return PatchDifference(centred, Grab(), {60, 40}) < 6; }));
  const QImage dragged = Grab();
  EXPECT_GT(PatchDifference(centred, dragged, {0, 0}), 12) << "the picture did move";
  // A wheel notch down scrolls the picture up.
  Wheel(preview, {200, 150}, -120, Qt::NoModifier);
  ASSERT_TRUE(WaitFor([&] { return PatchDifference(dragged, Grab(), {0, -60}) < 6; }));
  // The middle button pans too, also over a crop frame.
  ASSERT_EQ(loaded->lens.camSetImageCusCropRect(0, 25, 25, 75, 75), 0);
  loaded->lens.camOptimalPreview(0);
  ASSERT_TRUE(WaitFor([&] { return Scale() == 0.5; }));
  // Fitted, the frame's left edge is at 100; Ctrl+wheel there zooms in and
  // keeps that edge under the pointer.
  ASSERT_TRUE(WaitFor([&] { return IsFrameBlue(Grab().pixel(100, 150)); }));
  Wheel(preview, {100, 150}, 120, Qt::ControlModifier);
  ASSERT_TRUE(WaitFor([&] { return Scale() == 0.625; }));
  const QImage anchored = Grab();
  EXPECT_TRUE(IsFrameBlue(anchored.pixel(100, 150)));
  EXPECT_FALSE(IsFrameBlue(anchored.pixel(75, 150))) << "where a zoom about the centre puts it";
  Drag(preview, {200, 150}, {150, 150}, Qt::MiddleButton);
  ASSERT_TRUE(WaitFor([&] { return IsFrameBlue(Grab().pixel(50, 150)); }));
  ASSERT_EQ(Capture(scratch.File("frame.png")), 0);
  EXPECT_EQ(ReadFileFacts(scratch.File("frame.png")).width, 400) << "panning leaves the frame";
}

// Above the frame stamp, which is green too.
int GreenPixels(const QImage& image, QRect* box) {
  int count = 0;
  QRect found;
  for (int y = 0; y < image.height() - 30; ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QRgb pixel = image.pixel(x, y);
      if (qGreen(pixel) > 170 && qRed(pixel) < 110 && qBlue(pixel) < 150) {
        ++count;
        found |= QRect(x, y, 1, 1);
      }
    }
  }
  if (box != nullptr) *box = found;
  return count;
}

int Colourfulness(const QImage& image, QRect area) {
  int most = 0;
  for (int y = area.top(); y <= area.bottom(); y += 4) {
    for (int x = area.left(); x <= area.right(); x += 4) {
      const QRgb p = image.pixel(x, y);
      most = std::max(most, std::max({qRed(p), qGreen(p), qBlue(p)}) -
                                std::min({qRed(p), qGreen(p), qBlue(p)}));
    }
  }
  return most;
}

TEST_F(LensPreview, ShowsTheColourModeRotationAndThePageTheCropWillCut) {
  Start("document?sizes=800x600", 800, 600);
  const QRect all(0, 0, 400, 300);
  ASSERT_GT(Colourfulness(Grab(), all), 20) << "the desk is brown";
  ASSERT_EQ(loaded->lens.camSetImageAdjust(0, 3), 0);
  ASSERT_TRUE(WaitFor([&] { return Colourfulness(Grab(), all) <= 2; })) << "grey";
  ASSERT_EQ(loaded->lens.camSetImageAdjust(0, 4), 0);
  ASSERT_TRUE(WaitFor([&] {
    const QImage shot = Grab();
    for (int x = 0; x < 400; x += 7) {
      const int grey = qGray(shot.pixel(x, 150));
      if (grey > 20 && grey < 235) return false;
    }
    return true;
  })) << "black and white";

  // Turned left, the 800 x 600 frame shows as 600 x 800: 225 x 300 in the
  // middle of the host. The frame's bottom, where the desk is lighter, is
  // then on the right.
  ASSERT_EQ(loaded->lens.camSetImageAdjust(0, 0), 0);
  ASSERT_EQ(loaded->lens.camSetImageRotateMode(0, 1), 0);
  ASSERT_TRUE(WaitFor([&] { return Grab().pixel(40, 150) == qRgb(32, 32, 34); }))
      << "beside the picture";
  QImage turned = Grab();
  const auto deskGrey = [&](int x) {
    int sum = 0;
    for (int y = 2; y < 8; ++y) sum += qGray(turned.pixel(x, y));
    return sum / 6;
  };
  EXPECT_LT(deskGrey(92), deskGrey(306));
  ASSERT_EQ(loaded->lens.camSetImageRotateMode(0, 3), 0);
  ASSERT_TRUE(WaitFor([&] {
    turned = Grab();
    return deskGrey(92) > deskGrey(306);
  })) << "turned right, the other way";

  // The automatic crop outlines the page it will cut out; the outline
  // spans about the page's size on screen.
  ASSERT_EQ(loaded->lens.camSetImageRotateMode(0, 0), 0);
  ASSERT_TRUE(WaitFor([&] { return Grab().pixel(40, 150) != qRgb(32, 32, 34); }));
  EXPECT_EQ(GreenPixels(Grab(), nullptr), 0);
  ASSERT_EQ(loaded->lens.camSetImageAutoCrop(0, 1), 0);
  QRect box;
  ASSERT_TRUE(WaitFor([&] { return GreenPixels(Grab(), &box) > 300; }));
  ASSERT_EQ(Capture(scratch.File("page.png")), 0);
  const FileFacts page = ReadFileFacts(scratch.File("page.png"));
  EXPECT_NEAR(box.width(), page.width / 2, page.width / 8);
  EXPECT_NEAR(box.height(), page.height / 2, page.height / 8);
  ASSERT_EQ(loaded->lens.camSetImageAutoCrop(0, 0), 0);
  ASSERT_TRUE(WaitFor([&] { return GreenPixels(Grab(), nullptr) == 0; }));
}

TEST_F(LensPreview, PageOutlineFollowsEachPageLaidDownElsewhere) {
  // A new page every second, each lying a little to the side of the last:
  // the outline moves with it, however long the page before lay still. The
  // bounds leave room for the sanitized build on a busy machine.
  Start("document?turn=1&sizes=800x600", 800, 600);
  ASSERT_EQ(loaded->lens.camSetImageAutoCrop(0, 1), 0);
  const auto outlineCentre = [&] {
    QRect box;
    return GreenPixels(Grab(), &box) > 300 ? box.center().x() : -1;
  };
  int first = -1;
  ASSERT_TRUE(WaitFor([&] { return (first = outlineCentre()) > 0; }));
  int moved = -1;
  ASSERT_TRUE(WaitFor(
      [&] {
        moved = outlineCentre();
        return moved > 0 && std::abs(moved - first) > 10;
      },
      15000))
      << "outline stayed at " << first;
  ASSERT_TRUE(WaitFor(
      [&] {
        const int back = outlineCentre();
        return back > 0 && std::abs(back - moved) > 10;
      },
      15000))
      << "outline stayed at " << moved;
}

TEST_F(LensPreview, DetachingAndReattachingReplacesThePreview) {
  Start("document?sizes=640x480,webcam", 640, 480);
  ASSERT_EQ(loaded->lens.camSetPreviewWindow(0, nullptr), 0);
  EXPECT_EQ(PreviewOf(host), nullptr);
  ASSERT_EQ(loaded->lens.camOpenDev(1, 0, 320, 240), 0);
  ASSERT_EQ(loaded->lens.camSetPreviewWindow(1, reinterpret_cast<void*>(host.winId())), 0);
  ASSERT_EQ(loaded->lens.camSetPreviewWindow(0, reinterpret_cast<void*>(host.winId())), 0);
  EXPECT_EQ(host.findChildren<QWidget*>("TavrinLensPreview").size(), 1) << "one preview per host";
  EXPECT_NE(loaded->lens.camSetPreviewWindow(0, reinterpret_cast<void*>(uintptr_t{0xdead})), 0);
  // Closing the camera leaves the preview showing no picture.
  preview = PreviewOf(host);
  ASSERT_NE(preview, nullptr);
  loaded->lens.camCloseDev(0);
  ASSERT_TRUE(WaitFor([&] { return qGray(Grab().pixel(200, 100)) < 60; }));
}

TEST_F(LensPreview, CropFrameFollowsTheMouseAndDecidesWhatACaptureKeeps) {
  Start("document?sizes=800x600", 800, 600);
  ASSERT_EQ(loaded->lens.camSetImageCusCropRect(0, 0, 0, 100, 100), 0);
  ASSERT_TRUE(WaitFor([&] {
    const QImage shot = Grab();
    return qBlue(shot.pixel(200, 0)) > 200 && qRed(shot.pixel(200, 0)) < 60;
  })) << "the frame is drawn along the edge";
  // Drag the right edge to the middle and the bottom edge up a quarter.
  auto drag = [&](QPointF from, QPointF to) {
    QMouseEvent press(QEvent::MouseButtonPress, from, from, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(preview, &press);
    QMouseEvent move(QEvent::MouseMove, to, to, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(preview, &move);
    QMouseEvent release(QEvent::MouseButtonRelease, to, to, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(preview, &release);
  };
  drag({399, 150}, {200, 150});
  drag({100, 299}, {100, 225});
  ASSERT_EQ(Capture(scratch.File("crop.png")), 0);
  FileFacts facts = ReadFileFacts(scratch.File("crop.png"));
  EXPECT_EQ(facts.width, 400);
  EXPECT_EQ(facts.height, 450);
  // Moving the whole frame keeps its size.
  drag({100, 100}, {140, 100});
  ASSERT_EQ(Capture(scratch.File("moved.png")), 0);
  facts = ReadFileFacts(scratch.File("moved.png"));
  EXPECT_EQ(facts.width, 400);
  // Four zeros switch it off: the whole frame again.
  ASSERT_EQ(loaded->lens.camSetImageCusCropRect(0, 0, 0, 0, 0), 0);
  ASSERT_EQ(Capture(scratch.File("whole.png")), 0);
  EXPECT_EQ(ReadFileFacts(scratch.File("whole.png")).width, 800);
}

// Finds the open settings window once it is shown, sets one slider and
// presses OK or Cancel.
void AnswerSettingsWindow(const char* slider, int value, bool accept, bool* seen) {
  QTimer::singleShot(50, [=] {
    QWidget* dialog = QApplication::activeModalWidget();
    if (dialog == nullptr) {
      AnswerSettingsWindow(slider, value, accept, seen);
      return;
    }
    auto* control = dialog->findChild<QSlider*>(slider);
    *seen = control != nullptr;
    if (control != nullptr) control->setValue(value);
    QMetaObject::invokeMethod(dialog, accept ? "accept" : "reject");
  });
}

double MeanGrey(const std::string& path) {
  const QImage image =
      QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_Grayscale8);
  double sum = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) sum += qGray(image.pixel(x, y));
  }
  return sum / (image.width() * image.height());
}

TEST_F(LensPreview, SettingsWindowsChangeThePictureAndCancelPutsItBack) {
  Start("webcam", 320, 240);
  ASSERT_EQ(Capture(scratch.File("before.png")), 0);
  const double before = MeanGrey(scratch.File("before.png"));

  bool seen = false;
  AnswerSettingsWindow("Brightness", 80, true, &seen);
  EXPECT_EQ(loaded->lens.camShowImageSettingWindow(0), 0);
  EXPECT_TRUE(seen);
  std::this_thread::sleep_for(300ms);  // a frame rendered with the new value
  ASSERT_EQ(Capture(scratch.File("brighter.png")), 0);
  EXPECT_GT(MeanGrey(scratch.File("brighter.png")), before + 30);

  seen = false;
  AnswerSettingsWindow("Exposure", -100, false, &seen);
  EXPECT_EQ(loaded->lens.camShowDevSettingWindow(0), 0);
  EXPECT_TRUE(seen);
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(Capture(scratch.File("cancelled.png")), 0);
  EXPECT_NEAR(MeanGrey(scratch.File("cancelled.png")), MeanGrey(scratch.File("brighter.png")), 3);

  // The device window holds the device controls only.
  seen = true;
  AnswerSettingsWindow("Brightness", 0, false, &seen);
  loaded->lens.camShowDevSettingWindow(0);
  EXPECT_FALSE(seen);
}

int RedPixels(const std::string& path) {
  const QImage image(QString::fromStdString(path));
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QRgb pixel = image.pixel(x, y);
      if (qRed(pixel) > 200 && qGreen(pixel) < 60 && qBlue(pixel) < 60) ++count;
    }
  }
  return count;
}

TEST_F(LensPreview, WatermarkIsDrawnIntoTheCapturedFile) {
  Start("document?sizes=640x480", 640, 480);
  ASSERT_EQ(Capture(scratch.File("plain.png")), 0);
  ASSERT_EQ(loaded->lens.camSetImageWaterMark(0, "TAVRIN 2026", 0, 48, "Arial", 0, 0, 1, 0.0F, 0.0F,
                                              255, 0, 0, 1),
            0);
  ASSERT_EQ(Capture(scratch.File("marked.png")), 0);
  EXPECT_EQ(RedPixels(scratch.File("plain.png")), 0);
  EXPECT_GT(RedPixels(scratch.File("marked.png")), 100);
}

TEST_F(LensPreview, WidgetCallsFromAnotherThreadAreRefused) {
  Start("webcam", 320, 240);
  int result = 0;
  std::thread other([&] { result = loaded->lens.camSetPreviewWindow(0, nullptr); });
  other.join();
  EXPECT_EQ(result, 10);
  EXPECT_NE(PreviewOf(host), nullptr);
  // Zoom only changes the view state, which any thread may do.
  std::thread zoom([&] { result = loaded->lens.camZooIn(0); });
  zoom.join();
  EXPECT_EQ(result, 0);
}

}  // namespace
}  // namespace tavrin::lens_test

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
