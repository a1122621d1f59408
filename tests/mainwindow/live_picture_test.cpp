// The scan window while the user lines up pages: the companion windows
// leave the live picture free and follow the window, a camera switch or a
// device change gives the new camera the options the lists show and keeps
// the user's choices, continuous capture goes on after a switch, and a
// capture never runs inside another capture's message box.
#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>

#include "mainwindow/auto_capture_dlg.h"
#include "mainwindow/message_box.h"
#include "resources/dialog_ids.h"
#include "tests/mainwindow/capture_fixture.h"

namespace tavrin {
namespace {

using test::CaptureFixture;
using test::Pump;
using test::SmallCameras;
using test::WaitFor;
namespace fs = std::filesystem;

class LivePictureTest : public CaptureFixture {
 protected:
  // The live picture on screen, in global coordinates.
  QRect Picture() const {
    QWidget* host = window->PreviewHost();
    return QRect(host->mapToGlobal(QPoint(0, 0)), host->size());
  }
  QPoint Offset(QWidget* companion) const {
    return companion->frameGeometry().topLeft() - window->frameGeometry().topLeft();
  }
  void MoveWindowBy(QPoint by) {
    const QPoint to = window->pos() + by;
    window->move(to);
    ASSERT_TRUE(WaitFor([&] { return window->pos() == to; }));
    Pump(50);
  }
  QImage LastCapture() const {
    const std::vector<std::string> files = Listed();
    return files.empty() ? QImage() : QImage(QString::fromStdString(files.back()));
  }
  // A capture with the options set below: grey, one page cut out, turned
  // left. The upright page of the 800 x 600 frame comes out lying.
  void ExpectGreyPageTurnedLeft(const QImage& image) {
    ASSERT_FALSE(image.isNull());
    EXPECT_TRUE(image.isGrayscale());
    EXPECT_GT(image.width(), image.height());
    // Cut to the page: paper, not the dark desk, in the corners.
    EXPECT_GT(qGray(image.pixel(3, 3)), 150);
    EXPECT_GT(qGray(image.pixel(image.width() - 4, image.height() - 4)), 150);
  }
  void ChooseGreyPageTurnedLeft() {
    Choose(kIdColorCombo, kColorItemGrey);
    Choose(kIdCropCombo, kTavrinCropSinglePage);
    Choose(kIdRotateCombo, kTavrinRotateLeft);
  }
};

TEST_F(LivePictureTest, CompanionWindowsLeaveThePictureFreeAndFollowTheWindow) {
  SetCameras(test::kTwoCameras);
  ScanSettings settings = SmallCameras();
  settings.Webcam.isEnable = 1;
  settings.MergeHV.direction = 2;
  ASSERT_TRUE(Start(settings));
  Pump(100);

  // The webcam's picture lies beside the main one, both in the picture area.
  QWidget* webcam = Probe().WebcamPreview();
  ASSERT_TRUE(webcam->isVisible());
  const QRect area = window->Control(kIdPreviewArea)->geometry();
  EXPECT_FALSE(webcam->geometry().intersects(window->PreviewHost()->geometry()));
  EXPECT_TRUE(area.contains(webcam->geometry()));
  EXPECT_TRUE(area.contains(window->PreviewHost()->geometry()));
  EXPECT_GE(webcam->width(), area.width() / 5);
  // A layout that grows the picture area takes both pictures along.
  QWidget* areaControl = window->Control(kIdPreviewArea);
  areaControl->resize(area.size() + QSize(200, 100));
  const QRect grown = areaControl->geometry();
  EXPECT_EQ(webcam->geometry().right(), grown.right());
  EXPECT_EQ(window->PreviewHost()->geometry().bottom(), grown.bottom());
  EXPECT_FALSE(webcam->geometry().intersects(window->PreviewHost()->geometry()));
  areaControl->setGeometry(area);

  // The merge preview, shown after the window moved while it was hidden,
  // comes up beside the picture at the window's new place.
  Check(kIdMergeCheck)->setChecked(true);
  emit Check(kIdMergeCheck)->clicked(true);
  QWidget* merge = Probe().MergePreview();
  ASSERT_TRUE(merge->isVisible());
  EXPECT_FALSE(merge->frameGeometry().intersects(Picture()));
  const QPoint mergeOffset = Offset(merge);
  MoveWindowBy({30, 20});
  EXPECT_EQ(Offset(merge), mergeOffset) << "follows the window";
  Click(kIdMergeCheck);
  ASSERT_FALSE(merge->isVisible());
  MoveWindowBy({-50, 10});
  Click(kIdMergeCheck);
  ASSERT_TRUE(merge->isVisible());
  EXPECT_EQ(Offset(merge), mergeOffset);
  EXPECT_FALSE(merge->frameGeometry().intersects(Picture()));

  // The continuous-capture dialog too.
  Click(kIdAutoCaptureButton);
  CAutoCaptureDlg* run = Probe().AutoCapture();
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(WaitFor([&] { return run->isVisible(); }));
  Pump(50);
  EXPECT_FALSE(run->frameGeometry().intersects(Picture()));
  const QPoint runOffset = Offset(run);
  MoveWindowBy({20, -15});
  EXPECT_EQ(Offset(run), runOffset);
  run->OnEnd();
}

TEST_F(LivePictureTest, SwitchingTheMainCameraGivesItTheOptionsTheListsShow) {
  SetCameras("document?sizes=800x600,document?sizes=800x600");
  ASSERT_TRUE(Start(SmallCameras()));
  ChooseGreyPageTurnedLeft();
  Choose(kIdDeviceCombo, 1);
  ASSERT_EQ(Probe().CurrentCamera(), 1);
  Press();
  ExpectGreyPageTurnedLeft(LastCapture());
}

TEST_F(LivePictureTest, ADeviceChangeKeepsTheUsersChoicesAndGivesThemToTheCamera) {
  SetCameras("document?sizes=800x600");
  ScanSettings settings = SmallCameras();
  settings.Webcam.isMerge = 1;
  settings.autoCaptureType = 0;
  ASSERT_TRUE(Start(settings));
  ChooseGreyPageTurnedLeft();
  Choose(kIdAutoCaptureModeCombo, 1);
  Check(kIdWebcamMergeCheck)->setChecked(false);

  SetCameras(test::kTwoCameras);
  ASSERT_TRUE(WaitFor([&] { return Combo(kIdDeviceCombo)->count() == 2; }, 10000));
  Pump(100);
  EXPECT_EQ(Combo(kIdCropCombo)->currentIndex(), 1);
  EXPECT_EQ(Combo(kIdColorCombo)->currentIndex(), 1);
  EXPECT_EQ(Combo(kIdRotateCombo)->currentIndex(), 1);
  EXPECT_EQ(Combo(kIdAutoCaptureModeCombo)->currentIndex(), 1);
  EXPECT_FALSE(Check(kIdWebcamMergeCheck)->isChecked());
  Press();
  ExpectGreyPageTurnedLeft(LastCapture());
}

TEST_F(LivePictureTest, ContinuousCaptureGoesOnAfterASwitchAndSaysWhyItStops) {
  SetCameras("document?sizes=800x600,document?sizes=800x600");
  ASSERT_TRUE(Start(SmallCameras()));
  Choose(kIdAutoCaptureModeCombo, 0);  // timed: a shot every five seconds
  Click(kIdAutoCaptureButton);
  CAutoCaptureDlg* run = Probe().AutoCapture();
  ASSERT_NE(run, nullptr);
  auto* progress = qobject_cast<QProgressBar*>(run->Control(idd135::kProgress));
  ASSERT_TRUE(WaitFor([&] { return progress->value() >= 1; }, 3000));

  Choose(kIdDeviceCombo, 1);
  EXPECT_TRUE(run->IsRunning());
  ClearCalls();
  ASSERT_TRUE(WaitFor([&] { return run->ShotCount() >= 1; }, 9000)) << "the run went on";
  const std::vector<test::LensCall> captures = Calls("camCaptureImageFile");
  ASSERT_FALSE(captures.empty());
  EXPECT_EQ(captures.back().args.front(), "1") << "on the camera now chosen";

  SetCameras("");
  ASSERT_TRUE(WaitFor([&] { return Combo(kIdDeviceCombo)->count() == 0; }, 10000));
  EXPECT_FALSE(run->IsRunning());
  EXPECT_TRUE(run->Control(idd135::kStart)->isEnabled());
  auto* why = qobject_cast<QLabel*>(run->Control(idd135::kCountdown));
  EXPECT_TRUE(why->isVisible());
  EXPECT_EQ(why->text(), "No Camera");
  run->OnEnd();
}

TEST_F(LivePictureTest, ACaptureOrDeviceChangeComingDuringACapturesMessageBoxRunsAfterIt) {
  SetCameras("document?sizes=800x600");
  ScanSettings settings = SmallCameras();
  settings.MergeHV.isEnable = 1;
  settings.MergeHV.direction = 1;
  ASSERT_TRUE(Start(settings));
  Press();
  const std::string first = Probe().MergeFirstPath();
  ASSERT_FALSE(first.empty());
  // The pair cannot be combined once its first picture is gone: the second
  // press shows a failure box.
  fs::remove(first);

  std::string pairedDuringBox = "-";
  int camerasDuringBox = -1;
  SetMessageBoxObserver([&](const QString& text) {
    messages.push_back(text);
    // While the box is open: a shot of continuous capture and a camera
    // plugged in, with the box's event loop running.
    Probe().OnCapture();
    SetCameras(test::kTwoCameras);
    Pump(2500);
    pairedDuringBox = Probe().MergeSecondPath();
    camerasDuringBox = Combo(kIdDeviceCombo)->count();
  });
  Press();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_FALSE(pairedDuringBox.empty()) << "the outer capture's pair was left alone";
  EXPECT_EQ(camerasDuringBox, 1);

  // Afterwards both ran: the shot begins a new pair and is not forgotten.
  ASSERT_TRUE(WaitFor([&] { return Combo(kIdDeviceCombo)->count() == 2; }, 10000));
  ASSERT_TRUE(WaitFor([&] { return !Probe().MergeFirstPath().empty(); }));
  EXPECT_TRUE(fs::exists(Probe().MergeFirstPath()));
  EXPECT_TRUE(Probe().MergeSecondPath().empty());
  EXPECT_EQ(messages.size(), 1u);
}

}  // namespace
}  // namespace tavrin
