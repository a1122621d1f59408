// The two merges of the capture pipeline with the real window, library and
// virtual cameras: the two-picture merge's pair and preview, and the webcam
// picture placed inside or beside the main picture, found in the pixels.
#include <QFileInfo>
#include <QRadioButton>

#include "dialogs/merge_preview_dlg.h"
#include "mainwindow/merge_layout.h"
#include "tests/mainwindow/capture_fixture.h"

namespace tavrin {
namespace {

using test::CaptureFixture;
using test::LensCall;
namespace fs = std::filesystem;

using test::kMainHeight;
using test::kMainWidth;
using test::kTwoCameras;
using test::kWebcamHeight;
using test::kWebcamWidth;
using test::SmallCameras;

// The webcam scene is blue-grey where the document scene (paper, ink, desk)
// never is: the bounding box of such pixels is the inset, down to the
// figure at the bottom, whose centre lies at 95 % of its height.
QRect BluishBox(const QImage& image) {
  int left = image.width();
  int top = image.height();
  int right = -1;
  int bottom = -1;
  for (int y = 0; y < image.height(); ++y) {
    const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      if (qBlue(line[x]) - qRed(line[x]) > 15) {
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
        bottom = std::max(bottom, y);
      }
    }
  }
  if (right < 0) return {};
  return QRect(QPoint(left, top), QPoint(right, bottom));
}

void ExpectInsetAt(const QImage& merged, const QRect& inset) {
  const QRect found = BluishBox(merged.convertToFormat(QImage::Format_RGB32));
  ASSERT_FALSE(found.isNull()) << "no webcam picture in the result";
  EXPECT_NEAR(found.left(), inset.left(), 3);
  EXPECT_NEAR(found.top(), inset.top(), 3);
  EXPECT_NEAR(found.right(), inset.right(), 3);
  EXPECT_NEAR(found.bottom(), inset.top() + inset.height() * 0.95, inset.height() * 0.04 + 3);
}

class MergeTest : public CaptureFixture {
 protected:
  CMergePreviewDlg* Preview() const {
    return dynamic_cast<CMergePreviewDlg*>(Probe().MergePreview());
  }
  std::string Name(const std::string& path) const {
    return QFileInfo(QString::fromStdString(path)).fileName().toStdString();
  }
};

TEST_F(MergeTest, TwoPicturesWithoutWebcamPairEveryTwoPressesAndDeleteTheSources) {
  SetCameras("document?sizes=800x600");
  ScanSettings settings = SmallCameras();
  settings.MergeHV.isEnable = 1;
  settings.MergeHV.direction = 1;
  ASSERT_TRUE(Start(settings));
  ASSERT_TRUE(Check(kIdMergeCheck)->isChecked());
  EXPECT_TRUE(Preview()->isVisible());
  EXPECT_TRUE(window->Control(kIdHorizontalRadio)->isEnabled());

  // First press: the first picture, nothing handed on.
  Press();
  const std::string first = Probe().MergeFirstPath();
  EXPECT_TRUE(fs::exists(first));
  EXPECT_TRUE(Probe().MergeSecondPath().empty());
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ(Shown(), 0);
  EXPECT_TRUE(Preview()->firstPicture->HasPicture());
  EXPECT_FALSE(Preview()->secondPicture->HasPicture());
  EXPECT_TRUE(Calls("camCombineImage").empty());

  // Second press: one merged file, side by side, both sources gone.
  Press();
  const std::string second = Probe().MergeSecondPath();
  ASSERT_EQ(Listed().size(), 1u);
  const std::string merged = Listed()[0];
  EXPECT_EQ(Name(merged).rfind("Merge_", 0), 0u) << merged;
  EXPECT_EQ(QImage(QString::fromStdString(merged)).size(), QSize(2 * kMainWidth, kMainHeight));
  EXPECT_FALSE(fs::exists(first));
  EXPECT_FALSE(fs::exists(second));
  EXPECT_EQ(Shown(), 1);
  EXPECT_TRUE(Preview()->secondPicture->HasPicture());
  const std::vector<LensCall> combines = Calls("camCombineImage");
  ASSERT_EQ(combines.size(), 1u);
  EXPECT_EQ(combines[0].args,
            (std::vector<std::string>{first, second, merged, "4", "0", "0", "0", "0"}));

  // Third press: a new pair, the old one cleared from the preview.
  Press();
  EXPECT_NE(Probe().MergeFirstPath(), first);
  EXPECT_TRUE(fs::exists(Probe().MergeFirstPath()));
  EXPECT_TRUE(Probe().MergeSecondPath().empty());
  EXPECT_TRUE(Preview()->firstPicture->HasPicture());
  EXPECT_FALSE(Preview()->secondPicture->HasPicture());
  EXPECT_EQ(Listed().size(), 1u);
  EXPECT_TRUE(messages.empty());
}

TEST_F(MergeTest, VerticalMergePutsTheSecondPictureBelow) {
  SetCameras("document?sizes=800x600");
  ScanSettings settings = SmallCameras();
  settings.MergeHV.isEnable = 1;
  settings.MergeHV.direction = 2;
  ASSERT_TRUE(Start(settings));
  Press();
  Press();
  ASSERT_EQ(Listed().size(), 1u);
  EXPECT_EQ(QImage(QString::fromStdString(Listed()[0])).size(), QSize(kMainWidth, 2 * kMainHeight));
  EXPECT_EQ(Calls("camCombineImage").at(0).args.at(3), "7");
}

TEST_F(MergeTest, FailedCombineShowsTheCodeAndForgetsThePair) {
  // The first capture fails, so the first picture of the pair never exists.
  SetCameras("document?sizes=800x600&fail=1");
  ScanSettings settings = SmallCameras();
  settings.MergeHV.isEnable = 1;
  settings.MergeHV.direction = 1;
  ASSERT_TRUE(Start(settings));
  Press();
  EXPECT_FALSE(Probe().MergeFirstPath().empty());
  Press();
  const std::vector<LensCall> combines = Calls("camCombineImage");
  ASSERT_EQ(combines.size(), 1u);
  ASSERT_NE(combines[0].result, "0");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0],
            QStringLiteral("%1: %2").arg(QString::fromStdU16String(g_uiTextTable.ErrCode),
                                         QString::fromStdString(combines[0].result)));
  EXPECT_TRUE(Probe().MergeFirstPath().empty());
  EXPECT_TRUE(Probe().MergeSecondPath().empty());
  EXPECT_FALSE(Preview()->firstPicture->HasPicture());
  EXPECT_FALSE(Preview()->secondPicture->HasPicture());
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ(Shown(), 0);
  // The second picture stays where start-up will clear it.
  EXPECT_TRUE(fs::exists(combines[0].args.at(1)));
  // And the next press starts a new pair.
  Press();
  EXPECT_FALSE(Probe().MergeFirstPath().empty());
  EXPECT_TRUE(Listed().empty());
}

TEST_F(MergeTest, TwoPicturesWithWebcamMergeEveryPressAndKeepTheSources) {
  SetCameras(kTwoCameras);
  ScanSettings settings = SmallCameras();
  settings.MergeHV.isEnable = 1;
  settings.MergeHV.direction = 1;
  settings.Webcam.isEnable = 1;
  ASSERT_TRUE(Start(settings));
  ASSERT_EQ(Probe().WebcamCamera(), 1);
  for (int press = 1; press <= 3; ++press) {
    ClearCalls();
    Press();
    ASSERT_EQ(Listed().size(), static_cast<size_t>(press));
    const std::vector<LensCall> captures = Calls("camCaptureImageFile");
    ASSERT_EQ(captures.size(), 2u);
    EXPECT_EQ(captures[1].args.at(0), "1");
    const std::string mainPath = captures[0].args.at(1);
    const std::string webcamPath = captures[1].args.at(1);
    EXPECT_EQ(Name(webcamPath).rfind("2_", 0), 0u);
    EXPECT_TRUE(fs::exists(mainPath));
    EXPECT_TRUE(fs::exists(webcamPath));
    EXPECT_EQ(Probe().MergeFirstPath(), mainPath);
    EXPECT_EQ(Probe().MergeSecondPath(), webcamPath);
    const QImage merged(QString::fromStdString(Listed().back()));
    // The webcam picture scaled to the main picture's height, on the right.
    EXPECT_EQ(merged.size(),
              QSize(kMainWidth + kMainHeight * kWebcamWidth / kWebcamHeight, kMainHeight));
    ExpectInsetAt(merged,
                  QRect(kMainWidth, 0, kMainHeight * kWebcamWidth / kWebcamHeight, kMainHeight));
  }
  EXPECT_EQ(Shown(), 3);
}

TEST_F(MergeTest, MergeCheckExcludesWebcamMergeAndMultipleCrop) {
  SetCameras(kTwoCameras);
  ScanSettings settings = SmallCameras();
  settings.Webcam.isEnable = 1;
  settings.Webcam.isMerge = 1;
  settings.cutType = kTavrinCropMultiplePages;
  ASSERT_TRUE(Start(settings));
  ASSERT_TRUE(Check(kIdWebcamMergeCheck)->isChecked());
  EXPECT_TRUE(window->Control(kIdMergeSettingsButton)->isEnabled());
  EXPECT_FALSE(Preview()->isVisible());

  Click(kIdMergeCheck);
  EXPECT_TRUE(Preview()->isVisible());
  EXPECT_FALSE(Check(kIdWebcamMergeCheck)->isChecked());
  EXPECT_FALSE(window->Control(kIdMergeSettingsButton)->isEnabled());
  EXPECT_EQ(Combo(kIdCropCombo)->currentIndex(), 1);
  EXPECT_EQ(Calls("camSetImageAutoCrop").back().args, (std::vector<std::string>{"0", "1"}));
  EXPECT_TRUE(window->Control(kIdHorizontalRadio)->isEnabled());

  // The webcam merge takes over again.
  Click(kIdWebcamMergeCheck);
  EXPECT_FALSE(Check(kIdMergeCheck)->isChecked());
  EXPECT_FALSE(Preview()->isVisible());
  EXPECT_FALSE(window->Control(kIdHorizontalRadio)->isEnabled());

  // Multiple crop turns the two-picture merge off.
  Click(kIdMergeCheck);
  Choose(kIdCropCombo, kTavrinCropMultiplePages);
  EXPECT_FALSE(Check(kIdMergeCheck)->isChecked());
  EXPECT_FALSE(Preview()->isVisible());
}

TEST_F(MergeTest, TurningMergeOffKeepsTheFirstPicture) {
  SetCameras("document?sizes=800x600");
  ScanSettings settings = SmallCameras();
  settings.MergeHV.isEnable = 1;
  settings.MergeHV.direction = 1;
  ASSERT_TRUE(Start(settings));
  Press();
  const std::string first = Probe().MergeFirstPath();
  Click(kIdMergeCheck);
  Press();  // plain
  ASSERT_EQ(Listed().size(), 1u);
  Click(kIdMergeCheck);
  Press();
  ASSERT_EQ(Listed().size(), 2u);
  EXPECT_EQ(Calls("camCombineImage").at(0).args.at(0), first);
}

TEST_F(MergeTest, PreviewLeavesThePictureAreaFreeInBothLayouts) {
  SetCameras("document?sizes=800x600");
  ScanSettings settings = SmallCameras();
  settings.MergeHV.isEnable = 1;
  settings.MergeHV.direction = 1;
  ASSERT_TRUE(Start(settings));
  // Placed again once the window has its frame.
  test::WaitFor([] { return false; }, 200);
  QWidget* area = window->Control(kIdPreviewArea);
  const QRect r(area->mapToGlobal(QPoint(0, 0)), area->size());

  EXPECT_FALSE(Preview()->frameGeometry().intersects(r));
  EXPECT_GT(Preview()->width(), Preview()->height()) << "side by side";
  const QRect a = Preview()->firstPicture->geometry();
  const QRect b = Preview()->secondPicture->geometry();
  EXPECT_EQ(a.top(), b.top());
  EXPECT_EQ(b.left(), a.right() + 1 + 10);

  Click(kIdVerticalRadio);
  EXPECT_TRUE(Preview()->isVisible());
  EXPECT_FALSE(Preview()->frameGeometry().intersects(r));
  EXPECT_GE(Preview()->height(), Preview()->width()) << "one above the other";
  const QRect c = Preview()->firstPicture->geometry();
  const QRect d = Preview()->secondPicture->geometry();
  EXPECT_EQ(c.left(), d.left());
  EXPECT_EQ(d.top(), c.bottom() + 1 + 10);

  Click(kIdHorizontalRadio);
  EXPECT_GT(Preview()->width(), Preview()->height());
}

struct Placed {
  int mergeType;
  int mergePosition;
  QSize output;
  QRect inset;
};

// W 800, H 600: the inset is 266 wide and 266 * 240 / 320 = 199 high.
const Placed kPlacements[] = {
    {0, 0, {800, 600}, {266, 200, 266, 199}}, {0, 1, {800, 600}, {0, 0, 266, 199}},
    {0, 2, {800, 600}, {532, 0, 266, 199}},   {0, 3, {800, 600}, {532, 401, 266, 199}},
    {0, 4, {800, 600}, {0, 401, 266, 199}},   {1, 2, {1066, 600}, {0, 0, 266, 199}},
    {2, 2, {800, 799}, {0, 0, 266, 199}},     {3, 2, {800, 799}, {534, 0, 266, 199}},
    {4, 2, {1066, 600}, {800, 0, 266, 199}},  {5, 2, {1066, 600}, {800, 401, 266, 199}},
    {6, 2, {800, 799}, {534, 600, 266, 199}}, {7, 2, {800, 799}, {0, 600, 266, 199}},
    {8, 2, {1066, 600}, {0, 401, 266, 199}},
};

TEST_F(MergeTest, WebcamMergeInsideAndOutsideAtEveryPlace) {
  SetCameras(kTwoCameras);
  ScanSettings settings = SmallCameras();
  settings.Webcam.isEnable = 1;
  settings.Webcam.isMerge = 1;
  for (const Placed& placed : kPlacements) {
    settings.Webcam.MergeType = placed.mergeType;
    settings.Webcam.MergePosition = placed.mergePosition;
    window.reset();
    ASSERT_TRUE(Start(settings));
    Press();
    SCOPED_TRACE(testing::Message()
                 << "type " << placed.mergeType << " position " << placed.mergePosition);
    ASSERT_EQ(Listed().size(), 1u);
    const std::string merged = Listed()[0];
    EXPECT_EQ(Name(merged).rfind("Merge_", 0), 0u);
    const QImage image(QString::fromStdString(merged));
    EXPECT_EQ(image.size(), placed.output);
    ExpectInsetAt(image, placed.inset);
    const std::vector<LensCall> combines = Calls("camCombineImage");
    ASSERT_EQ(combines.size(), 1u);
    const QRect passed = placed.mergeType == 0
                             ? placed.inset
                             : QRect(0, 0, placed.inset.width(), placed.inset.height());
    EXPECT_EQ(
        std::vector<std::string>(combines[0].args.begin() + 3, combines[0].args.end()),
        (std::vector<std::string>{std::to_string(placed.mergeType), std::to_string(passed.x()),
                                  std::to_string(passed.y()), std::to_string(passed.width()),
                                  std::to_string(passed.height())}));
    // Both pictures are gone; only the merged one is left and shown.
    EXPECT_FALSE(fs::exists(combines[0].args[0]));
    EXPECT_FALSE(fs::exists(combines[0].args[1]));
    EXPECT_EQ(WorkFiles(), (std::vector<std::string>{Name(merged)}));
    EXPECT_EQ(Shown(), 1);
  }
}

TEST_F(MergeTest, WebcamMergeWithAutomaticCropIsAThirdOfTheCroppedWidth) {
  SetCameras(kTwoCameras);
  ScanSettings settings = SmallCameras();
  settings.Webcam.isEnable = 1;
  settings.Webcam.isMerge = 1;
  settings.Webcam.MergeType = kTavrinMergeInside;
  settings.Webcam.MergePosition = kInsideTopLeft;
  settings.cutType = kTavrinCropSinglePage;
  ASSERT_TRUE(Start(settings));
  Press();
  ASSERT_EQ(Listed().size(), 1u);
  const QImage merged(QString::fromStdString(Listed()[0]));
  // The page is smaller than the frame.
  ASSERT_LT(merged.width(), kMainWidth);
  const int w = merged.width() / kInsetWidthShare;
  const int h = w * kWebcamHeight / kWebcamWidth;
  const std::vector<LensCall> combines = Calls("camCombineImage");
  ASSERT_EQ(combines.size(), 1u);
  EXPECT_EQ(combines[0].args.at(6), std::to_string(w));
  EXPECT_EQ(combines[0].args.at(7), std::to_string(h));
  ExpectInsetAt(merged, QRect(0, 0, w, h));
}

TEST_F(MergeTest, WebcamMergeOfAQuarterTurnSwapsTheFrame) {
  SetCameras(kTwoCameras);
  ScanSettings settings = SmallCameras();
  settings.Webcam.isEnable = 1;
  settings.Webcam.isMerge = 1;
  settings.Webcam.MergeType = kTavrinMergeInside;
  settings.Webcam.MergePosition = kInsideBottomRight;
  settings.rotateType = kTavrinRotateLeft;
  ASSERT_TRUE(Start(settings));
  Press();
  ASSERT_EQ(Listed().size(), 1u);
  const QImage merged(QString::fromStdString(Listed()[0]));
  EXPECT_EQ(merged.size(), QSize(kMainHeight, kMainWidth));
  // W 600, H 800: 200 x 150 at the bottom right.
  ExpectInsetAt(merged, QRect(400, 650, 200, 150));
}

TEST_F(MergeTest, WebcamReportingNoWidthGetsAFourToThreeInsetAndNothingIsHandedOn) {
  // The webcam's open fails (another program has it), so it reports a size
  // of 0 x 0 and its capture fails.
  SetCameras("document?sizes=1024x768,webcam?sizes=800x600&inuse=1");
  ScanSettings settings = SmallCameras();
  settings.DPI.MainWidth = 1024;
  settings.DPI.MainHeight = 768;
  settings.Webcam.isEnable = 1;
  settings.Webcam.isMerge = 1;
  settings.Webcam.MergeType = kTavrinMergeInside;
  settings.Webcam.MergePosition = kInsideTopLeft;
  ASSERT_TRUE(Start(settings));
  ASSERT_EQ(Probe().WebcamCamera(), 1);
  Press();
  const std::vector<LensCall> combines = Calls("camCombineImage");
  ASSERT_EQ(combines.size(), 1u);
  EXPECT_EQ(std::vector<std::string>(combines[0].args.begin() + 3, combines[0].args.end()),
            (std::vector<std::string>{"0", "0", "0", "341", "255"}));
  EXPECT_NE(combines[0].result, "0");
  // A failed webcam merge is silent and leaves nothing behind.
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ(Shown(), 0);
  EXPECT_TRUE(WorkFiles().empty());
  EXPECT_TRUE(window->isVisible());
}

}  // namespace
}  // namespace tavrin
