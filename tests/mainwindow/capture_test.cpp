// The capture pipeline of the real window with the real camera library and
// virtual cameras: files on disk, the thumbnail strip and what the TWAIN
// control listed.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImageReader>
#include <QPushButton>
#include <QRegularExpression>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include "dslink/twain_control.h"
#include "mainwindow/message_box.h"
#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "platform/text.h"
#include "settings/scan_settings.h"
#include "settings/ui_text_table.h"
#include "tests/mainwindow/private_program_folder.h"
#include "thumbnails/image_list_ctrl.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;

template <class Done>
bool WaitFor(Done done, int timeoutMs = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class CaptureTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::InPrivateFolder());
    g_scanSettings = ScanSettings{};
    g_uiTextTable = UiTextTable{};
    g_languageList.clear();
    SetMessageBoxObserver([this](const QString& text) { messages.push_back(text); });
    fs::remove(LastSettingsPath());
    SetCameras("document");
  }
  void TearDown() override {
    window.reset();
    SetMessageBoxObserver({});
  }

  void SetCameras(const std::string& list) {
    std::ofstream(test::CameraListPath(), std::ios::trunc) << list << "\n";
  }
  bool Start(const ScanSettings& settings = ScanSettings{}) {
    if (!SaveLastSettings(LastSettingsPath(), settings)) return false;
    window = std::make_unique<CTavrinWindowDlg>();
    return window->OnInitDialog();
  }
  QComboBox* Combo(int id) const { return qobject_cast<QComboBox*>(window->Control(id)); }
  void Choose(int id, int item) {
    Combo(id)->setCurrentIndex(item);
    emit Combo(id)->activated(item);
  }
  void Press() { qobject_cast<QPushButton*>(window->Control(kIdCaptureButton))->click(); }
  std::vector<std::string> Listed() const {
    std::vector<std::string> paths;
    for (const std::u16string& path : window->Twain().FileList())
      paths.push_back(platform::Utf16ToUtf8(path));
    return paths;
  }
  std::vector<std::string> WorkFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(window->WorkFolder()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::unique_ptr<CTavrinWindowDlg> window;
  std::vector<QString> messages;
};

TEST(SplitAtTest, PiecesBetweenSeparatorsWithEmptyOnesKept) {
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(CTavrinWindowDlg::SplitAt("a;b;c", ';'), (Pieces{"a", "b", "c"}));
  EXPECT_EQ(CTavrinWindowDlg::SplitAt("/w/1_5.jpg", ';'), (Pieces{"/w/1_5.jpg"}));
  EXPECT_EQ(CTavrinWindowDlg::SplitAt("", ';'), (Pieces{""}));
  EXPECT_EQ(CTavrinWindowDlg::SplitAt("a;", ';'), (Pieces{"a", ""}));
  EXPECT_EQ(CTavrinWindowDlg::SplitAt(";;", ';'), (Pieces{"", "", ""}));
}

TEST_F(CaptureTest, PlainCaptureInEachFormatListsAndShowsEveryFileUnderNewNames) {
  ASSERT_TRUE(Start());
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
    Press();
    ASSERT_EQ(Listed().size(), names.size() + 1) << c.extension;
    const std::string path = Listed().back();
    const QFileInfo info(QString::fromStdString(path));
    EXPECT_EQ(
        info.absolutePath().toStdString(),
        QFileInfo(QString::fromStdString(window->WorkFolder())).absoluteFilePath().toStdString());
    EXPECT_TRUE(info.fileName().contains(
        QRegularExpression(QStringLiteral("^1_-?[0-9]+%1$")
                               .arg(QRegularExpression::escape(QString::fromUtf8(c.extension))))))
        << path;
    QImageReader reader(info.filePath());
    reader.setDecideFormatFromContent(true);
    EXPECT_EQ(reader.format(), c.decoded) << path;
    EXPECT_FALSE(reader.read().isNull()) << path;
    EXPECT_TRUE(names.insert(info.completeBaseName().toStdString()).second) << "reused " << path;
    EXPECT_EQ(window->Thumbnails()->ImageCount(), ++shown);
  }
  EXPECT_TRUE(messages.empty());
}

TEST_F(CaptureTest, ModeOneRetriesSevenTimesHalfASecondApartThenFailsAndCloses) {
  SetCameras("document?fail=10");
  ASSERT_TRUE(Start());
  window->Twain().m_nShowMode = 1;
  QElapsedTimer timer;
  timer.start();
  Press();
  const qint64 elapsedMs = timer.elapsed();
  EXPECT_GE(elapsedMs, 6 * 500);
  EXPECT_LT(elapsedMs, 7 * 500 + 1500);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Capture Failed.");
  EXPECT_TRUE(WaitFor([&] { return !window->isVisible(); }));
  EXPECT_EQ(window->result(), QDialog::Rejected);
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ(window->Thumbnails()->ImageCount(), 0);
}

TEST_F(CaptureTest, ModeOneRetrySucceedingOnTheFourthCallHandsTheFileOn) {
  SetCameras("document?fail=3");
  ASSERT_TRUE(Start());
  window->Twain().m_nShowMode = 1;
  QElapsedTimer timer;
  timer.start();
  Press();
  const qint64 elapsedMs = timer.elapsed();
  EXPECT_GE(elapsedMs, 3 * 500);
  EXPECT_LT(elapsedMs, 4 * 500 + 1500);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(Listed().size(), 1u);
  EXPECT_TRUE(window->isVisible());
}

TEST_F(CaptureTest, OtherModesCallOnceAndFailSilently) {
  SetCameras("document?fail=1");
  ASSERT_TRUE(Start());
  window->Twain().m_nShowMode = 0;
  QElapsedTimer timer;
  timer.start();
  Press();
  EXPECT_LT(timer.elapsed(), 450);
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(Listed().empty());
  EXPECT_TRUE(window->isVisible());
  // The one failure was the only call: the next press succeeds.
  Press();
  EXPECT_EQ(Listed().size(), 1u);
}

TEST_F(CaptureTest, MultipleCropHandsOnEveryPieceInOrder) {
  SetCameras("pages");
  ASSERT_TRUE(Start());
  Choose(kIdCropCombo, 2);
  Press();
  const std::vector<std::string> listed = Listed();
  ASSERT_EQ(listed.size(), 3u);
  for (const std::string& path : listed) {
    EXPECT_EQ(path.find(';'), std::string::npos);
    EXPECT_FALSE(QImage(QString::fromStdString(path)).isNull()) << path;
  }
  EXPECT_EQ(window->Thumbnails()->ImageCount(), 3);
  EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()).size(), 3u);
}

TEST_F(CaptureTest, MultipleCropWithOnePieceContinuesLikeAnyCrop) {
  ASSERT_TRUE(Start());  // one page: one piece
  Choose(kIdCropCombo, 2);
  Press();
  ASSERT_EQ(Listed().size(), 1u);
  EXPECT_EQ(Listed()[0].find(';'), std::string::npos);
  EXPECT_EQ(window->Thumbnails()->ImageCount(), 1);
}

TEST_F(CaptureTest, SendEachInModeTwoListsTheFileWithoutSending) {
  ScanSettings settings;
  settings.ShowUIUpdataOneByOne = 1;
  ASSERT_TRUE(Start(settings));
  window->Twain().m_nShowMode = 2;
  Press();
  EXPECT_EQ(Listed().size(), 1u);
}

TEST_F(CaptureTest, SendEachOutsideModeTwoLeavesTheListToTheDataSource) {
  ScanSettings settings;
  settings.ShowUIUpdataOneByOne = 1;
  ASSERT_TRUE(Start(settings));
  window->Twain().m_nShowMode = 0;
  Press();
  EXPECT_TRUE(Listed().empty());
  // The file is still shown.
  EXPECT_EQ(window->Thumbnails()->ImageCount(), 1);
}

}  // namespace
}  // namespace tavrin
