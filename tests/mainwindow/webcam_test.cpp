// The webcam controls of the real window with virtual cameras: which camera
// opens, the size list, the size change, the merge settings and the
// webcam's own capture button, with the camera-library calls they make.
#include <QTimer>

#include "dialogs/merge_option_dlg.h"
#include "resources/dialog_ids.h"
#include "tests/mainwindow/capture_fixture.h"

namespace tavrin {
namespace {

using test::CaptureFixture;
using test::LensCall;
using test::OnNextDialog;
namespace fs = std::filesystem;

using Args = std::vector<std::string>;

std::vector<Args> ArgsOf(const std::vector<LensCall>& calls) {
  std::vector<Args> args;
  for (const LensCall& call : calls) args.push_back(call.args);
  return args;
}

class WebcamTest : public CaptureFixture {
 protected:
  ScanSettings SmallWebcam() const {
    ScanSettings settings;
    settings.Webcam.WebcamWidth = 320;
    settings.Webcam.WebcamHeight = 240;
    settings.cutType = kTavrinCropNone;
    return settings;
  }
  QStringList Items(int id) const {
    QStringList items;
    for (int i = 0; i < Combo(id)->count(); ++i) items << Combo(id)->itemText(i);
    return items;
  }
};

TEST_F(WebcamTest, OneCameraLeavesTheWebcamOff) {
  ASSERT_TRUE(Start(SmallWebcam()));
  EXPECT_FALSE(Check(kIdWebcamCheck)->isEnabled());
  EXPECT_TRUE(window->Control(kIdWebcamCaptureButton)->isHidden());
  EXPECT_EQ(Probe().WebcamCamera(), -1);
}

TEST_F(WebcamTest, WithTheMainCameraAtOneTurningTheWebcamOnOpensZero) {
  SetCameras("webcam?sizes=320x240,document");
  ScanSettings settings = SmallWebcam();
  settings.DPI.MainWidth = 320;
  settings.DPI.MainHeight = 240;
  ASSERT_TRUE(Start(settings));
  ASSERT_TRUE(Check(kIdWebcamCheck)->isEnabled());
  EXPECT_FALSE(Check(kIdWebcamCheck)->isChecked());
  EXPECT_FALSE(window->Control(kIdWebcamDeviceCombo)->isEnabled());
  Choose(kIdDeviceCombo, 1);
  ASSERT_EQ(Probe().CurrentCamera(), 1);
  ClearCalls();

  Click(kIdWebcamCheck);
  EXPECT_EQ(Probe().WebcamCamera(), 0);
  EXPECT_EQ(Combo(kIdWebcamDeviceCombo)->currentIndex(), 0);
  EXPECT_EQ(ArgsOf(Calls("camOpenDev")), (std::vector<Args>{{"0", "0", "320", "240"}}));
  EXPECT_EQ(ArgsOf(Calls("camSetPreviewWindow")).back(), (Args{"0", "window"}));
  EXPECT_TRUE(Probe().WebcamPreview()->isVisible());
  EXPECT_TRUE(window->Control(kIdWebcamCaptureButton)->isVisible());
  EXPECT_TRUE(window->Control(kIdWebcamDeviceCombo)->isEnabled());
  EXPECT_TRUE(window->Control(kIdWebcamResolutionCombo)->isEnabled());
  EXPECT_TRUE(window->Control(kIdWebcamMergeCheck)->isEnabled());
  EXPECT_FALSE(window->Control(kIdMergeSettingsButton)->isEnabled());
  EXPECT_EQ(Items(kIdWebcamResolutionCombo), QStringList{"320 x 240"});
  EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
}

TEST_F(WebcamTest, ChoosingACameraInUseShowsBusyAndKeepsTheSelection) {
  SetCameras("document,webcam?sizes=320x240,webcam?sizes=320x240");
  ScanSettings settings = SmallWebcam();
  settings.Webcam.isEnable = 1;
  ASSERT_TRUE(Start(settings));
  ASSERT_EQ(Probe().WebcamCamera(), 1);
  ClearCalls();

  for (const int taken : {0, 1}) {
    messages.clear();
    Choose(kIdWebcamDeviceCombo, taken);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QString::fromStdU16String(g_uiTextTable.CamUsed));
    EXPECT_EQ(Combo(kIdWebcamDeviceCombo)->currentIndex(), 1);
    EXPECT_EQ(Probe().WebcamCamera(), 1);
  }
  EXPECT_TRUE(Calls("camOpenDev").empty());
  EXPECT_TRUE(Calls("camCloseDev").empty());

  // Another free camera: the old one is closed and detached first.
  messages.clear();
  Choose(kIdWebcamDeviceCombo, 2);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(Probe().WebcamCamera(), 2);
  const std::vector<LensCall> calls = Calls();
  std::vector<std::string> order;
  for (const LensCall& call : calls) {
    if (call.name == "camCloseDev" || call.name == "camOpenDev" ||
        call.name == "camSetPreviewWindow") {
      order.push_back(call.name + " " + call.args.at(0) +
                      (call.args.size() == 2 ? " " + call.args[1] : ""));
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"camCloseDev 1", "camSetPreviewWindow 1 null",
                                             "camOpenDev 2", "camSetPreviewWindow 2 window"}));
}

TEST_F(WebcamTest, ACameraWithoutTheStoredSizeOrVgaOpensAtItsFirstSize) {
  // Neither the never-chosen 0 x 0 nor 640 x 480 is offered: the camera
  // still opens, at its first size, and a size change works.
  SetCameras("document,webcam?sizes=800x600+1024x768");
  ScanSettings settings;
  settings.Webcam.isEnable = 1;
  ASSERT_TRUE(Start(settings));
  EXPECT_EQ(Probe().WebcamCamera(), 1);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(Items(kIdWebcamResolutionCombo), (QStringList{"800 x 600", "1024 x 768"}));
  EXPECT_EQ(Combo(kIdWebcamResolutionCombo)->currentIndex(), 0);

  Choose(kIdWebcamResolutionCombo, 1);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(g_scanSettings.Webcam.WebcamWidth, 1024);
  EXPECT_EQ(g_scanSettings.Webcam.WebcamHeight, 768);
}

TEST_F(WebcamTest, TheMainCameraWithNoSizeRememberedStartsOnceAtTheListsFirstSize) {
  // Opened at a stand-in size first, it would start its stream twice and
  // show its first picture that much later.
  ClearCalls();
  ASSERT_TRUE(WindowFixture::Start(ScanSettings{}));
  EXPECT_EQ(ArgsOf(Calls("camOpenDev")), (std::vector<Args>{{"0", "0", "4912", "3680"}}));
  // The list may name the size again: the camera is already there.
  for (const Args& args : ArgsOf(Calls("camSetResolution"))) {
    EXPECT_EQ(args, (Args{"0", "4912", "3680"}));
  }
  EXPECT_EQ(Combo(kIdResolutionCombo)->currentText(), "4912x3680(18MP)");
}

TEST_F(WebcamTest, OpenTriesTheStoredSizeThenVgaThenTheFirstSizeAndThePreviewIsAttached) {
  SetCameras("document,webcam?sizes=800x600");
  ASSERT_TRUE(Start());
  ClearCalls();
  Click(kIdWebcamCheck);
  EXPECT_EQ(ArgsOf(Calls("camOpenDev")),
            (std::vector<Args>{
                {"1", "0", "0", "0"}, {"1", "0", "640", "480"}, {"1", "0", "800", "600"}}));
  EXPECT_EQ(ArgsOf(Calls("camSetPreviewWindow")).back(), (Args{"1", "window"}));
  EXPECT_TRUE(messages.empty());
}

TEST_F(WebcamTest, ResolutionChangeUsesTheWebcamsOwnMediaType) {
  // The webcam is a document camera whose two media types offer different
  // lists; the main camera is on its second media type.
  SetCameras("webcam,document");
  ScanSettings settings;
  settings.Webcam.isEnable = 1;
  settings.Webcam.WebcamWidth = 640;
  settings.Webcam.WebcamHeight = 480;
  ASSERT_TRUE(Start(settings));
  Choose(kIdMediaTypeCombo, 1);
  ASSERT_EQ(Probe().WebcamCamera(), 1);
  const QStringList items = Items(kIdWebcamResolutionCombo);
  ASSERT_EQ(items.size(), 10);
  EXPECT_EQ(items.front(), "4912 x 3680");
  EXPECT_EQ(Combo(kIdWebcamResolutionCombo)->currentIndex(), 9);  // 640 x 480

  ClearCalls();
  Choose(kIdWebcamResolutionCombo, 7);
  EXPECT_EQ(ArgsOf(Calls("camSetResolution")), (std::vector<Args>{{"1", "1024", "768"}}));
  EXPECT_EQ(Calls("camSetResolution").at(0).result, "0");
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(g_scanSettings.Webcam.WebcamWidth, 1024);
  EXPECT_EQ(g_scanSettings.Webcam.WebcamHeight, 768);

  // The next capture with the webcam has that size.
  Click(kIdWebcamCaptureButton);
  ASSERT_EQ(Listed().size(), 1u);
  EXPECT_EQ(QImage(QString::fromStdString(Listed()[0])).size(), QSize(1024, 768));
}

TEST_F(WebcamTest, WebcamCaptureHandsOnOneFileWithoutStampOrMerge) {
  SetCameras("document,webcam?sizes=320x240");
  ScanSettings settings = SmallWebcam();
  settings.Webcam.isEnable = 1;
  settings.Webcam.isMerge = 1;
  settings.fileType = 2;
  settings.WaterMark.isEnable = true;
  settings.WaterMark.isAddTimeStamp = true;
  ASSERT_TRUE(Start(settings));
  Click(kIdWebcamCaptureButton);
  ASSERT_EQ(Listed().size(), 1u);
  const std::string path = Listed()[0];
  EXPECT_NE(path.find("/2_"), std::string::npos) << path;
  EXPECT_EQ(path.substr(path.size() - 4), ".png");
  EXPECT_EQ(QImage(QString::fromStdString(path)).size(), QSize(320, 240));
  EXPECT_EQ(Shown(), 1);
  EXPECT_EQ(ArgsOf(Calls("camCaptureImageFile")), (std::vector<Args>{{"1", path}}));
  EXPECT_TRUE(Calls("camSetImageWaterMark").empty());
  EXPECT_TRUE(Calls("camCombineImage").empty());
}

TEST_F(WebcamTest, TurningTheWebcamOffKeepsTheMergeMarkAndNoMergeHappens) {
  SetCameras("document?sizes=800x600,webcam?sizes=320x240");
  ScanSettings settings = SmallWebcam();
  settings.DPI.MainWidth = 800;
  settings.DPI.MainHeight = 600;
  settings.Webcam.isEnable = 1;
  settings.Webcam.isMerge = 1;
  ASSERT_TRUE(Start(settings));
  ASSERT_EQ(Probe().WebcamCamera(), 1);
  ClearCalls();

  Click(kIdWebcamCheck);
  EXPECT_EQ(Probe().WebcamCamera(), -1);
  EXPECT_TRUE(Check(kIdWebcamMergeCheck)->isChecked());
  EXPECT_FALSE(window->Control(kIdWebcamMergeCheck)->isEnabled());
  EXPECT_FALSE(window->Control(kIdMergeSettingsButton)->isEnabled());
  EXPECT_FALSE(window->Control(kIdWebcamDeviceCombo)->isEnabled());
  EXPECT_FALSE(window->Control(kIdWebcamResolutionCombo)->isEnabled());
  EXPECT_FALSE(Probe().WebcamPreview()->isVisible());
  EXPECT_TRUE(window->Control(kIdWebcamCaptureButton)->isHidden());
  EXPECT_EQ(ArgsOf(Calls("camCloseDev")), (std::vector<Args>{{"1"}}));
  EXPECT_EQ(ArgsOf(Calls("camSetPreviewWindow")), (std::vector<Args>{{"1", "null"}}));

  ClearCalls();
  Press();
  ASSERT_EQ(Listed().size(), 1u);
  EXPECT_NE(Listed()[0].find("/1_"), std::string::npos);
  EXPECT_EQ(QImage(QString::fromStdString(Listed()[0])).size(), QSize(800, 600));
  EXPECT_TRUE(Calls("camCombineImage").empty());
  EXPECT_EQ(Calls("camCaptureImageFile").size(), 1u);

  // On again: the merge runs again, and the mark was saved as it was.
  Click(kIdWebcamCheck);
  EXPECT_EQ(Probe().WebcamCamera(), 1);
  EXPECT_TRUE(window->Control(kIdMergeSettingsButton)->isEnabled());
  Press();
  EXPECT_EQ(Calls("camCombineImage").size(), 1u);
}

TEST_F(WebcamTest, MergeSettingsAreTakenOnOkOnlyAndSaved) {
  SetCameras("document,webcam?sizes=320x240");
  ScanSettings settings = SmallWebcam();
  settings.Webcam.isEnable = 1;
  settings.Webcam.isMerge = 1;
  settings.Webcam.MergeType = kTavrinMergeInside;
  settings.Webcam.MergePosition = kInsideBottomRight;
  ASSERT_TRUE(Start(settings));
  ASSERT_TRUE(window->Control(kIdMergeSettingsButton)->isEnabled());

  bool seen = false;
  OnNextDialog<CMergeOptionDlg>([&](CMergeOptionDlg& dialog) {
    seen = dialog.mergeType == kTavrinMergeInside && dialog.mergePosition == kInsideBottomRight;
    qobject_cast<QAbstractButton*>(dialog.Controls().Control(idd131::kOutSide))->click();
    dialog.reject();
  });
  Click(kIdMergeSettingsButton);
  EXPECT_TRUE(seen);
  EXPECT_EQ(Probe().MergeType(), kTavrinMergeInside);
  EXPECT_EQ(Probe().MergePosition(), kInsideBottomRight);

  OnNextDialog<CMergeOptionDlg>([](CMergeOptionDlg& dialog) {
    qobject_cast<QAbstractButton*>(dialog.Controls().Control(idd131::kOutSide))->click();
    qobject_cast<QAbstractButton*>(
        dialog.Controls().Control(idd131::kOutsidePlace[kTavrinMergeRightLower]))
        ->click();
    dialog.accept();
  });
  Click(kIdMergeSettingsButton);
  EXPECT_EQ(Probe().MergeType(), kTavrinMergeRightLower);
  EXPECT_TRUE(Calls("camCombineImage").empty());

  window->reject();
  ScanSettings saved;
  ASSERT_TRUE(LoadLastSettings(LastSettingsPath(), saved));
  EXPECT_EQ(saved.Webcam.MergeType, kTavrinMergeRightLower);
  EXPECT_EQ(saved.Webcam.isEnable, 1);
  EXPECT_EQ(saved.Webcam.isMerge, 1);
}

}  // namespace
}  // namespace tavrin
