// The capture pipeline of the real window with the real camera library and
// virtual cameras: files on disk, the thumbnail strip, what the TWAIN
// control listed or sent to a data source, and the camera-library calls.
#include <QDateTime>
#include <QFileInfo>
#include <QImageReader>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTimer>

#include <array>
#include <set>

#include "dialogs/water_mark_dlg.h"
#include "resources/dialog_ids.h"
#include "tests/mainwindow/capture_fixture.h"

namespace tavrin {
namespace {

using test::CaptureFixture;
using test::LensCall;
using test::OnNextDialog;
using test::WaitFor;
namespace fs = std::filesystem;

class CaptureTest : public CaptureFixture {
 protected:
  // With a data source that takes every capture as it is made.
  bool StartOneByOne() {
    UseDataSource();
    ScanSettings settings;
    settings.ShowUIUpdataOneByOne = 1;
    return Start(settings);
  }
};

TEST_F(CaptureTest, PlainCaptureInEachFormatListsAndShowsEveryFileUnderNewNames) {
  SetCameras("document?sizes=1024x768");
  ScanSettings settings;
  settings.DPI.MainWidth = 1024;
  settings.DPI.MainHeight = 768;
  ASSERT_TRUE(Start(settings));
  EXPECT_TRUE(window->Control(kIdCaptureButton)->isEnabled());
  struct Case {
    int item;
    const char* extension;
    const char* decoded;
  };
  const Case cases[] = {
      {0, ".bmp", "bmp"}, {1, ".jpg", "jpeg"}, {2, ".png", "png"}, {-1, "", "jpeg"}};
  std::set<std::string> names;
  int shown = 0;
  for (const Case& c : cases) {
    Combo(kIdFormatCombo)->setCurrentIndex(c.item);
    ClearCalls();
    Press();
    ASSERT_EQ(Listed().size(), names.size() + 1) << c.extension;
    const std::string path = Listed().back();
    const QFileInfo info(QString::fromStdString(path));
    EXPECT_EQ(
        info.absolutePath().toStdString(),
        QFileInfo(QString::fromStdString(Probe().WorkFolder())).absoluteFilePath().toStdString());
    EXPECT_TRUE(info.fileName().contains(
        QRegularExpression(QStringLiteral("^1_-?[0-9]+%1$")
                               .arg(QRegularExpression::escape(QString::fromUtf8(c.extension))))))
        << path;
    QImageReader reader(info.filePath());
    reader.setDecideFormatFromContent(true);
    EXPECT_EQ(reader.format(), c.decoded) << path;
    EXPECT_FALSE(reader.read().isNull()) << path;
    EXPECT_TRUE(names.insert(info.completeBaseName().toStdString()).second) << "reused " << path;
    EXPECT_EQ(Shown(), ++shown);
    ASSERT_EQ(ShownPaths().size(), static_cast<size_t>(shown));
    EXPECT_EQ(ShownPaths().back(), path);
    // One capture with the main camera into exactly that file; nothing else
    // is taken, merged or stamped.
    const std::vector<LensCall> captures = Calls("camCaptureImageFile");
    ASSERT_EQ(captures.size(), 1u);
    EXPECT_EQ(captures[0].args, (std::vector<std::string>{"0", path}));
    EXPECT_TRUE(Calls("camCombineImage").empty());
    EXPECT_TRUE(Calls("camSetImageWaterMark").empty());
  }
  EXPECT_TRUE(messages.empty());
}

TEST_F(CaptureTest, ModeOneRetriesSevenTimesHalfASecondApartThenFailsAndCloses) {
  SetCameras("document?fail=10");
  ASSERT_TRUE(Start());
  Probe().Twain().m_nShowMode = kShowModeCaptureSend;
  Press();
  const std::vector<LensCall> captures = Calls("camCaptureImageFile");
  ASSERT_EQ(captures.size(), 7u);
  for (size_t i = 1; i < captures.size(); ++i) {
    const long long gapMs = captures[i].startMs - captures[i - 1].startMs;
    EXPECT_GE(gapMs, 500) << "call " << i;
    EXPECT_LT(gapMs, 800) << "call " << i;
    EXPECT_EQ(captures[i].args, captures[0].args);
    EXPECT_NE(captures[i].result, "0");
  }
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Capture Failed.");
  EXPECT_TRUE(WaitFor([&] { return !window->isVisible(); }));
  EXPECT_EQ(window->result(), QDialog::Rejected);
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ(Shown(), 0);
}

TEST_F(CaptureTest, UnattendedRetrySucceedingOnTheFourthCallHandsTheFileOn) {
  // Each window's camera fails three times; mode 3 is as unattended as 1.
  for (const int mode : {1, 3}) {
    SCOPED_TRACE(mode);
    window.reset();
    SetCameras("document?fail=3");
    ASSERT_TRUE(Start());
    Probe().Twain().m_nShowMode = mode;
    Press();
    const std::vector<LensCall> captures = Calls("camCaptureImageFile");
    ASSERT_EQ(captures.size(), 4u);
    EXPECT_EQ(captures.back().result, "0");
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(Listed().size(), 1u);
    EXPECT_TRUE(window->isVisible());
  }
}

TEST_F(CaptureTest, ModesWithAPersonAtTheWindowCallOnceAndFailSilently) {
  SetCameras("document?fail=1");
  ASSERT_TRUE(Start());
  for (const int mode : {0, 2, -1}) {
    Probe().Twain().m_nShowMode = mode;
    ClearCalls();
    Press();
    EXPECT_EQ(Calls("camCaptureImageFile").size(), 1u) << "mode " << mode;
  }
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(window->isVisible());
  // Only the first of the three presses failed.
  EXPECT_EQ(Listed().size(), 2u);
  EXPECT_EQ(Shown(), 2);
}

TEST_F(CaptureTest, MultipleCropHandsOnEveryPieceInOrder) {
  SetCameras("pages");
  ASSERT_TRUE(Start());
  Choose(kIdCropCombo, kTavrinCropMultiplePages);
  Press();
  const std::vector<std::string> listed = Listed();
  ASSERT_EQ(listed.size(), 3u);
  for (const std::string& path : listed) {
    EXPECT_EQ(path.find(';'), std::string::npos);
    EXPECT_FALSE(QImage(QString::fromStdString(path)).isNull()) << path;
  }
  EXPECT_EQ(Shown(), 3);
  EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()).size(), 3u);
  // In the order the library named them: the first piece under the name the
  // window asked for, then _2 and _3.
  const std::string asked = Calls("camCaptureImageFile").at(0).args.at(1);
  EXPECT_EQ(listed[0], asked);
  const std::string stem = asked.substr(0, asked.rfind('.'));
  EXPECT_EQ(listed[1].rfind(stem + "_2", 0), 0u) << listed[1];
  EXPECT_EQ(listed[2].rfind(stem + "_3", 0), 0u) << listed[2];
  EXPECT_EQ(ShownPaths(), listed);
}

TEST_F(CaptureTest, BookCropHandsOnTheLeftThenTheRightPageInTheChosenColourAndTurn) {
  SetCameras("book");
  ASSERT_TRUE(Start());
  Choose(kIdCropCombo, kTavrinCropBook);
  EXPECT_EQ(Calls("camSetImageAutoCrop").back().args, (std::vector<std::string>{"0", "4"}));
  // Grey and a quarter turn, chosen in the book crop, reach both pages.
  Choose(kIdColorCombo, kColorItemGrey);
  Choose(kIdRotateCombo, kTavrinRotateLeft);
  Press();
  const std::vector<std::string> listed = Listed();
  ASSERT_EQ(listed.size(), 2u);
  const std::string asked = Calls("camCaptureImageFile").at(0).args.at(1);
  EXPECT_EQ(listed[0], asked);
  EXPECT_EQ(listed[1].rfind(asked.substr(0, asked.rfind('.')) + "_2", 0), 0u) << listed[1];
  for (const std::string& path : listed) {
    const QImage page(QString::fromStdString(path));
    ASSERT_FALSE(page.isNull()) << path;
    // An upright page, not the spread, lying on its side after the turn.
    EXPECT_GT(page.width(), page.height()) << path;
    EXPECT_TRUE(page.isGrayscale()) << path;
  }
  EXPECT_EQ(ShownPaths(), listed);
}

TEST_F(CaptureTest, MultipleCropWithOnePieceContinuesLikeAnyCrop) {
  ASSERT_TRUE(Start());  // one page: one piece
  Choose(kIdCropCombo, kTavrinCropMultiplePages);
  Press();
  ASSERT_EQ(Listed().size(), 1u);
  EXPECT_EQ(Listed()[0], Calls("camCaptureImageFile").at(0).args.at(1));
  EXPECT_EQ(Shown(), 1);
}

TEST_F(CaptureTest, MultipleCropPiecesAreFollowedByTheWebcamPictureOfThePress) {
  SetCameras("pages,webcam?sizes=320x240");
  ScanSettings settings;
  settings.Webcam.isEnable = 1;
  settings.Webcam.WebcamWidth = 320;
  settings.Webcam.WebcamHeight = 240;
  ASSERT_TRUE(Start(settings));
  Choose(kIdCropCombo, kTavrinCropMultiplePages);
  Press();
  const std::vector<std::string> listed = Listed();
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_NE(QFileInfo(QString::fromStdString(listed[3])).fileName().indexOf("2_"), -1) << listed[3];
  EXPECT_EQ(QImage(QString::fromStdString(listed[3])).size(), QSize(320, 240));
  EXPECT_EQ(Shown(), 4);
}

// Delivery as the data source sees it, on the other end of the channel.
TEST_F(CaptureTest, ModeOneSendsEachFileAndListsItToo) {
  UseDataSource();
  ASSERT_TRUE(Start());
  Probe().Twain().m_nShowMode = kShowModeCaptureSend;
  Press();
  ASSERT_TRUE(WaitFor([&] { return dataSource->SentImages().size() == 1; }));
  EXPECT_EQ(dataSource->SentImages()[0], Listed().at(0));
  EXPECT_TRUE(fs::exists(dataSource->SentImages()[0]));
}

TEST_F(CaptureTest, ModeZeroListsAndDeliversTheListAtClose) {
  UseDataSource();
  ASSERT_TRUE(Start());
  Probe().Twain().m_nShowMode = kShowModeWindow;
  Press();
  Press();
  EXPECT_EQ(Listed().size(), 2u);
  const std::vector<std::string> listed = Listed();
  window->reject();
  ASSERT_TRUE(WaitFor([&] { return !dataSource->Messages().empty(); }));
  EXPECT_TRUE(dataSource->SentImages().empty());
  const auto message = dataSource->Messages().back();
  EXPECT_EQ(message.code, kMsgFileList);
  std::ifstream in(message.text);
  const std::string list((std::istreambuf_iterator<char>(in)), {});
  for (const std::string& path : listed) EXPECT_NE(list.find(path), std::string::npos) << list;
}

TEST_F(CaptureTest, SendEachInModeTwoListsTheFileWithoutSendingAndCountsIt) {
  ASSERT_TRUE(StartOneByOne());
  Probe().Twain().m_nShowMode = kShowModeList;
  const std::string path = Probe().WorkFolder() + "/listed.jpg";
  EXPECT_EQ(Probe().Twain().HandOff(platform::Utf8ToUtf16(path)), 1);
  EXPECT_EQ(Listed(), (std::vector<std::string>{path}));
  Press();
  EXPECT_EQ(Listed().size(), 2u);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(dataSource->SentImages().empty());
}

// Mode 2 keeps its files for the list even one by one; the close delivers
// the list and then says that the one-by-one run has ended.
TEST_F(CaptureTest, ModeTwoOneByOneDeliversTheListThenTheClose) {
  ASSERT_TRUE(StartOneByOne());
  Probe().Twain().m_nShowMode = kShowModeList;
  Press();
  Press();
  const std::vector<std::string> listed = Listed();
  ASSERT_EQ(listed.size(), 2u);
  window->reject();
  ASSERT_TRUE(WaitFor([&] { return dataSource->Messages().size() == 2; }));
  const auto delivered = dataSource->Messages();
  EXPECT_EQ(delivered[0].code, kMsgFileList);
  EXPECT_EQ(delivered[1].code, kMsgClose);
  std::ifstream in(delivered[0].text);
  const std::string list((std::istreambuf_iterator<char>(in)), {});
  for (const std::string& path : listed) {
    // Copies in the temporary folder, as one-by-one delivers them.
    const std::string name = fs::path(path).filename().string();
    EXPECT_NE(list.find(name), std::string::npos) << list;
    EXPECT_EQ(list.find(path), std::string::npos) << "the working folder's own file: " << list;
  }
}

TEST_F(CaptureTest, SendEachOutsideModeTwoSendsAndLeavesTheListAlone) {
  ASSERT_TRUE(StartOneByOne());
  Probe().Twain().m_nShowMode = kShowModeWindow;
  Press();
  EXPECT_TRUE(Listed().empty());
  // Sent as a copy in the temporary folder, and still shown.
  ASSERT_TRUE(WaitFor([&] { return dataSource->SentImages().size() == 1; }));
  EXPECT_TRUE(fs::exists(dataSource->SentImages()[0]));
  EXPECT_EQ(Shown(), 1);
}

TEST_F(CaptureTest, HandOffWhenNotAttachedSendsAndListsNothing) {
  ASSERT_TRUE(StartOneByOne());
  Probe().Twain().Attach(nullptr);
  ASSERT_FALSE(Probe().Twain().IsAttached());
  messages.clear();
  for (const int mode : {0, 1}) {
    Probe().Twain().m_nShowMode = mode;
    EXPECT_EQ(Probe().Twain().HandOff(platform::Utf8ToUtf16(Probe().WorkFolder() + "/x.jpg")), 0);
  }
  EXPECT_TRUE(Listed().empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(dataSource->SentImages().empty());
}

// The watermark: the library is told the text with each capture's time.
TEST_F(CaptureTest, TimeStampCarriesTheCaptureTimeOfEachPress) {
  ScanSettings settings;
  settings.WaterMark.isEnable = true;
  settings.WaterMark.isAddTimeStamp = true;
  settings.WaterMark.text = "Tavrin";
  ASSERT_TRUE(Start(settings));
  ASSERT_TRUE(Check(kIdWatermarkCheck)->isChecked());
  for (int press = 0; press < 2; ++press) {
    // A second apart, so that a stamp taken at start-up would show.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ClearCalls();
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1000);
    Press();
    const QDateTime after = QDateTime::currentDateTime();
    const std::vector<LensCall> marks = Calls("camSetImageWaterMark");
    ASSERT_EQ(marks.size(), 1u);
    const std::string& text = marks[0].args.at(1);
    ASSERT_EQ(text.rfind("Tavrin ", 0), 0u) << text;
    const QDateTime stamp =
        QDateTime::fromString(QString::fromStdString(text.substr(7)), "yyyy-MM-dd HH:mm:ss");
    ASSERT_TRUE(stamp.isValid()) << text;
    EXPECT_GE(stamp, before) << text;
    EXPECT_LE(stamp, after) << text;
    EXPECT_EQ(marks[0].args.back(), "1");
    EXPECT_EQ(marks[0].args.at(0), "0");
    EXPECT_EQ(marks[0].args.at(4), "Arial");
    // Set before the picture is taken.
    EXPECT_LT(marks[0].startMs, Calls("camCaptureImageFile").at(0).startMs + 1);
  }
}

TEST_F(CaptureTest, WithoutTimeStampCaptureMakesNoWatermarkCall) {
  ScanSettings settings;
  settings.WaterMark.isEnable = true;
  settings.WaterMark.isAddTimeStamp = false;
  settings.WaterMark.text = "Kept";
  ASSERT_TRUE(Start(settings));
  Press();
  EXPECT_EQ(Listed().size(), 1u);
  EXPECT_TRUE(Calls("camSetImageWaterMark").empty());
  // The watermark off: no call either.
  Click(kIdWatermarkCheck);
  ClearCalls();
  Press();
  EXPECT_TRUE(Calls("camSetImageWaterMark").empty());
}

TEST_F(CaptureTest, WatermarkCheckBoxSwitchesTheLibraryAndTheSettingsButton) {
  ScanSettings settings;
  settings.WaterMark.isAddTimeStamp = false;
  settings.WaterMark.text = "Draft";
  settings.WaterMark.position = 7;
  settings.WaterMark.WordSize = 20;
  ASSERT_TRUE(Start(settings));
  QWidget* button = window->Control(kIdWatermarkSettingsButton);
  EXPECT_FALSE(button->isEnabled());
  EXPECT_TRUE(Check(kIdWatermarkCheck)->isEnabled());

  Click(kIdWatermarkCheck);
  std::vector<LensCall> marks = Calls("camSetImageWaterMark");
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(marks[0].args, (std::vector<std::string>{"0", "Draft", "7", "20", "Arial", "0", "0",
                                                     "0", "30", "70", "255", "0", "0", "1"}));
  EXPECT_TRUE(button->isEnabled());
  EXPECT_TRUE(Probe().WatermarkSettings().isEnable);

  ClearCalls();
  Click(kIdWatermarkCheck);
  marks = Calls("camSetImageWaterMark");
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(marks[0].args, (std::vector<std::string>{"0", "", "7", "20", "", "0", "0", "0", "30",
                                                     "70", "255", "0", "0", "0"}));
  EXPECT_FALSE(button->isEnabled());
  // The text stays for the next time.
  EXPECT_EQ(Probe().WatermarkSettings().text, u"Draft");
  EXPECT_FALSE(Probe().WatermarkSettings().isEnable);
}

TEST_F(CaptureTest, WatermarkSettingsTakeEffectOnOkOnly) {
  ScanSettings settings;
  settings.WaterMark.isEnable = true;
  settings.WaterMark.isAddTimeStamp = false;
  settings.WaterMark.text = "Old";
  ASSERT_TRUE(Start(settings));

  OnNextDialog<CWaterMarkDlg>([](CWaterMarkDlg& dialog) {
    qobject_cast<QLineEdit*>(dialog.Controls().Control(idd130::kWmText))->setText("Changed");
    dialog.reject();
  });
  Click(kIdWatermarkSettingsButton);
  EXPECT_EQ(Probe().WatermarkSettings().text, u"Old");
  EXPECT_TRUE(Calls("camSetImageWaterMark").empty());

  OnNextDialog<CWaterMarkDlg>([](CWaterMarkDlg& dialog) {
    qobject_cast<QLineEdit*>(dialog.Controls().Control(idd130::kWmText))->setText("New");
    dialog.accept();
  });
  Click(kIdWatermarkSettingsButton);
  EXPECT_EQ(Probe().WatermarkSettings().text, u"New");
  const std::vector<LensCall> marks = Calls("camSetImageWaterMark");
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(marks[0].args.at(1), "New");
  EXPECT_EQ(marks[0].args.back(), "1");

  // Saved with the window's other choices.
  window->reject();
  ScanSettings saved;
  ASSERT_TRUE(LoadLastSettings(LastSettingsPath(), saved));
  EXPECT_EQ(saved.WaterMark.text, "New");
  EXPECT_TRUE(saved.WaterMark.isEnable);
}

// The box beside the scan mode evens out the light of the page the person
// takes, is kept for the next session, and is greyed while nothing is cut
// out (the light is evened only on a page found).
TEST_F(CaptureTest, EvenLightBoxWhitensThePagesPaperIsRememberedAndGreyedWithoutCropping) {
  ScanSettings settings;
  settings.evenLight = 0;
  ASSERT_TRUE(Start(settings));
  QCheckBox* box = Check(kIdEvenLightCheck);
  EXPECT_FALSE(box->isChecked());
  EXPECT_TRUE(box->isEnabled());
  // The paper's brightness: the grey most of the page's pixels have.
  const auto paper = [](const std::string& path) {
    const QImage page =
        QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_Grayscale8);
    std::array<int, 256> counts{};
    for (int y = 0; y < page.height(); ++y) {
      const uchar* row = page.constScanLine(y);
      for (int x = 0; x < page.width(); ++x) ++counts[row[x]];
    }
    return static_cast<int>(std::max_element(counts.begin(), counts.end()) - counts.begin());
  };
  Press();
  ASSERT_EQ(Listed().size(), 1u);
  const int asSeen = paper(Listed().back());

  ClearCalls();
  Click(kIdEvenLightCheck);
  const std::vector<LensCall> calls = Calls("camSetImageEvenLight");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args, (std::vector<std::string>{"0", "1"}));
  Press();
  ASSERT_EQ(Listed().size(), 2u);
  const int evened = paper(Listed().back());
  EXPECT_GT(evened, asSeen + 5) << "evened " << evened << ", as seen " << asSeen;

  Choose(kIdCropCombo, kTavrinCropNone);
  EXPECT_FALSE(box->isEnabled());
  Choose(kIdCropCombo, kTavrinCropSinglePage);
  EXPECT_TRUE(box->isEnabled());

  window->reject();
  ScanSettings saved;
  ASSERT_TRUE(LoadLastSettings(LastSettingsPath(), saved));
  EXPECT_EQ(saved.evenLight, 1);
}

}  // namespace
}  // namespace tavrin
