#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "dialogs/merge_option_dlg.h"
#include "dialogs/merge_preview_dlg.h"
#include "resources/dialog_ids.h"

namespace tavrin {
namespace {

using namespace idd131;

class MergeOptionDlgTest : public ::testing::Test {
 protected:
  void Open(int type, int position) {
    dialog.mergeType = type;
    dialog.mergePosition = position;
    dialog.show();
  }
  QRadioButton* Box(int id) { return dialog.Controls().Get<QRadioButton>(id); }
  QRadioButton* Radio(int id) { return dialog.Controls().Get<QRadioButton>(id); }
  void ClickRadio(int id) { QTest::mouseClick(Radio(id), Qt::LeftButton, {}, QPoint(4, 4)); }
  void ClickBox(int id) { QTest::mouseClick(Box(id), Qt::LeftButton, {}, QPoint(4, 4)); }
  bool AllEnabled(const int* ids, int count) {
    bool all = true;
    for (int i = 0; i < count; ++i) all = all && Radio(ids[i])->isEnabled();
    return all;
  }
  bool NoneEnabled(const int* ids, int count) {
    for (int i = 0; i < count; ++i)
      if (Radio(ids[i])->isEnabled()) return false;
    return true;
  }
  QAbstractButton* CheckedOutside() {
    return dialog.Controls().RadioGroup(kOutsidePlace[1])->checkedButton();
  }

  CMergeOptionDlg dialog;
};

TEST_F(MergeOptionDlgTest, OpensInsideAtTheTopRight) {
  Open(0, 2);
  EXPECT_TRUE(Box(kInSide)->isChecked());
  EXPECT_FALSE(Box(kOutSide)->isChecked());
  EXPECT_TRUE(Radio(1049)->isChecked());
  EXPECT_TRUE(NoneEnabled(kOutsidePlace + 1, 8));
  EXPECT_TRUE(AllEnabled(kInsidePlace, 5));
  EXPECT_EQ(CheckedOutside(), nullptr);
  EXPECT_EQ(dialog.windowTitle(), "Webcam Merge Setting");
}

TEST_F(MergeOptionDlgTest, OpensOutsideAtTheSavedPlace) {
  Open(5, 2);
  EXPECT_TRUE(Box(kOutSide)->isChecked());
  EXPECT_TRUE(Radio(1063)->isChecked());
  EXPECT_FALSE(Radio(1049)->isChecked());  // the inside place is not shown
  EXPECT_TRUE(AllEnabled(kOutsidePlace + 1, 8));
  EXPECT_TRUE(NoneEnabled(kInsidePlace, 5));
}

TEST_F(MergeOptionDlgTest, OutSideAlwaysStartsAtPlaceTwo) {
  Open(0, 3);
  ClickBox(kOutSide);
  EXPECT_EQ(dialog.mergeType, 2);
  EXPECT_TRUE(Radio(1060)->isChecked());
  EXPECT_TRUE(Box(kOutSide)->isChecked());
  ClickRadio(1064);
  EXPECT_EQ(dialog.mergeType, 6);
  // Clicking it again while on does not switch it off and resets the place.
  ClickBox(kOutSide);
  EXPECT_TRUE(Box(kOutSide)->isChecked());
  EXPECT_FALSE(Box(kInSide)->isChecked());
  EXPECT_EQ(dialog.mergeType, 2);
  EXPECT_TRUE(Radio(1060)->isChecked());
}

TEST_F(MergeOptionDlgTest, InSideStartsAtTheTopRightAndRadiosSetThePlace) {
  Open(4, 0);
  ClickBox(kInSide);
  EXPECT_EQ(dialog.mergeType, 0);
  EXPECT_EQ(dialog.mergePosition, 2);
  EXPECT_TRUE(Radio(1049)->isChecked());
  EXPECT_TRUE(AllEnabled(kInsidePlace, 5));
  ClickRadio(1057);
  EXPECT_EQ(dialog.mergePosition, 3);
  ClickRadio(1050);
  EXPECT_EQ(dialog.mergePosition, 0);
  EXPECT_FALSE(Radio(1057)->isChecked());
}

TEST_F(MergeOptionDlgTest, UnknownTypeShowsOutsideWithNothingCheckedAndOkKeepsIt) {
  Open(9, 2);
  EXPECT_TRUE(Box(kOutSide)->isChecked());
  EXPECT_EQ(CheckedOutside(), nullptr);
  EXPECT_FALSE(Radio(1049)->isChecked());
  QTest::mouseClick(dialog.Controls().Get<QPushButton>(kIdOk), Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.mergeType, 9);
  EXPECT_EQ(dialog.mergePosition, 2);
}

TEST(MergePreviewDlgTest, IsAToolWindowWithATitle) {
  CMergePreviewDlg preview;
  EXPECT_FALSE(preview.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(preview.windowFlags() & Qt::WindowTitleHint);
  EXPECT_FALSE(preview.windowTitle().isEmpty());
  EXPECT_EQ(preview.windowFlags() & Qt::WindowType_Mask, Qt::Tool);
  ASSERT_NE(preview.firstPicture, nullptr);
  ASSERT_NE(preview.secondPicture, nullptr);
  EXPECT_EQ(preview.firstPicture->objectName(), "1071");
  EXPECT_EQ(preview.secondPicture->objectName(), "1072");
}

TEST(MergePreviewDlgTest, LayoutsSplitTheClientArea) {
  CMergePreviewDlg preview;
  preview.resize(272, 96);
  ASSERT_EQ(preview.size(), QSize(272, 96));
  preview.SetLayout(kMergeHorizontal);
  EXPECT_EQ(preview.firstPicture->geometry(), QRect(6, 6, 125, 84));
  EXPECT_EQ(preview.secondPicture->geometry(), QRect(141, 6, 125, 84));
  preview.SetLayout(kMergeVertical);
  EXPECT_EQ(preview.firstPicture->geometry(), QRect(6, 6, 260, 37));
  EXPECT_EQ(preview.secondPicture->geometry(), QRect(6, 53, 260, 37));
  preview.SetLayout(0);
  EXPECT_EQ(preview.firstPicture->geometry(), QRect(6, 6, 260, 84));
  EXPECT_EQ(preview.secondPicture->geometry(), QRect(6, 6, 260, 84));
}

}  // namespace
}  // namespace tavrin
