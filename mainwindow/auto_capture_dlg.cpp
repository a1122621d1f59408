#include "mainwindow/auto_capture_dlg.h"

#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>

#include <algorithm>
#include <limits>

#include "dialogs/ui_text.h"
#include "mainwindow/message_box.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "resources/app_icon.h"
#include "resources/dialog_ids.h"
#include "resources/dialog_templates.h"
#include "settings/scan_settings.h"
#include "settings/ui_text_table.h"

namespace tavrin {

namespace {

// The dialog that receives the library's callback. The lock keeps a
// dialog that is being destroyed from being reached by a late callback.
std::mutex receiverLock;
CAutoCaptureDlg* receiver = nullptr;  // guarded by receiverLock

// The automatic mode's hint, between the bar and the button.
constexpr int kHintTopDu = 49;
constexpr int kHintHeightDu = 10;

int To16Bit(int value) {
  return std::clamp(value, 0, static_cast<int>(std::numeric_limits<std::uint16_t>::max()));
}

}  // namespace

CAutoCaptureDlg::CAutoCaptureDlg(CTavrinWindowDlg* ownerWindow)
    : QDialog(ownerWindow), owner(ownerWindow) {
  setWindowIcon(AppIcon());
  controls = BuildDialog(*this, kTemplate135);
  KeepDialogPlain(*this);
  progress = controls.Get<QProgressBar>(idd135::kProgress);
  countdown = controls.Get<QLabel>(idd135::kCountdown);
  shotCountLabel = controls.Get<QLabel>(idd135::kShotCount);
  startButton = controls.Get<QPushButton>(idd135::kStart);
  stopButton = controls.Get<QPushButton>(idd135::kStop);
  secondsLabel = controls.Get<QLabel>(idd135::kSecondsLabel);
  seconds = controls.Get<QSpinBox>(idd135::kSeconds);
  secondsLabel->setBuddy(seconds);
  secondsLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  connect(seconds, &QSpinBox::valueChanged, this, &CAutoCaptureDlg::OnSecondsChanged);
  controls.Get<QLabel>(idd135::kHiddenLabel)->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  shotCountLabel->setAlignment(Qt::AlignCenter);
  progress->setTextVisible(false);
  progress->setRange(0, interval);
  progress->setValue(0);
  connect(startButton, &QPushButton::clicked, this, &CAutoCaptureDlg::StartCapture);
  connect(stopButton, &QPushButton::clicked, this, &CAutoCaptureDlg::StopCapture);
  connect(controls.Get<QPushButton>(idd135::kEnd), &QPushButton::clicked, this,
          &CAutoCaptureDlg::OnEnd);
  UpdateTexts();
}

CAutoCaptureDlg::~CAutoCaptureDlg() {
  if (running) StopCapture();
  std::lock_guard guard(receiverLock);
  if (receiver == this) receiver = nullptr;
}

void CAutoCaptureDlg::SetRun(int timedFlag, int intervalValue) {
  timed = timedFlag;
  interval = intervalValue;
}

void CAutoCaptureDlg::OnSecondsChanged(int value) {
  if (value == interval) return;
  interval = value;
  // A data source's batch sets its own stillness; it is not the person's
  // choice for the next run.
  if (!endsSession) {
    (timed == 1 ? g_scanSettings.autoCaptureInterval : g_scanSettings.autoCaptureStill) = value;
  }
  if (running) StartCapture();
}

void CAutoCaptureDlg::StartCapture() {
  // A run that is still on is replaced: the library stops it first, and
  // what it queued must not count for the new one.
  running = false;
  {
    std::lock_guard guard(lock);
    ++runNumber;
  }
  {
    std::lock_guard guard(receiverLock);
    receiver = this;
  }
  progress->setRange(0, To16Bit(interval));
  progress->setValue(0);
  const int result = owner->library.camStartAutoCapture(owner->currentCamera, timed, interval,
                                                        &CAutoCaptureDlg::OnAutoCaptureProgress);
  if (result != 0) {
    startButton->setEnabled(true);
    stopButton->setEnabled(false);
    ShowMessageBox(this, QStringLiteral("%1: %2").arg(UiText(&UiTextTable::ErrCode)).arg(result));
    return;
  }
  startButton->setEnabled(false);
  stopButton->setEnabled(true);
  if (timed == 0) countdown->hide();  // it may still say why a run stopped
  // Only now: a callback the library made before its start returned is
  // ignored.
  running = true;
}

void CAutoCaptureDlg::StopCapture() {
  running = false;
  {
    // Waits for a callback that is queueing (briefly; it never waits for
    // this thread); any later one sees running false.
    std::lock_guard guard(lock);
    ++runNumber;
  }
  // Not under the lock: the library waits here for its callback to return,
  // and a callback that saw the run still on may be about to take the lock.
  owner->library.camStopAutoCapture(owner->currentCamera);
  progress->setValue(0);
  startButton->setEnabled(true);
  stopButton->setEnabled(false);
}

void CAutoCaptureDlg::Halt(const QString& why) {
  StopCapture();
  countdown->setText(why);
  countdown->show();
}

bool CAutoCaptureDlg::OnAutoCaptureProgress(int value) {
  std::lock_guard guard(receiverLock);
  CAutoCaptureDlg* dialog = receiver;
  if (dialog == nullptr || !dialog->running) return true;
  std::lock_guard runGuard(dialog->lock);
  if (dialog->running) {
    const std::uint64_t run = dialog->runNumber;
    QMetaObject::invokeMethod(
        dialog, [dialog, value, run] { dialog->OnProgressQueued(value, run); },
        Qt::QueuedConnection);
  }
  return true;
}

void CAutoCaptureDlg::OnProgressQueued(int value, std::uint64_t run) {
  {
    std::lock_guard guard(lock);
    if (run != runNumber) return;
  }
  if (!running) return;
  progress->setValue(std::clamp(value, progress->minimum(), progress->maximum()));
  if (timed == 1) {
    countdown->setText(QStringLiteral("%1 %2").arg(value).arg(UiText(&UiTextTable::UnitName)));
  }
  if (value == interval) {
    owner->OnCapture();
    ++shotCount;
    SetShotCountText();
  }
}

void CAutoCaptureDlg::UpdateTexts() {
  shotCount = 0;
  setWindowTitle(UiText(&UiTextTable::AutoCaptureText));
  if (timed == 0) {
    countdown->hide();
  } else if (timed == 1) {
    countdown->setText(QStringLiteral("%1 %2").arg(0).arg(UiText(&UiTextTable::UnitName)));
    countdown->show();
  }
  SetShotCountText();
  {
    const QSignalBlocker quiet(seconds);
    secondsLabel->setText(UiText(timed == 1 ? &UiTextTable::Every : &UiTextTable::StillFor));
    // What the person may choose is what LastSetting.xml may hold.
    const SettingRange range = timed == 1 ? kAutoCaptureIntervalRange : kAutoCaptureStillRange;
    seconds->setRange(range.min, range.max);
    seconds->setSuffix(QStringLiteral(" ") + UiText(&UiTextTable::UnitName));
    seconds->setValue(interval);
    seconds->setAccessibleName(secondsLabel->text());
  }
  // It stops the run; "Exit" is the scan window's own button.
  controls.Get<QPushButton>(idd135::kEnd)->setText(UiText(&UiTextTable::Stop));
  auto* hint = controls.Get<QLabel>(idd135::kHiddenLabel);
  hint->hide();
  setFixedSize(FitControlsToTexts(controls));
  // In automatic mode the bar and the count stand still until a new page
  // lies still under the camera; the person is told so.
  if (timed == 0) {
    hint->setText(UiText(&UiTextTable::WaitStill));
    hint->setAlignment(Qt::AlignCenter);
    hint->setGeometry(0, controls.Units().YToPixels(kHintTopDu), width(),
                      controls.Units().YToPixels(kHintHeightDu));
    hint->show();
  }
}

void CAutoCaptureDlg::SetShotCountText() {
  const QString page = UiText(&UiTextTable::Page);
  switch (g_uiTextTable.WordType) {
    case 0:
      shotCountLabel->setText(QStringLiteral("%1 %2").arg(page).arg(shotCount));
      break;
    case 1:
      shotCountLabel->setText(QStringLiteral("%1 %2").arg(shotCount).arg(page));
      break;
    default:
      shotCountLabel->clear();
      break;
  }
}

void CAutoCaptureDlg::OnEnd() {
  StopCapture();
  accept();
  if (endsSession) owner->reject();
}

void CAutoCaptureDlg::reject() {
  // The title bar's close and Escape both come here.
  StopCapture();
  QDialog::reject();
  if (endsSession) owner->reject();
}

}  // namespace tavrin
