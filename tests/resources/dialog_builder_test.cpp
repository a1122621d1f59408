#include "resources/dialog_builder.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTest>

#include <array>

namespace tavrin {
namespace {

constexpr std::array<DialogControl, 12> kRows = {{
    {10, ControlKind::kStatic, 4, 8, 40, 8, "标签：", kStyleNone},
    {11, ControlKind::kDropDownList, 48, 8, 60, 30, "", kStyleNone},
    {12, ControlKind::kCheckBox, 4, 24, 60, 10, "Check", kStyleDisabled},
    {kIdcStatic, ControlKind::kGroupBox, 2, 40, 120, 40, "", kStyleNone},
    {20, ControlKind::kRadioButton, 6, 50, 50, 10, "A", kStyleGroup},
    {21, ControlKind::kRadioButton, 60, 50, 50, 10, "B", kStyleNone},
    {kIdcStatic, ControlKind::kGroupBox, 2, 84, 120, 40, "", kStyleNone},
    {30, ControlKind::kRadioButton, 6, 94, 50, 10, "C", kStyleNone},
    {31, ControlKind::kRadioButton, 60, 94, 50, 10, "D", kStyleNone},
    {40, ControlKind::kPushButton, 70, 130, 50, 14, "OK", kStyleDefault},
    {41, ControlKind::kPlaceholder, 130, 4, 60, 120, "", kStyleHidden},
    {42, ControlKind::kSlider, 4, 130, 60, 14, "", kStyleNone},
}};

constexpr DialogTemplate kTestTemplate{900, 200, 150, "Builder", "MS Shell Dlg", 9, kRows};

TEST(DialogUnitsTest, MapsQuartersAndEighthsWithRounding) {
  const DialogUnits units{7, 15};
  EXPECT_EQ(units.XToPixels(4), 7);
  EXPECT_EQ(units.XToPixels(2), 4);  // 3.5 rounds up
  EXPECT_EQ(units.YToPixels(8), 15);
  EXPECT_EQ(units.YToPixels(3), 6);  // 5.625
  // Edges are mapped, so two controls that touch in dialog units touch in
  // pixels too.
  const QRect first = units.ToPixels(1, 1, 5, 5);
  const QRect second = units.ToPixels(6, 1, 5, 5);
  EXPECT_EQ(first.right() + 1, second.left());
  EXPECT_EQ(first, QRect(2, 2, 9, 9));
}

TEST(DialogUnitsTest, FollowTheFont) {
  QFont small = QApplication::font();
  small.setPixelSize(10);
  QFont large = small;
  large.setPixelSize(30);
  const DialogUnits a = DialogUnitsOf(small);
  const DialogUnits b = DialogUnitsOf(large);
  EXPECT_GT(a.baseWidthPx, 0);
  EXPECT_GT(b.baseWidthPx, 2 * a.baseWidthPx);
  EXPECT_GT(b.baseHeightPx, 2 * a.baseHeightPx);
}

class DialogBuilderTest : public ::testing::Test {
 protected:
  QDialog dialog;
  DialogControls controls = BuildDialog(dialog, kTestTemplate);
};

TEST_F(DialogBuilderTest, SizesAndTitlesTheDialog) {
  const DialogUnits& units = controls.Units();
  EXPECT_EQ(dialog.windowTitle(), "Builder");
  EXPECT_EQ(dialog.size(), QSize(units.XToPixels(200), units.YToPixels(150)));
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  EXPECT_EQ(units.baseHeightPx, QFontMetrics(dialog.font()).height());
}

TEST_F(DialogBuilderTest, MakesOneNamedControlPerRowOfTheRightClass) {
  ASSERT_EQ(controls.All().size(), kRows.size());
  EXPECT_NE(controls.Get<QLabel>(10), nullptr);
  EXPECT_EQ(controls.Get<QLabel>(10)->text(), QString::fromUtf8("标签："));
  EXPECT_NE(controls.Get<QComboBox>(11), nullptr);
  EXPECT_NE(controls.Get<QCheckBox>(12), nullptr);
  EXPECT_NE(controls.Get<QRadioButton>(31), nullptr);
  EXPECT_NE(controls.Get<QPushButton>(40), nullptr);
  EXPECT_NE(controls.Get<QSlider>(42), nullptr);
  EXPECT_EQ(controls.Get<QPushButton>(10), nullptr);  // wrong class
  EXPECT_EQ(controls.Control(999), nullptr);
  // Tests and handlers find controls by id through Qt as well.
  EXPECT_EQ(dialog.findChild<QCheckBox*>("12"), controls.Control(12));
  EXPECT_EQ(dialog.findChildren<QGroupBox*>().size(), 2);
}

TEST_F(DialogBuilderTest, PlacesControlsInPixels) {
  const DialogUnits& units = controls.Units();
  EXPECT_EQ(controls.Control(10)->geometry(), units.ToPixels(4, 8, 40, 8));
  EXPECT_EQ(controls.Control(40)->geometry(), units.ToPixels(70, 130, 50, 14));
  // A drop-down list is as tall as its closed box, not its open list.
  QWidget* combo = controls.Control(11);
  EXPECT_EQ(combo->x(), units.XToPixels(48));
  EXPECT_EQ(combo->height(), combo->sizeHint().height());
  EXPECT_LT(combo->height(), units.YToPixels(30));
}

TEST_F(DialogBuilderTest, AppliesStyleFlags) {
  EXPECT_FALSE(controls.Control(12)->isEnabled());
  EXPECT_TRUE(controls.Control(10)->isEnabled());
  dialog.show();
  EXPECT_FALSE(controls.Control(41)->isVisible());
  EXPECT_TRUE(controls.Control(42)->isVisible());
  EXPECT_TRUE(controls.Get<QPushButton>(40)->isDefault());
}

TEST_F(DialogBuilderTest, GroupBoxesSplitRadioGroupsAndLetClicksThrough) {
  QButtonGroup* first = controls.RadioGroup(20);
  QButtonGroup* second = controls.RadioGroup(30);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(controls.RadioGroup(21), first);
  EXPECT_EQ(controls.RadioGroup(31), second);
  EXPECT_NE(first, second);
  EXPECT_EQ(controls.RadioGroup(40), nullptr);
  EXPECT_EQ(first->id(controls.Get<QRadioButton>(21)), 21);

  dialog.show();
  auto* a = controls.Get<QRadioButton>(20);
  auto* b = controls.Get<QRadioButton>(21);
  auto* c = controls.Get<QRadioButton>(30);
  // The frame lies over the radio buttons in the table but must not swallow
  // their clicks.
  QWidget* hit = dialog.childAt(a->geometry().topLeft() + QPoint(4, a->height() / 2));
  EXPECT_EQ(hit, a);
  const QPoint onIndicator(4, a->height() / 2);
  QTest::mouseClick(a, Qt::LeftButton, {}, onIndicator);
  QTest::mouseClick(c, Qt::LeftButton, {}, onIndicator);
  EXPECT_TRUE(a->isChecked());
  EXPECT_TRUE(c->isChecked());
  QTest::mouseClick(b, Qt::LeftButton, {}, onIndicator);
  EXPECT_FALSE(a->isChecked());
  EXPECT_TRUE(c->isChecked());

  ClearRadioGroup(first);
  EXPECT_EQ(first->checkedButton(), nullptr);
  EXPECT_TRUE(first->exclusive());
  EXPECT_TRUE(c->isChecked());
}

TEST(DialogBuilderFactoryTest, CallerBuildsTheRowsItWants) {
  QDialog dialog;
  int asked = 0;
  DialogControls controls = BuildDialog(dialog, kTestTemplate,
                                        [&](const DialogControl& row, QWidget* parent) -> QWidget* {
                                          ++asked;
                                          if (row.id != 41) return nullptr;
                                          return new QProgressBar(parent);
                                        });
  EXPECT_EQ(asked, static_cast<int>(kRows.size()));
  auto* bar = controls.Get<QProgressBar>(41);
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->objectName(), "41");
  EXPECT_EQ(bar->geometry(), controls.Units().ToPixels(130, 4, 60, 120));
  EXPECT_NE(controls.Get<QComboBox>(11), nullptr);
}

TEST(DialogBuilderFontTest, ShellDialogFontIsTheApplicationFontAtTheTemplateSize) {
  const QFont font = TemplateFont(kTestTemplate);
  EXPECT_EQ(font.family(), QApplication::font().family());
  EXPECT_EQ(font.pointSize(), 9);
}

}  // namespace
}  // namespace tavrin
