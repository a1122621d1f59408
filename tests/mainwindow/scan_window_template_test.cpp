#include "mainwindow/scan_window_template.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>

#include "resources/dialog_builder.h"

namespace tavrin {
namespace {

TEST(ScanWindowTemplate, HoldsEveryControlOnceWithItsPlace) {
  const DialogTemplate& t = ScanWindowTemplate();
  EXPECT_EQ(t.id, 102);
  EXPECT_EQ(t.width, 659);
  EXPECT_EQ(t.height, 369);
  EXPECT_STREQ(t.caption, "TavrinDesk");
  ASSERT_EQ(t.controls.size(), 51u);
  QSet<int> ids;
  for (const DialogControl& row : t.controls) {
    EXPECT_FALSE(ids.contains(row.id)) << "id " << row.id << " twice";
    ids.insert(row.id);
    EXPECT_GT(row.w, 0);
    EXPECT_GT(row.h, 0);
    // Everything lies inside the window.
    EXPECT_LE(row.x + row.w, t.width) << row.id;
    EXPECT_LE(row.y + row.h, t.height + 30) << row.id;  // drop-down heights include the list
  }
  const DialogControl& preview = t.controls[17];
  EXPECT_EQ(preview.id, kIdPreviewArea);
  EXPECT_EQ(preview.x, 114);
  EXPECT_EQ(preview.w, 440);
  EXPECT_EQ(preview.h, 297);
  EXPECT_EQ(t.controls.back().id, kIdWebcamCaptureButton);
}

TEST(ScanWindowTemplate, BuildsNamedControlsOfTheRightKindsAndPlaces) {
  QDialog dialog;
  const DialogControls built = BuildDialog(dialog, ScanWindowTemplate());
  for (const DialogControl& row : ScanWindowTemplate().controls) {
    QWidget* widget = built.Control(row.id);
    ASSERT_NE(widget, nullptr) << row.id;
    EXPECT_EQ(widget->objectName(), QString::number(row.id));
    if (row.kind != ControlKind::kDropDownList) {
      EXPECT_EQ(widget->geometry(), built.Units().ToPixels(row.x, row.y, row.w, row.h)) << row.id;
    }
  }
  for (int id : {kIdColorCombo, kIdCropCombo, kIdFormatCombo, kIdDeviceCombo, kIdMediaTypeCombo,
                 kIdResolutionCombo, kIdUnitCombo, kIdLanguageCombo, kIdRotateCombo,
                 kIdAutoCaptureModeCombo, kIdWebcamDeviceCombo, kIdWebcamResolutionCombo}) {
    EXPECT_NE(built.Get<QComboBox>(id), nullptr) << id;
  }
  for (int id : {kIdMergeCheck, kIdWatermarkCheck, kIdWebcamCheck, kIdWebcamMergeCheck,
                 kIdHandCutCheck, kIdEvenLightCheck}) {
    EXPECT_NE(built.Get<QCheckBox>(id), nullptr) << id;
  }
  // Enter must not end the session: no button is the default.
  EXPECT_FALSE(built.Get<QPushButton>(kIdExitButton)->isDefault());
  // The camera's device settings are offered beside its image settings.
  EXPECT_FALSE(built.Control(kIdDeviceSettingsButton)->isHidden());
  // The two merge directions exclude each other.
  EXPECT_EQ(built.RadioGroup(kIdHorizontalRadio), built.RadioGroup(kIdVerticalRadio));
  EXPECT_NE(built.RadioGroup(kIdHorizontalRadio), nullptr);
  EXPECT_EQ(dialog.windowTitle(), "TavrinDesk");
}

}  // namespace
}  // namespace tavrin
