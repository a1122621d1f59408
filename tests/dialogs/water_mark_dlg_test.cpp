#include "dialogs/water_mark_dlg.h"

#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QFontComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <utility>

#include "dialogs/colour_button.h"
#include "resources/dialog_ids.h"
#include "settings/ui_text_table.h"

namespace tavrin {
namespace {

using namespace idd130;

TEST(FontSizeSearchTest, SearchesFromTheSecondEntryThenWraps) {
  const QStringList& sizes = FontSizeEntries();
  ASSERT_EQ(sizes.size(), 17);
  EXPECT_EQ(sizes[FindPrefixFrom(sizes, "3", 0)], "36");
  EXPECT_EQ(sizes[FindPrefixFrom(sizes, "1", 0)], "10");
  EXPECT_EQ(sizes[FindPrefixFrom(sizes, "7", 0)], "72");
  EXPECT_EQ(FindPrefixFrom(sizes, "5", 0), 0);  // only after wrapping
  EXPECT_EQ(sizes[FindPrefixFrom(sizes, "36", 0)], "36");
  EXPECT_EQ(FindPrefixFrom(sizes, "100", 0), -1);
  EXPECT_EQ(FindPrefixFrom({}, "1", 0), -1);
}

class WaterMarkDlgTest : public ::testing::Test {
 protected:
  void Open(const WaterMarkSettings& record) {
    dialog.settings = record;
    dialog.show();
  }
  template <class T>
  T* Get(int id) {
    return dialog.Controls().Get<T>(id);
  }
  ColourButton* Colour() {
    return static_cast<ColourButton*>(dialog.Controls().Control(kFontColor));
  }
  void Click(int id) { QTest::mouseClick(Get<QPushButton>(id), Qt::LeftButton); }

  CWaterMarkDlg dialog;
};

TEST_F(WaterMarkDlgTest, ShowsTheRecord) {
  WaterMarkSettings record;
  record.text = u"机密 draft";
  record.WordSize = 3;
  record.R = 10;
  record.G = 20;
  record.B = 30;
  record.transparency = 70.0f;
  record.angle = 30.0f;
  record.isItalic = true;
  record.isAddTimeStamp = false;
  record.position = 7;
  Open(record);
  // The first entry after the first that begins with "3".
  EXPECT_EQ(Get<QComboBox>(kFontSize)->currentText(), "36");
  EXPECT_EQ(Get<QComboBox>(kFontSize)->count(), 17);
  EXPECT_EQ(Get<QLineEdit>(kWmText)->text(), QString::fromUtf8("机密 draft"));
  EXPECT_EQ(Colour()->Colour(), QColor(10, 20, 30));
  EXPECT_EQ(Get<QSlider>(kTransparency)->value(), 70);
  EXPECT_EQ(Get<QSlider>(kTransparency)->maximum(), 100);
  EXPECT_EQ(Get<QSlider>(kAngle)->value(), 30);
  EXPECT_EQ(Get<QSlider>(kAngle)->maximum(), 360);
  EXPECT_EQ(Get<QLabel>(kTransparencyValue)->text(), "70%");
  EXPECT_EQ(Get<QLabel>(kAngleValue)->text(), QString::fromUtf8("30°"));
  EXPECT_TRUE(Get<QCheckBox>(kItalic)->isChecked());
  EXPECT_FALSE(Get<QCheckBox>(kWeight)->isChecked());
  EXPECT_FALSE(Get<QCheckBox>(kTimeStamp)->isChecked());
  EXPECT_TRUE(Get<QRadioButton>(1052)->isChecked());  // position 7: bottom
  EXPECT_EQ(dialog.windowTitle(), "Watermark Settings");
  EXPECT_EQ(Get<QRadioButton>(1049)->text(), "Right Top");
  EXPECT_EQ(Get<QLabel>(kPosLabel)->text(), "Postion");
}

TEST_F(WaterMarkDlgTest, LabelsFollowTheSliders) {
  Open(WaterMarkSettings{});
  QSlider* transparency = Get<QSlider>(kTransparency);
  transparency->setFocus();
  QTest::keyClick(transparency, Qt::Key_Right);
  EXPECT_EQ(Get<QLabel>(kTransparencyValue)->text(), "71%");
  Get<QSlider>(kAngle)->setValue(359);
  EXPECT_EQ(Get<QLabel>(kAngleValue)->text(), QString::fromUtf8("359°"));
}

TEST_F(WaterMarkDlgTest, CancelAfterMovingSlidersLeavesTheRecord) {
  const WaterMarkSettings record;
  Open(record);
  Get<QSlider>(kTransparency)->setValue(5);
  Get<QSlider>(kAngle)->setValue(200);
  Get<QCheckBox>(kWeight)->setChecked(true);
  Click(kIdCancel);
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.settings, record);
}

TEST_F(WaterMarkDlgTest, OkReadsEveryControl) {
  Open(WaterMarkSettings{});
  auto* fonts = Get<QFontComboBox>(kFont);
  ASSERT_GT(fonts->count(), 0);
  const QString face = fonts->itemText(fonts->count() - 1);
  fonts->setCurrentIndex(fonts->count() - 1);
  Get<QComboBox>(kFontSize)->setEditText("48");
  Colour()->SetColour(QColor(1, 2, 3));
  Get<QSlider>(kTransparency)->setValue(15);
  Get<QSlider>(kAngle)->setValue(270);
  Get<QCheckBox>(kWeight)->setChecked(true);
  Get<QCheckBox>(kItalic)->setChecked(true);
  Get<QCheckBox>(kUnderline)->setChecked(true);
  Get<QCheckBox>(kTimeStamp)->setChecked(false);
  Get<QLineEdit>(kWmText)->setText("Copy");
  QTest::mouseClick(Get<QRadioButton>(1053), Qt::LeftButton, {}, QPoint(4, 4));
  Click(kIdOk);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  const WaterMarkSettings& got = dialog.settings;
  EXPECT_EQ(QString::fromStdU16String(got.font), face);
  EXPECT_EQ(got.WordSize, 48);
  EXPECT_EQ(got.R, 1);
  EXPECT_EQ(got.G, 2);
  EXPECT_EQ(got.B, 3);
  EXPECT_EQ(got.transparency, 15.0f);
  EXPECT_EQ(got.angle, 270.0f);
  EXPECT_TRUE(got.isWeight);
  EXPECT_TRUE(got.isItalic);
  EXPECT_TRUE(got.isUnderline);
  EXPECT_FALSE(got.isAddTimeStamp);
  EXPECT_EQ(got.text, u"Copy");
  EXPECT_EQ(got.position, 6);  // 1053 is the bottom-left cell
}

TEST_F(WaterMarkDlgTest, PositionOutsideTheGridChecksNoneAndOkKeepsIt) {
  WaterMarkSettings record;
  record.position = 9;
  Open(record);
  EXPECT_EQ(dialog.Controls().RadioGroup(kPos[0])->checkedButton(), nullptr);
  Click(kIdOk);
  EXPECT_EQ(dialog.settings.position, 9);
}

TEST_F(WaterMarkDlgTest, TypedFontsAndSizesSurviveOk) {
  WaterMarkSettings record;
  record.font = u"No Such Face 42";
  record.WordSize = 100;  // not in the list
  Open(record);
  EXPECT_EQ(Get<QComboBox>(kFontSize)->currentText(), "100");
  Click(kIdOk);
  EXPECT_EQ(dialog.settings.font, u"No Such Face 42");
  EXPECT_EQ(dialog.settings.WordSize, 100);
}

// The box offers sizes up to 1000 points; typed beyond, a size is brought
// back into it rather than making every capture run for minutes.
TEST_F(WaterMarkDlgTest, TypedSizesAreKeptToTheBoxsRange) {
  const std::pair<const char*, int> kCases[] = {
      {"5000", 1000}, {"99999999999", 1000}, {"-12", 1}, {"0", 1}, {"1000", 1000}};
  for (const auto& [typed, kept] : kCases) {
    Open(WaterMarkSettings{});
    Get<QComboBox>(kFontSize)->setEditText(typed);
    Click(kIdOk);
    EXPECT_EQ(dialog.settings.WordSize, kept) << typed;
  }
}

TEST_F(WaterMarkDlgTest, SizeThatIsNotANumberBecomesZero) {
  Open(WaterMarkSettings{});
  Get<QComboBox>(kFontSize)->setEditText("big");
  Click(kIdOk);
  EXPECT_EQ(dialog.settings.WordSize, 0);
}

TEST_F(WaterMarkDlgTest, CaptionsComeFromTheTextTable) {
  const UiTextTable saved = g_uiTextTable;
  g_uiTextTable.IDOK = u"确定";
  g_uiTextTable.Pos4 = u"中间";
  g_uiTextTable.WaterMarkOption = u"水印设置";
  Open(WaterMarkSettings{});
  g_uiTextTable = saved;
  EXPECT_EQ(Get<QPushButton>(kIdOk)->text(), QString::fromUtf8("确定"));
  EXPECT_EQ(Get<QRadioButton>(1050)->text(), QString::fromUtf8("中间"));
  EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8("水印设置"));
}

TEST_F(WaterMarkDlgTest, ColourButtonOpensAFiveColumnPalette) {
  Open(WaterMarkSettings{});
  ColourButton* button = Colour();
  EXPECT_EQ(button->Colour(), QColor(255, 0, 0));
  QTest::mouseClick(button, Qt::LeftButton);
  QFrame* palette = button->Palette();
  ASSERT_NE(palette, nullptr);
  EXPECT_TRUE(palette->isVisible());
  const QList<QToolButton*> swatches = palette->findChildren<QToolButton*>();
  ASSERT_EQ(swatches.size(), 20);
  // Five to a row.
  EXPECT_EQ(swatches[4]->y(), swatches[0]->y());
  EXPECT_GT(swatches[5]->y(), swatches[0]->y());
  EXPECT_EQ(swatches[5]->x(), swatches[0]->x());
  QTest::mouseClick(palette->findChild<QToolButton*>("swatch9"), Qt::LeftButton);
  EXPECT_EQ(button->Colour(), QColor(0, 0, 255));

  button->SetOtherColourChooser([](const QColor& current, QWidget*) {
    return current == QColor(0, 0, 255) ? QColor(12, 34, 56) : QColor();
  });
  QTest::mouseClick(button, Qt::LeftButton);
  ASSERT_NE(button->Palette(), nullptr);
  QTest::mouseClick(button->Palette()->findChild<QPushButton*>("other"), Qt::LeftButton);
  EXPECT_EQ(button->Colour(), QColor(12, 34, 56));
  // Cancelling the other-colour choice keeps the colour.
  button->SetOtherColourChooser([](const QColor&, QWidget*) { return QColor(); });
  QTest::mouseClick(button, Qt::LeftButton);
  QTest::mouseClick(button->Palette()->findChild<QPushButton*>("other"), Qt::LeftButton);
  EXPECT_EQ(button->Colour(), QColor(12, 34, 56));
  Click(kIdOk);
  EXPECT_EQ(dialog.settings.B, 56);
}

TEST(WaterMarkSettingsTest, GoesToTheSettingsFileAndBack) {
  ScanSettings::WaterMarkGroup saved;
  WaterMarkSettings defaults = WaterMarkFromScanSettings(saved);
  EXPECT_EQ(defaults, WaterMarkSettings{});
  WaterMarkSettings edited;
  edited.text = u"日期";
  edited.angle = 45.9f;
  edited.transparency = 12.5f;
  edited.position = 8;
  WaterMarkToScanSettings(edited, saved);
  EXPECT_EQ(saved.text, "日期");
  EXPECT_EQ(saved.angle, 45);  // truncated
  EXPECT_EQ(saved.transparency, 12);
  EXPECT_EQ(saved.position, 8);
  EXPECT_EQ(WaterMarkFromScanSettings(saved).text, u"日期");
}

TEST(WaterMarkTextTest, TimeStampFollowsTheTextAfterABlank) {
  std::tm when{};
  when.tm_year = 2024 - 1900;
  when.tm_mon = 4;
  when.tm_mday = 1;
  when.tm_hour = 9;
  when.tm_min = 3;
  when.tm_sec = 7;
  WaterMarkSettings settings;
  settings.text = u"机密";
  EXPECT_EQ(WaterMarkText(settings, when), u"机密 2024-05-01 09:03:07");
  settings.text.clear();
  EXPECT_EQ(WaterMarkText(settings, when), u" 2024-05-01 09:03:07");
  settings.text = u"Draft";
  settings.isAddTimeStamp = false;
  EXPECT_EQ(WaterMarkText(settings, when), u"Draft");
}

}  // namespace
}  // namespace tavrin
