#include "resources/dialog_templates.h"

#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QDialog>
#include <QSet>

#include "resources/app_icon.h"
#include "resources/dialog_builder.h"
#include "resources/dialog_ids.h"

namespace tavrin {
namespace {

class TemplateTest : public ::testing::TestWithParam<const DialogTemplate*> {};

TEST_P(TemplateTest, IdsAreUniqueAndControlsLieInsideTheDialog) {
  const DialogTemplate& dialogTemplate = *GetParam();
  QSet<int> seen;
  for (const DialogControl& row : dialogTemplate.controls) {
    if (row.id != kIdcStatic) {
      EXPECT_FALSE(seen.contains(row.id)) << "id " << row.id << " twice";
      seen.insert(row.id);
    }
    EXPECT_GE(row.x, 0) << row.id;
    EXPECT_GE(row.y, 0) << row.id;
    EXPECT_LE(row.x + row.w, dialogTemplate.width) << row.id;
    // Drop-down heights are those of the open list and may reach past.
    if (row.kind != ControlKind::kDropDownList && row.kind != ControlKind::kDropDownCombo &&
        row.kind != ControlKind::kFontList) {
      EXPECT_LE(row.y + row.h, dialogTemplate.height) << row.id;
    }
  }
}

TEST_P(TemplateTest, BuildsIntoAWindowOfTheTemplateSize) {
  QDialog dialog;
  const DialogControls controls = BuildDialog(dialog, *GetParam());
  EXPECT_EQ(controls.All().size(), GetParam()->controls.size());
  for (QWidget* control : controls.All())
    EXPECT_TRUE(dialog.rect().contains(control->geometry())) << control->objectName().toStdString();
}

INSTANTIATE_TEST_SUITE_P(OptionDialogs, TemplateTest,
                         ::testing::Values(&kTemplate100, &kTemplate130, &kTemplate131,
                                           &kTemplate138, &kTemplate139));

TEST(WaterMarkTemplateTest, NinePositionsInOneGroup) {
  QDialog dialog;
  const DialogControls controls = BuildDialog(dialog, kTemplate130);
  QButtonGroup* group = controls.RadioGroup(idd130::kPos[0]);
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->buttons().size(), 9);
  for (int id : idd130::kPos) EXPECT_EQ(controls.RadioGroup(id), group);
  // Rows top to bottom, columns left to right, in position order.
  for (int position = 1; position < 9; ++position) {
    const QPoint before = controls.Control(idd130::kPos[position - 1])->pos();
    const QPoint here = controls.Control(idd130::kPos[position])->pos();
    if (position % 3 == 0) {
      EXPECT_GT(here.y(), before.y());
    } else {
      EXPECT_GT(here.x(), before.x());
      EXPECT_NEAR(here.y(), before.y(), 1);
    }
  }
}

TEST(MergeOptionTemplateTest, OutsideAndInsidePlacesAreSeparateGroups) {
  QDialog dialog;
  const DialogControls controls = BuildDialog(dialog, kTemplate131);
  QButtonGroup* outside = controls.RadioGroup(idd131::kOutsidePlace[1]);
  QButtonGroup* inside = controls.RadioGroup(idd131::kInsidePlace[0]);
  ASSERT_NE(outside, nullptr);
  ASSERT_NE(inside, nullptr);
  EXPECT_NE(outside, inside);
  EXPECT_EQ(outside->buttons().size(), 8);
  EXPECT_EQ(inside->buttons().size(), 5);
}

TEST(AppIconTest, DrawnAtEverySize) {
  const QIcon icon = AppIcon();
  EXPECT_FALSE(icon.isNull());
  EXPECT_GE(icon.availableSizes().size(), 5);
  const QImage small = AppIconImage(16);
  const QImage large = AppIconImage(256);
  EXPECT_EQ(small.size(), QSize(16, 16));
  // Opaque in the middle, transparent in the very corner (rounded).
  EXPECT_EQ(qAlpha(large.pixel(128, 128)), 255);
  EXPECT_EQ(qAlpha(large.pixel(0, 0)), 0);
}

}  // namespace
}  // namespace tavrin
