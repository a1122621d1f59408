// The scan window on the offscreen platform with the real camera library
// and virtual cameras, driven by control id.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "camera/camera_library.h"
#include "dialogs/about_dlg.h"
#include "dslink/twain_control.h"
#include "mainwindow/message_box.h"
#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "settings/scan_settings.h"
#include "settings/ui_text_table.h"
#include "tests/mainwindow/private_program_folder.h"
#include "tests/mainwindow/window_fixture.h"
#include "tests/mainwindow/window_probe.h"

// Readable failure messages.
void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace tavrin {
namespace {

namespace fs = std::filesystem;

QString Q(const std::u16string& text) {
  return QString::fromStdU16String(text);
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

using test::WaitFor;

// Runs the current test again in a process of its own, from a new private
// folder, for tests that must start with no camera library loaded.
constexpr const char* kFreshVariable = "TAVRIN_TEST_FRESH";
constexpr int kChildTimeoutMs = 5 * 60 * 1000;

bool InFreshProcess() {
  return platform::Environment(kFreshVariable) == "1";
}

int RunCurrentTestInFreshProcess() {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter =
      std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  const std::vector<std::string> env = {std::string("TAVRIN_TEST_PRIVATE_DIR="),
                                        std::string(kFreshVariable) + "=1"};
  std::string error;
  const int pid = platform::SpawnProcess(platform::ProgramPath(), {filter}, env, &error);
  if (pid < 0) return -1;
  int status = -1;
  if (!platform::WaitProcess(pid, kChildTimeoutMs, &status)) {
    platform::KillProcess(pid);
    return -2;
  }
  return status;
}

class ScanWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::InPrivateFolder());
    g_scanSettings = ScanSettings{};
    g_uiTextTable = UiTextTable{};
    g_languageList.clear();
    SetMessageBoxObserver([this](const QString& text) { messages.push_back(text); });
    fs::remove(LastSettingsPath());
    // Every test starts with the shipped language files.
    languageIndex = test::ProgramFolder() + "/Language/Language.xml";
    std::ifstream in(languageIndex, std::ios::binary);
    shippedIndex.assign(std::istreambuf_iterator<char>(in), {});
    SetCameras("document");
  }

  void TearDown() override {
    window.reset();
    SetMessageBoxObserver({});
    WriteFile(languageIndex, shippedIndex);
  }

  void SetCameras(const std::string& list) { WriteFile(test::CameraListPath(), list + "\n"); }

  void SaveSettingsFile(const ScanSettings& settings) {
    ASSERT_TRUE(SaveLastSettings(LastSettingsPath(), settings));
  }

  bool Start() {
    window = std::make_unique<CTavrinWindowDlg>();
    return window->OnInitDialog();
  }

  template <class T>
  T* Get(int id) const {
    return qobject_cast<T*>(window->Control(id));
  }
  QComboBox* Combo(int id) const { return Get<QComboBox>(id); }
  // What a control says, without the marks of its Alt letter.
  QString Text(int id) const {
    QWidget* widget = window->Control(id);
    if (auto* label = qobject_cast<QLabel*>(widget)) return QString(label->text()).remove('&');
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
    return {};
  }
  QStringList Items(int id) const {
    QStringList items;
    QComboBox* combo = Combo(id);
    for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
    return items;
  }
  // Every caption fits inside its control, in its own font.
  void ExpectTextsFit() const {
    for (const DialogControl& row : ScanWindowTemplate().controls) {
      QWidget* widget = window->Control(row.id);
      // The controls the template hides are never shown.
      if ((row.style & kStyleHidden) != 0) continue;
      const QFontMetrics metrics(widget->font());
      if (auto* label = qobject_cast<QLabel*>(widget)) {
        EXPECT_LE(metrics.horizontalAdvance(label->text()), widget->width()) << row.id;
      } else if (qobject_cast<QPushButton*>(widget) != nullptr) {
        EXPECT_LE(metrics.horizontalAdvance(Text(row.id)), widget->width()) << row.id;
      } else if (qobject_cast<QAbstractButton*>(widget) != nullptr) {
        EXPECT_LE(widget->sizeHint().width(), widget->width()) << row.id;
      }
    }
  }

  // As the user does it: the handler runs on activation.
  void Choose(int id, int item) {
    QComboBox* combo = Combo(id);
    combo->setCurrentIndex(item);
    emit combo->activated(item);
  }

  // A second binding to the same library sees what the window set.
  void CurrentSize(int camera, int& width, int& height) {
    CameraLibrary probe;
    ASSERT_TRUE(probe.LoadFromProgramFolder());
    int mediaType = -1;
    probe.camGetCurResolution(camera, &mediaType, &width, &height);
  }

  ScanWindowProbe Probe() const { return ScanWindowProbe(*window); }

  std::unique_ptr<CTavrinWindowDlg> window;
  std::vector<QString> messages;
  std::string languageIndex;
  std::string shippedIndex;
};

TEST_F(ScanWindowTest, StartsWithOneCameraReadyAndLaidOutFromTheTemplate) {
  ASSERT_TRUE(Start());
  EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
  EXPECT_TRUE(Probe().IsReady());
  EXPECT_TRUE(Probe().IsCameraReady());
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(Probe().CurrentCamera(), 0);
  EXPECT_EQ(Items(kIdDeviceCombo), QStringList{"Virtual Document Camera"});
  EXPECT_EQ(Items(kIdWebcamDeviceCombo), QStringList{"Virtual Document Camera"});
  EXPECT_FALSE(Get<QCheckBox>(kIdWebcamCheck)->isEnabled());
  EXPECT_TRUE(Get<QPushButton>(kIdWebcamCaptureButton)->isHidden());
  EXPECT_TRUE(Get<QPushButton>(kIdSaveButton)->isHidden());
  EXPECT_FALSE(Get<QPushButton>(kIdSaveButton)->isEnabled());

  // Caption: the program file's name; status bar: the project version.
  EXPECT_EQ(window->windowTitle(),
            QFileInfo(QString::fromStdString(platform::ProgramPath())).completeBaseName());
  const auto& v = Probe().Version();
  EXPECT_EQ(Probe().StatusBar()->currentMessage(),
            QStringLiteral("Version : %1.%2.%3").arg(v[0]).arg(v[1]).arg(v[2]));
  EXPECT_EQ(Probe().StatusBar()->height(), 20);
  EXPECT_EQ(Probe().StatusBar()->geometry().bottom(), window->height() - 1);

  // The live picture goes over the preview area; the webcam's picture,
  // beside it, is hidden until the webcam is on.
  const QRect area = window->Control(kIdPreviewArea)->geometry();
  EXPECT_EQ(window->PreviewHost()->geometry(), area);
  EXPECT_TRUE(window->PreviewHost()->isVisible());
  EXPECT_TRUE(Probe().WebcamPreview()->isHidden());
  ASSERT_NE(Probe().MergePreview(), nullptr);
  EXPECT_TRUE(Probe().MergePreview()->isHidden());

  EXPECT_EQ(Items(kIdFormatCombo), (QStringList{"BMP(*.bmp)", "JPEG(*.jpg)", "PNG(*.png)"}));
  EXPECT_EQ(Items(kIdRotateCombo), (QStringList{"0°", "90° Left", "180°", "90° Right"}));
  EXPECT_EQ(Items(kIdCropCombo).size(), 5);
  EXPECT_EQ(Combo(kIdFormatCombo)->currentIndex(), g_scanSettings.fileType);
  ExpectTextsFit();
  // "Resolution" is too long for label 1093 in the template: the label
  // grows, its font stays the dialog's.
  EXPECT_EQ(window->Control(kIdWebcamResolutionLabel)->font().pointSizeF(),
            window->font().pointSizeF());
}

TEST_F(ScanWindowTest, WithoutCameraShowsTheWindowAndMarksTheCameraNotReady) {
  SetCameras("");
  ASSERT_TRUE(Start());
  EXPECT_TRUE(messages.empty());
  EXPECT_FALSE(Probe().IsCameraReady());
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(Combo(kIdDeviceCombo)->count(), 0);
  EXPECT_EQ(Combo(kIdWebcamDeviceCombo)->count(), 0);
  EXPECT_EQ(Probe().CurrentCamera(), -1);
  EXPECT_FALSE(Get<QCheckBox>(kIdWebcamCheck)->isEnabled());
  EXPECT_TRUE(Get<QPushButton>(kIdWebcamCaptureButton)->isHidden());
}

TEST_F(ScanWindowTest, TwoCamerasFillBothDeviceListsAndOpenTheFirst) {
  SetCameras("document,webcam");
  ASSERT_TRUE(Start());
  const QStringList names{"Virtual Document Camera", "Virtual Webcam"};
  EXPECT_EQ(Items(kIdDeviceCombo), names);
  EXPECT_EQ(Items(kIdWebcamDeviceCombo), names);
  EXPECT_EQ(Combo(kIdDeviceCombo)->currentIndex(), 0);
  EXPECT_EQ(Probe().CurrentCamera(), 0);
  EXPECT_EQ(Probe().WebcamCamera(), -1);

  // Choosing the open camera again is refused.
  Choose(kIdDeviceCombo, 0);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], Q(g_uiTextTable.CamUsed));
  EXPECT_EQ(Probe().CurrentCamera(), 0);

  // The webcam has its own sizes: switching rebuilds the lists from it.
  Choose(kIdDeviceCombo, 1);
  EXPECT_EQ(Probe().CurrentCamera(), 1);
  EXPECT_EQ(Items(kIdMediaTypeCombo), (QStringList{"MJPG", "YUY2"}));
  EXPECT_TRUE(Items(kIdResolutionCombo).contains("1280x720(HD-720)"));
  EXPECT_FALSE(Items(kIdResolutionCombo).contains("4912x3680(18MP)"));
}

TEST_F(ScanWindowTest, BookCropKeepsColourAndRotateAndDisablesMergeAndWatermark) {
  ScanSettings settings;
  settings.cutType = kTavrinCropBook;
  SaveSettingsFile(settings);
  ASSERT_TRUE(Start());
  EXPECT_TRUE(Combo(kIdColorCombo)->isEnabled());
  EXPECT_TRUE(Combo(kIdRotateCombo)->isEnabled());
  EXPECT_FALSE(Get<QCheckBox>(kIdMergeCheck)->isEnabled());
  EXPECT_FALSE(Get<QCheckBox>(kIdWatermarkCheck)->isEnabled());
  EXPECT_TRUE(Combo(kIdCropCombo)->isEnabled());
  EXPECT_EQ(Combo(kIdCropCombo)->count(), 5);
  EXPECT_EQ(Combo(kIdCropCombo)->currentIndex(), 4);
  EXPECT_EQ(Combo(kIdCropCombo)->currentText(), "Book");

  window->reject();
  ScanSettings saved;
  ASSERT_TRUE(LoadLastSettings(LastSettingsPath(), saved));
  EXPECT_EQ(saved.cutType, 4);
}

TEST_F(ScanWindowTest, OtherCropsLeaveColourAndRotateEnabledAndLeavingTheBookGivesThemBack) {
  ScanSettings settings;
  settings.cutType = kTavrinCropEdgeRestore;
  SaveSettingsFile(settings);
  ASSERT_TRUE(Start());
  EXPECT_TRUE(Combo(kIdColorCombo)->isEnabled());
  EXPECT_TRUE(Combo(kIdRotateCombo)->isEnabled());
  EXPECT_EQ(Combo(kIdCropCombo)->currentIndex(), 3);

  // Chosen while the window runs, the book crop greys what it greys at
  // start-up and drops a two-picture merge; leaving it gives the boxes back.
  Get<QCheckBox>(kIdMergeCheck)->click();
  Choose(kIdCropCombo, kTavrinCropBook);
  EXPECT_TRUE(Combo(kIdColorCombo)->isEnabled());
  EXPECT_TRUE(Combo(kIdRotateCombo)->isEnabled());
  EXPECT_FALSE(Get<QCheckBox>(kIdMergeCheck)->isEnabled());
  EXPECT_FALSE(Get<QCheckBox>(kIdMergeCheck)->isChecked());
  Choose(kIdCropCombo, kTavrinCropSinglePage);
  EXPECT_TRUE(Combo(kIdColorCombo)->isEnabled());
  EXPECT_TRUE(Combo(kIdRotateCombo)->isEnabled());
  EXPECT_TRUE(Get<QCheckBox>(kIdMergeCheck)->isEnabled());
  EXPECT_TRUE(Get<QCheckBox>(kIdWatermarkCheck)->isEnabled());
}

TEST_F(ScanWindowTest, NamedSizesOnlyAndTheRememberedOneSelected) {
  // Own DPI 96 at the first size, where the camera opens.
  SetCameras("document?sizes=3264x2448+1920x1080+1024x600&dpi=96");
  ScanSettings settings;
  settings.DPI.MainWidth = 3264;
  settings.DPI.MainHeight = 2448;
  SaveSettingsFile(settings);
  ASSERT_TRUE(Start());
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(Items(kIdResolutionCombo), (QStringList{"3264x2448(8MP)", "1920x1080(HD-1080)"}));
  EXPECT_EQ(Combo(kIdResolutionCombo)->currentIndex(), 0);
  // 96 DPI is no DPI of its own: only the resolution unit.
  EXPECT_EQ(Items(kIdUnitCombo), QStringList{"Resolution"});
  EXPECT_EQ(Text(kIdResolutionLabel), "Resolution");

  // Choosing a size switches the camera and remembers it.
  Choose(kIdResolutionCombo, 1);
  int width = 0;
  int height = 0;
  CurrentSize(0, width, height);
  EXPECT_EQ(width, 1920);
  EXPECT_EQ(height, 1080);
  EXPECT_EQ(g_scanSettings.DPI.MainWidth, 1920);
  EXPECT_EQ(g_scanSettings.DPI.MainHeight, 1080);
}

TEST_F(ScanWindowTest, RememberedSizeAmongRepeatsSelectsTheLastMatch) {
  SetCameras("document?sizes=1920x1080+1280x720+1920x1080");
  ScanSettings settings;
  settings.DPI.MainWidth = 1920;
  settings.DPI.MainHeight = 1080;
  SaveSettingsFile(settings);
  ASSERT_TRUE(Start());
  EXPECT_EQ(Items(kIdResolutionCombo),
            (QStringList{"1920x1080(HD-1080)", "1280x720(HD-720)", "1920x1080(HD-1080)"}));
  EXPECT_EQ(Combo(kIdResolutionCombo)->currentIndex(), 2);
}

TEST_F(ScanWindowTest, MediaTypeChangeRebuildsTheSizesOfThatType) {
  ASSERT_TRUE(Start());
  ASSERT_EQ(Items(kIdMediaTypeCombo), (QStringList{"MJPG", "YUY2"}));
  EXPECT_EQ(Combo(kIdMediaTypeCombo)->currentIndex(), 0);
  EXPECT_TRUE(Items(kIdResolutionCombo).contains("4912x3680(18MP)"));
  Choose(kIdMediaTypeCombo, 1);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(g_scanSettings.MediaType, 1);
  // Uncompressed frames come in the small sizes only.
  EXPECT_FALSE(Items(kIdResolutionCombo).contains("4912x3680(18MP)"));
  EXPECT_EQ(Combo(kIdResolutionCombo)->itemText(0), "2592x1944(5MP)");
  window->reject();
  ScanSettings saved;
  ASSERT_TRUE(LoadLastSettings(LastSettingsPath(), saved));
  EXPECT_EQ(saved.MediaType, 1);
}

TEST_F(ScanWindowTest, DataSourceLinkMessagesUseTheWindowsMessageBox) {
  ASSERT_TRUE(Start());
  ShowLinkMessage(u"m_TwainWindow = null");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "m_TwainWindow = null");
}

TEST_F(ScanWindowTest, F1AndTheStatusBarMenuOpenTheAboutBox) {
  ASSERT_TRUE(Start());
  int aboutBoxes = 0;
  // The about box is modal: close it as soon as it is up.
  const auto closeWhenUp = [&] {
    test::OnNextDialog<CAboutDlg>([&](CAboutDlg& about) {
      ++aboutBoxes;
      about.reject();
    });
  };
  window->activateWindow();
  QApplication::setActiveWindow(window.get());
  closeWhenUp();
  QTest::keyClick(window.get(), Qt::Key_F1);
  EXPECT_EQ(aboutBoxes, 1);

  // The status bar's menu holds the same entry.
  QTimer::singleShot(0, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("About TavrinDesk..."));
    menu->close();
    closeWhenUp();
    menu->actions()[0]->trigger();
  });
  emit Probe().StatusBar()->customContextMenuRequested(QPoint(5, 5));
  EXPECT_TRUE(WaitFor([&] { return aboutBoxes == 2; }));
  // Other window commands do nothing.
  Probe().OnSysCommand(0xF060 + 1);
  EXPECT_EQ(aboutBoxes, 2);
}

TEST_F(ScanWindowTest, HugeUnnamedSizeStaysWithAnEmptyLabel) {
  SetCameras("document?sizes=5000x4000+1920x1080");
  ScanSettings settings;
  settings.DPI.MainWidth = 5000;
  settings.DPI.MainHeight = 4000;
  SaveSettingsFile(settings);
  ASSERT_TRUE(Start());
  EXPECT_EQ(Items(kIdResolutionCombo), (QStringList{"5000x4000()", "1920x1080(HD-1080)"}));
  EXPECT_EQ(Combo(kIdResolutionCombo)->currentIndex(), 0);
}

TEST_F(ScanWindowTest, WithoutRememberedSizeSelectsTheFirstItemAndSwitchesTheCamera) {
  // Nothing remembered: the camera opens at the list's first size.
  ASSERT_TRUE(Start());
  EXPECT_TRUE(messages.empty());
  ASSERT_GT(Combo(kIdResolutionCombo)->count(), 0);
  EXPECT_EQ(Combo(kIdResolutionCombo)->currentIndex(), 0);
  EXPECT_EQ(Combo(kIdResolutionCombo)->itemText(0), "4912x3680(18MP)");
  int width = 0;
  int height = 0;
  CurrentSize(0, width, height);
  EXPECT_EQ(width, 4912);
  EXPECT_EQ(height, 3680);
}

TEST_F(ScanWindowTest, DpiUnitSelectsTheSavedDpi) {
  ScanSettings settings;
  settings.SizeUnit = 1;
  settings.DPI.ImageDPI = 300;
  SaveSettingsFile(settings);
  ASSERT_TRUE(Start());
  ASSERT_EQ(Items(kIdUnitCombo), (QStringList{"Resolution", "DPI"}));
  EXPECT_EQ(Combo(kIdUnitCombo)->currentIndex(), 1);
  EXPECT_EQ(Text(kIdResolutionLabel), "DPI");
  EXPECT_EQ(Items(kIdResolutionCombo), (QStringList{"100", "200", "250", "260", "300", "600"}));
  EXPECT_EQ(Combo(kIdResolutionCombo)->currentText(), "300");

  // Back to sizes: the label follows the unit.
  Choose(kIdUnitCombo, 0);
  EXPECT_EQ(Text(kIdResolutionLabel), "Resolution");
  EXPECT_TRUE(Items(kIdResolutionCombo).contains("4912x3680(18MP)"));
}

TEST_F(ScanWindowTest, DpiUnitWithAnUnknownDpiSelectsTheThirdItem) {
  ScanSettings settings;
  settings.SizeUnit = 1;
  settings.DPI.ImageDPI = 123;
  SaveSettingsFile(settings);
  ASSERT_TRUE(Start());
  EXPECT_EQ(Combo(kIdResolutionCombo)->currentText(), "260");

  // Choosing an item asks for its DPI and remembers it.
  Choose(kIdResolutionCombo, 1);
  EXPECT_EQ(g_scanSettings.DPI.ImageDPI, 200);
}

TEST_F(ScanWindowTest, SavedResolutionUnitWinsOverTheCamerasDpi) {
  ASSERT_TRUE(Start());
  EXPECT_EQ(Items(kIdUnitCombo), (QStringList{"Resolution", "DPI"}));
  EXPECT_EQ(Combo(kIdUnitCombo)->currentIndex(), 0);
  EXPECT_EQ(Text(kIdResolutionLabel), "Resolution");
}

TEST_F(ScanWindowTest, HandCutRemembersAndRestoresTheCrop) {
  ScanSettings settings;
  settings.cutType = kTavrinCropEdgeRestore;
  SaveSettingsFile(settings);
  ASSERT_TRUE(Start());
  QCheckBox* handCut = Get<QCheckBox>(kIdHandCutCheck);
  ASSERT_FALSE(handCut->isChecked());
  handCut->click();
  EXPECT_EQ(Combo(kIdCropCombo)->currentIndex(), 0);
  EXPECT_EQ(g_scanSettings.HandCut, 1);
  handCut->click();
  EXPECT_EQ(Combo(kIdCropCombo)->currentIndex(), 3);
  EXPECT_EQ(g_scanSettings.HandCut, 0);
}

TEST_F(ScanWindowTest, SavedHandCutStartsWithCropNone) {
  ScanSettings settings;
  settings.cutType = kTavrinCropSinglePage;
  settings.HandCut = 1;
  SaveSettingsFile(settings);
  ASSERT_TRUE(Start());
  EXPECT_TRUE(Get<QCheckBox>(kIdHandCutCheck)->isChecked());
  EXPECT_EQ(Combo(kIdCropCombo)->currentIndex(), 0);
  Get<QCheckBox>(kIdHandCutCheck)->click();
  EXPECT_EQ(Combo(kIdCropCombo)->currentIndex(), 1);
}

TEST_F(ScanWindowTest, MultipleCropUnticksMerge) {
  ScanSettings settings;
  settings.MergeHV.isEnable = 1;
  SaveSettingsFile(settings);
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Get<QCheckBox>(kIdMergeCheck)->isChecked());
  Choose(kIdCropCombo, kTavrinCropSinglePage);
  EXPECT_TRUE(Get<QCheckBox>(kIdMergeCheck)->isChecked());
  Choose(kIdCropCombo, kTavrinCropMultiplePages);
  EXPECT_FALSE(Get<QCheckBox>(kIdMergeCheck)->isChecked());
}

TEST_F(ScanWindowTest, LanguageChangeRelabelsEveryControl) {
  ASSERT_TRUE(Start());
  int cn = -1;
  for (size_t i = 0; i < g_languageList.size(); ++i) {
    if (g_languageList[i].code == u"CN") cn = static_cast<int>(i);
  }
  ASSERT_GE(cn, 0);
  ASSERT_EQ(Combo(kIdLanguageCombo)->count(), static_cast<int>(g_languageList.size()));
  UiTextTable chinese;
  ASSERT_TRUE(LoadUiTexts(test::ProgramFolder() + "/Language/CN.xml", chinese));
  ASSERT_NE(chinese.Capture, UiTextTable{}.Capture);

  Choose(kIdLanguageCombo, cn);
  const std::pair<int, std::u16string UiTextTable::*> labels[] = {
      {kIdDeviceLabel, &UiTextTable::Device},
      {kIdCaptureButton, &UiTextTable::Capture},
      {kIdAutoCaptureButton, &UiTextTable::AutoCapture},
      {kIdAutoCaptureModeLabel, &UiTextTable::AutoCaptureText},
      {kIdRotateLabel, &UiTextTable::Rotate},
      {kIdColorLabel, &UiTextTable::Color},
      {kIdCropLabel, &UiTextTable::Cut},
      {kIdFormatLabel, &UiTextTable::FileFromat},
      {kIdMergeCheck, &UiTextTable::Merge},
      {kIdHandCutCheck, &UiTextTable::HandCut},
      {kIdHorizontalRadio, &UiTextTable::Horizontal},
      {kIdVerticalRadio, &UiTextTable::Vertical},
      {kIdMediaTypeLabel, &UiTextTable::Media},
      {kIdWebcamResolutionLabel, &UiTextTable::Resolution},
      {kIdWatermarkCheck, &UiTextTable::WaterMark},
      {kIdWatermarkSettingsButton, &UiTextTable::Setting},
      {kIdDeviceSettingsButton, &UiTextTable::UvcDevice},
      {kIdImageSettingsButton, &UiTextTable::UvcImage},
      {kIdWebcamDeviceLabel, &UiTextTable::Device},
      {kIdWebcamCheck, &UiTextTable::Webcam},
      {kIdWebcamMergeCheck, &UiTextTable::WebcamMerge},
      {kIdMergeSettingsButton, &UiTextTable::Setting},
      {kIdExitButton, &UiTextTable::Exit},
      {kIdBestFitButton, &UiTextTable::Best},
      {kIdLanguageLabel, &UiTextTable::Language},
      {kIdUnitLabel, &UiTextTable::Unit},
      {kIdResolutionLabel, &UiTextTable::Resolution},
      {kIdSaveButton, &UiTextTable::Save},
  };
  for (const auto& [id, key] : labels) EXPECT_EQ(Text(id), Q(chinese.*key)) << "control " << id;
  EXPECT_EQ(Text(kIdZoomInButton), "+");
  EXPECT_EQ(Text(kIdZoomOutButton), "-");
  EXPECT_EQ(Text(kIdOriginalSizeButton), "1:1");
  EXPECT_EQ(Text(kIdWebcamCaptureButton), QString::fromUtf8("副头拍照"));
  EXPECT_EQ(Items(kIdColorCombo), (QStringList{Q(chinese.ColorType0), Q(chinese.ColorType1),
                                               Q(chinese.ColorType2), Q(chinese.ColorType3)}));
  EXPECT_EQ(Items(kIdRotateCombo), (QStringList{"0°", "90° " + Q(chinese.RotateLeft), "180°",
                                                "90° " + Q(chinese.RotateRight)}));
  EXPECT_EQ(Items(kIdAutoCaptureModeCombo),
            (QStringList{Q(chinese.AutoCaptureOption1), Q(chinese.AutoCaptureOption2)}));
  EXPECT_EQ(Items(kIdUnitCombo), (QStringList{Q(chinese.Resolution), Q(chinese.DPI)}));
  EXPECT_TRUE(Probe().StatusBar()->currentMessage().startsWith(Q(chinese.Version) + " : "));
  ExpectTextsFit();
  // Selections survive the refill.
  EXPECT_EQ(Combo(kIdColorCombo)->currentIndex(), g_scanSettings.colorType);

  // The chosen code is what is saved.
  window->reject();
  ScanSettings saved;
  ASSERT_TRUE(LoadLastSettings(LastSettingsPath(), saved));
  EXPECT_EQ(saved.Language, "CN");
}

TEST_F(ScanWindowTest, MissingLanguageFileKeepsTheTextsButSavesTheChoice) {
  WriteFile(languageIndex,
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<LanguageInfo>\n"
            "<Language name=\"English\">EN</Language>\n"
            "<Language name=\"Nowhere\">XX</Language>\n</LanguageInfo>\n");
  ASSERT_TRUE(Start());
  ASSERT_EQ(Items(kIdLanguageCombo), (QStringList{"English", "Nowhere"}));
  EXPECT_EQ(Combo(kIdLanguageCombo)->currentIndex(), 0);
  const QString capture = Text(kIdCaptureButton);
  Choose(kIdLanguageCombo, 1);
  EXPECT_EQ(Text(kIdCaptureButton), capture);
  EXPECT_EQ(Combo(kIdLanguageCombo)->currentIndex(), 1);
  window->reject();
  ScanSettings saved;
  ASSERT_TRUE(LoadLastSettings(LastSettingsPath(), saved));
  EXPECT_EQ(saved.Language, "XX");
}

TEST_F(ScanWindowTest, ClosingSavesWhatTheControlsShow) {
  ScanSettings settings;
  settings.WaterMark.text = "kept as it was";
  SaveSettingsFile(settings);
  ASSERT_TRUE(Start());
  Choose(kIdColorCombo, kColorItemDocument);
  Choose(kIdRotateCombo, kTavrinRotateRight);
  Combo(kIdFormatCombo)->setCurrentIndex(2);
  Choose(kIdCropCombo, kTavrinCropEdgeRestore);
  Choose(kIdResolutionCombo, 1);
  const QString size = Combo(kIdResolutionCombo)->currentText();
  Get<QPushButton>(kIdExitButton)->click();
  EXPECT_FALSE(window->isVisible());

  ScanSettings saved;
  ASSERT_TRUE(LoadLastSettings(LastSettingsPath(), saved));
  EXPECT_EQ(saved.colorType, 2);
  EXPECT_EQ(saved.rotateType, 3);
  EXPECT_EQ(saved.fileType, 2);
  EXPECT_EQ(saved.cutType, 3);
  EXPECT_EQ(saved.SizeUnit, 0);
  EXPECT_EQ(saved.Language, "EN");
  EXPECT_EQ(QStringLiteral("%1x%2").arg(saved.DPI.MainWidth).arg(saved.DPI.MainHeight),
            size.left(size.indexOf('(')));
  EXPECT_EQ(saved.WaterMark.text, "kept as it was");
}

TEST_F(ScanWindowTest, WorkingFolderIsEmptiedWithoutFollowingLinks) {
  const std::string work = platform::PrivateTempFolder() + "Tavrin";
  const std::string outside = test::PrivateRoot() + "/outside";
  fs::remove_all(work);
  fs::remove_all(outside);
  fs::create_directories(work + "/sub/deeper");
  fs::create_directories(outside);
  WriteFile(work + "/1_100.jpg", "old");
  WriteFile(work + "/sub/deeper/2_100.jpg", "old");
  WriteFile(outside + "/keep.txt", "precious");
  fs::create_directory_symlink(outside, work + "/link");

  ASSERT_TRUE(Start());
  EXPECT_EQ(Probe().WorkFolder(), work);
  ASSERT_TRUE(fs::is_directory(work));
  EXPECT_TRUE(fs::is_empty(work));
  EXPECT_TRUE(fs::exists(outside + "/keep.txt"));
}

TEST_F(ScanWindowTest, AttachFailureShowsItsMessageAndCloses) {
  const std::string module = test::ProgramFolder() + "/TavrinSource.ds";
  fs::rename(module, module + ".away");
  const bool started = Start();
  fs::rename(module + ".away", module);
  EXPECT_FALSE(started);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "TavrinDesk can't find TwainDS or missing configuration file.");
  EXPECT_FALSE(Probe().IsReady());
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(window->result(), QDialog::Rejected);
}

TEST_F(ScanWindowTest, MissingCameraLibraryShowsErrorAndClosesWithoutSaving) {
  if (!InFreshProcess()) {
    EXPECT_EQ(RunCurrentTestInFreshProcess(), 0);
    return;
  }
  fs::remove(test::ProgramFolder() + "/libTavrinLens.so");
  EXPECT_FALSE(Start());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "error");
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(window->result(), QDialog::Rejected);
  window.reset();
  EXPECT_FALSE(fs::exists(LastSettingsPath()));
}

TEST_F(ScanWindowTest, FailingLibraryInitialisationShowsTheCodeAndCloses) {
  if (!InFreshProcess()) {
    EXPECT_EQ(RunCurrentTestInFreshProcess(), 0);
    return;
  }
  const std::string library = test::ProgramFolder() + "/libTavrinLens.so";
  fs::remove(library);
  fs::copy_file(TAVRIN_FAILING_LENS, library);
  EXPECT_FALSE(Start());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Failed, ErrorCode: 7");
  EXPECT_FALSE(window->isVisible());
  window.reset();
  EXPECT_FALSE(fs::exists(LastSettingsPath()));
}

TEST_F(ScanWindowTest, CamerasPluggedInWhileRunningRefreshTheLists) {
  ASSERT_TRUE(Start());
  ASSERT_EQ(Combo(kIdDeviceCombo)->count(), 1);
  SetCameras("document,webcam");
  EXPECT_TRUE(WaitFor([&] { return Combo(kIdDeviceCombo)->count() == 2; }));
  EXPECT_EQ(Probe().CurrentCamera(), 0);
  SetCameras("");
  EXPECT_TRUE(WaitFor([&] { return Combo(kIdDeviceCombo)->count() == 0; }));
  EXPECT_FALSE(Probe().IsCameraReady());
}

TEST_F(ScanWindowTest, DataSourceCallsFromAnotherThreadRunOnTheGuiThread) {
  ASSERT_TRUE(Start());
  window->hide();
  std::atomic<int> shown = 0;
  std::thread receiver([&] { shown = window->ShowTwainWindow(1); });
  EXPECT_TRUE(WaitFor([&] { return shown.load() == 1; }));
  receiver.join();
  EXPECT_TRUE(window->isVisible());

  std::atomic<int> closed = 0;
  std::thread closer([&] { closed = window->CloseTwainWindow(); });
  EXPECT_TRUE(WaitFor([&] { return closed.load() == 1 && !window->isVisible(); }));
  closer.join();
  EXPECT_EQ(window->result(), QDialog::Rejected);

  // Once closing has begun, calls return at once without the GUI thread.
  std::atomic<int> late = 0;
  std::thread after([&] { late = window->ShowTwainWindow(1); });
  after.join();
  EXPECT_EQ(late.load(), 1);
  EXPECT_FALSE(window->isVisible());
}

TEST_F(ScanWindowTest, CallWaitingForTheGuiThreadDoesNotBlockTheClose) {
  ASSERT_TRUE(Start());
  std::atomic<bool> returned = false;
  std::thread receiver([&] {
    window->ShowTwainWindow(1);
    returned = true;
  });
  // Give the call time to be queued, then close without running the loop.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  window->reject();
  receiver.join();
  EXPECT_TRUE(returned.load());
}

}  // namespace
}  // namespace tavrin
