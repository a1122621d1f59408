// Continuous capture: the dialog of template 135 on the real window, with
// the camera library's own timed and automatic runs on virtual cameras.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>

#include <set>
#include <thread>

#include "mainwindow/auto_capture_dlg.h"
#include "mainwindow/scan_window_template.h"
#include "resources/dialog_ids.h"
#include "settings/scan_settings.h"
#include "settings/ui_text_table.h"
#include "tests/mainwindow/drive_fixture.h"

namespace tavrin {
namespace {

using test::DriveTest;
using test::Pump;
using test::WaitFor;

class ContinuousTest : public DriveTest {
 protected:
  void PressContinuous(int item) {
    qobject_cast<QComboBox*>(window->Control(kIdAutoCaptureModeCombo))->setCurrentIndex(item);
    auto* button = qobject_cast<QPushButton*>(window->Control(kIdAutoCaptureButton));
    ASSERT_TRUE(button->isEnabled());
    button->click();
    ASSERT_NE(Probe().AutoCapture(), nullptr);
  }
  CAutoCaptureDlg* Dialog() const { return Probe().AutoCapture(); }
  QString Text(int id) const { return qobject_cast<QLabel*>(Dialog()->Control(id))->text(); }
  QProgressBar* Progress() const {
    return qobject_cast<QProgressBar*>(Dialog()->Control(idd135::kProgress));
  }
  // A shorter run than the window's 5, so that tests take seconds.
  void Restart(int timed, int interval) {
    Dialog()->StopCapture();
    Dialog()->SetRun(timed, interval);
    Dialog()->StartCapture();
    ASSERT_TRUE(Dialog()->IsRunning());
  }
  size_t Files() const { return Probe().Twain().FileList().size(); }
  // "<n> <unit>", and the count worded as WordType asks, with the texts of
  // the language the window loaded.
  static QString Seconds(int n) {
    return QStringLiteral("%1 %2").arg(n).arg(QString::fromStdU16String(g_uiTextTable.UnitName));
  }
  static QString Pages(int n) {
    const QString page = QString::fromStdU16String(g_uiTextTable.Page);
    switch (g_uiTextTable.WordType) {
      case 0:
        return page + " " + QString::number(n);
      case 1:
        return QString::number(n) + " " + page;
      default:
        return {};
    }
  }
};

TEST_F(ContinuousTest, TimedRunCountsDownShootsAtTheIntervalAndWordsTheCountByWordType) {
  ASSERT_TRUE(Start());
  for (int wordType = 0; wordType < 3; ++wordType) {
    SCOPED_TRACE(wordType);
    g_uiTextTable.WordType = wordType;
    PressContinuous(0);
    EXPECT_TRUE(Dialog()->isVisible());
    EXPECT_EQ(Dialog()->windowTitle(), QString::fromStdU16String(g_uiTextTable.AutoCaptureText));
    EXPECT_FALSE(Dialog()->windowTitle().isEmpty());
    EXPECT_EQ(Dialog()->Timed(), 1);
    EXPECT_EQ(Dialog()->Interval(), 5);
    EXPECT_TRUE(Dialog()->IsRunning());
    EXPECT_EQ(Text(idd135::kCountdown), Seconds(0));
    EXPECT_TRUE(Dialog()->Control(idd135::kCountdown)->isVisibleTo(Dialog()));
    EXPECT_EQ(Text(idd135::kShotCount), Pages(0));
    EXPECT_FALSE(Dialog()->Control(idd135::kStart)->isEnabled());
    EXPECT_TRUE(Dialog()->Control(idd135::kStop)->isEnabled());
    EXPECT_FALSE(Dialog()->Control(idd135::kStart)->isVisibleTo(Dialog()));

    Restart(1, 2);
    const size_t before = Files();
    std::set<QString> countdowns;
    ASSERT_TRUE(WaitFor(
        [&] {
          countdowns.insert(Text(idd135::kCountdown));
          return Dialog()->ShotCount() >= 2;
        },
        20000));
    Dialog()->StopCapture();
    // A busy machine may let a third shot in before the stop.
    const int shots = Dialog()->ShotCount();
    ASSERT_GE(shots, 2);
    EXPECT_TRUE(countdowns.count(Seconds(1))) << countdowns.size();
    EXPECT_TRUE(countdowns.count(Seconds(2)));
    EXPECT_EQ(Files(), before + shots);
    EXPECT_EQ(Text(idd135::kShotCount), Pages(shots));
    if (wordType == 2) {
      EXPECT_TRUE(Text(idd135::kShotCount).isEmpty());
    }

    qobject_cast<QPushButton*>(Dialog()->Control(idd135::kEnd))->click();
    EXPECT_FALSE(Dialog()->IsRunning());
    EXPECT_FALSE(Dialog()->isVisible());
    EXPECT_EQ(Progress()->value(), 0);
    EXPECT_TRUE(Dialog()->Control(idd135::kStart)->isEnabled());
    // Nothing more is shot once the run has ended.
    Pump(2500);
    EXPECT_EQ(Files(), before + shots);
  }
}

TEST_F(ContinuousTest, TheSecondsBoxSetsTheRunWithinItsRangeAndIsRemembered) {
  ScanSettings settings;
  settings.autoCaptureInterval = 600;  // a hand-edited file
  settings.autoCaptureStill = 4;
  ASSERT_TRUE(Start(settings));
  PressContinuous(0);
  auto* seconds = qobject_cast<QSpinBox*>(Dialog()->Control(idd135::kSeconds));
  ASSERT_NE(seconds, nullptr);
  const auto label = qobject_cast<QLabel*>(Dialog()->Control(idd135::kSecondsLabel));
  EXPECT_EQ(label->text(), QString::fromStdU16String(g_uiTextTable.Every));
  EXPECT_EQ(label->buddy(), seconds);
  EXPECT_EQ(seconds->maximum(), 60);
  EXPECT_EQ(seconds->value(), 60);
  EXPECT_EQ(Dialog()->Interval(), 60);
  // One second, chosen while the run is on, starts it again: a shot comes
  // within a few seconds instead of a minute.
  seconds->setValue(1);
  EXPECT_TRUE(Dialog()->IsRunning());
  const size_t before = Files();
  ASSERT_TRUE(WaitFor([&] { return Files() > before; }, 10000));

  PressContinuous(1);
  EXPECT_EQ(label->text(), QString::fromStdU16String(g_uiTextTable.StillFor));
  EXPECT_EQ(seconds->maximum(), 10);
  EXPECT_EQ(seconds->value(), 4);
  seconds->setValue(3);
  EXPECT_EQ(Dialog()->Interval(), 3);
  EXPECT_TRUE(Dialog()->IsRunning());
  window->reject();

  ScanSettings saved;
  ASSERT_TRUE(LoadLastSettings(LastSettingsPath(), saved));
  EXPECT_EQ(saved.autoCaptureInterval, 1);
  EXPECT_EQ(saved.autoCaptureStill, 3);
}

TEST_F(ContinuousTest, AutomaticRunShootsOncePerNewPage) {
  // The camera's own full size, as a user would run it: the change check
  // works on a small grey copy whatever the picture's size.
  SetCameras("document?turn=4");
  ASSERT_TRUE(Start());
  EXPECT_EQ(qobject_cast<QComboBox*>(window->Control(kIdResolutionCombo))->currentText(),
            QStringLiteral("4912x3680(18MP)"));
  PressContinuous(1);
  EXPECT_EQ(Dialog()->Timed(), 0);
  EXPECT_FALSE(Dialog()->Control(idd135::kCountdown)->isVisibleTo(Dialog()));
  // A page that lies still for a second is shot. The scene lays a new page
  // every four seconds; a slow machine (or the sanitizers) only makes the
  // shots come later, so the run is judged by the pages laid meanwhile.
  Restart(0, 1);
  QElapsedTimer run;
  run.start();
  ASSERT_TRUE(WaitFor([&] { return Dialog()->ShotCount() >= 2; }, 60000));
  Pump(4000);
  Dialog()->StopCapture();
  const int shots = Dialog()->ShotCount();
  // A run that shot every still second would shoot about four times a page.
  const qint64 pagesLaid = run.elapsed() / 4000 + 1;
  EXPECT_LE(shots, pagesLaid) << run.elapsed() << " ms";
  EXPECT_TRUE(WaitFor([&] { return Files() == static_cast<size_t>(shots); }, 10000))
      << Files() << " files for " << shots << " shots";
}

TEST_F(ContinuousTest, PressingTheButtonDuringARunStartsItAgainFromZero) {
  ASSERT_TRUE(Start());
  PressContinuous(0);
  ASSERT_TRUE(WaitFor([&] { return Progress()->value() >= 2; }, 5000));
  std::vector<int> values;
  QObject listening;
  QObject::connect(Progress(), &QProgressBar::valueChanged, &listening,
                   [&](int value) { values.push_back(value); });
  PressContinuous(0);
  EXPECT_TRUE(Dialog()->IsRunning());
  EXPECT_EQ(Dialog()->ShotCount(), 0);
  EXPECT_EQ(Text(idd135::kShotCount), Pages(0));
  EXPECT_EQ(Text(idd135::kCountdown), Seconds(0));
  EXPECT_EQ(Progress()->value(), 0);
  ASSERT_TRUE(WaitFor([&] { return Progress()->value() > 0; }, 5000));
  // The new run counts from 1; what the old one had queued is dropped.
  EXPECT_EQ(Progress()->value(), 1);
  for (int value : values) EXPECT_LE(value, 1);
}

TEST_F(ContinuousTest, StoppingWhileAShotIsUnderWayNeverDeadlocksNorShootsAfterwards) {
  ASSERT_TRUE(Start());
  PressContinuous(0);
  constexpr int kRounds = 50;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    Restart(1, 1);
    if (round % 2 == 0) {
      // The library has called back and queued the shot; the window has
      // not taken it yet.
      std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    } else {
      // The shot has been taken and the library's next second is running.
      const int shots = Dialog()->ShotCount();
      ASSERT_TRUE(WaitFor([&] { return Dialog()->ShotCount() > shots; }, 5000));
    }
    const size_t files = Files();
    const int shots = Dialog()->ShotCount();
    QElapsedTimer timer;
    timer.start();
    Dialog()->StopCapture();
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_FALSE(Dialog()->IsRunning());
    Pump(30);
    EXPECT_EQ(Files(), files);
    EXPECT_EQ(Dialog()->ShotCount(), shots);
    if (HasFailure()) break;
  }
}

TEST_F(ContinuousTest, ARunStartsWithBothMergesOff) {
  ASSERT_TRUE(Start());
  auto* merge = qobject_cast<QCheckBox*>(window->Control(kIdMergeCheck));
  auto* webcamMerge = qobject_cast<QCheckBox*>(window->Control(kIdWebcamMergeCheck));
  merge->setChecked(true);
  Probe().OnMergeCheck();
  ASSERT_TRUE(Probe().MergePreview()->isVisible());
  PressContinuous(0);
  EXPECT_FALSE(merge->isChecked());
  EXPECT_FALSE(Probe().MergePreview()->isVisible());
  Dialog()->StopCapture();

  webcamMerge->setChecked(true);
  PressContinuous(1);
  EXPECT_FALSE(webcamMerge->isChecked());
  EXPECT_FALSE(merge->isChecked());
  EXPECT_TRUE(Dialog()->IsRunning());
}

TEST_F(ContinuousTest, AFailedStartSaysWhyAndLeavesTheDialogIdleAndClosingStopsARun) {
  SetCameras("");
  ASSERT_TRUE(Start());
  messages.clear();
  // Without a camera the button is greyed; a run started all the same (as
  // a data source's batch starts one) fails and says so.
  EXPECT_FALSE(window->Control(kIdAutoCaptureButton)->isEnabled());
  qobject_cast<QComboBox*>(window->Control(kIdAutoCaptureModeCombo))->setCurrentIndex(0);
  Probe().OnContinuousCapture();
  ASSERT_NE(Dialog(), nullptr);
  EXPECT_TRUE(Dialog()->isVisible());
  EXPECT_FALSE(Dialog()->IsRunning());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0].startsWith(QString::fromStdU16String(g_uiTextTable.ErrCode) + ": "))
      << messages[0].toStdString();
  EXPECT_TRUE(Dialog()->Control(idd135::kStart)->isEnabled());
  EXPECT_FALSE(Dialog()->Control(idd135::kStop)->isEnabled());
  Dialog()->close();

  window.reset();
  SetCameras("document");
  ASSERT_TRUE(Start());
  PressContinuous(0);
  ASSERT_TRUE(Dialog()->IsRunning());
  // The title bar's close.
  Dialog()->close();
  EXPECT_FALSE(Dialog()->IsRunning());
  EXPECT_FALSE(Dialog()->isVisible());
}

}  // namespace
}  // namespace tavrin
