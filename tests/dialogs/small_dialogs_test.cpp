#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "dialogs/about_dlg.h"
#include "dialogs/progress_dlg.h"
#include "resources/dialog_ids.h"
#include "settings/ui_text_table.h"

namespace tavrin {
namespace {

TEST(ProgressDlgTest, ShowsTheProcessTextAndAMarqueeBar) {
  QWidget owner;
  CProgressDlg progress(&owner);
  EXPECT_EQ(progress.Bar(), nullptr);
  const UiTextTable saved = g_uiTextTable;
  g_uiTextTable.Process = u"处理中...";
  progress.show();
  g_uiTextTable = saved;
  EXPECT_EQ(progress.Controls().Get<QLabel>(idd139::kProcessText)->text(),
            QString::fromUtf8("处理中..."));
  QProgressBar* bar = progress.findChild<QProgressBar*>("66");
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar, progress.Bar());
  EXPECT_TRUE(bar->isVisible());
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 0);  // marquee
  const int cw = progress.width();
  const int ch = progress.height();
  EXPECT_EQ(bar->geometry(), QRect(cw / 9, ch / 2, cw - 2 * (cw / 9), 20));
  // Opening again keeps the one bar and reads the text again.
  progress.hide();
  progress.show();
  EXPECT_EQ(progress.findChildren<QProgressBar*>().size(), 1);
  EXPECT_EQ(progress.Controls().Get<QLabel>(idd139::kProcessText)->text(), "Processing...");
}

TEST(AboutDlgTest, ShowsIconNameVersionAndClosesWithOk) {
  CAboutDlg about;
  about.show();
  const QString text = about.Controls().Get<QLabel>(idd100::kNameVersion)->text();
  EXPECT_TRUE(text.startsWith("TavrinDesk")) << text.toStdString();
  EXPECT_TRUE(text.contains(ProgramVersionText()));
  EXPECT_EQ(ProgramVersionText().count('.'), 2);
  EXPECT_FALSE(about.Controls().Get<QLabel>(idd100::kIcon)->pixmap().isNull());
  QTest::mouseClick(about.Controls().Get<QPushButton>(kIdOk), Qt::LeftButton);
  EXPECT_EQ(about.result(), QDialog::Accepted);
  EXPECT_FALSE(about.isVisible());
}

}  // namespace
}  // namespace tavrin
