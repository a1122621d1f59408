// Continuous capture from the scan window's side: the button, the merges
// it switches off and the dialog it starts.
#include <QCheckBox>
#include <QComboBox>
#include <QMetaObject>
#include <QPushButton>

#include <algorithm>

#include "mainwindow/auto_capture_dlg.h"
#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "settings/scan_settings.h"
#include "settings/ui_text_table.h"

namespace tavrin {

namespace {
constexpr int kTimedItem = 0;
constexpr int kAutomaticItem = 1;
}  // namespace

void CTavrinWindowDlg::ConnectDriveHandlers() {
  connect(controls.Get<QPushButton>(kIdAutoCaptureButton), &QPushButton::clicked, this,
          &CTavrinWindowDlg::OnContinuousCapture);
}

void CTavrinWindowDlg::StartFeederRun(int stillSeconds) {
  if (IsClosing()) return;
  autoCaptureModeCombo->setCurrentIndex(kAutomaticItem);
  OnContinuousCapture();
  if (autoCapture == nullptr) return;
  autoCapture->SetEndsSession(true);
  autoCapture->SetRun(0, stillSeconds);
  autoCapture->UpdateTexts();
  autoCapture->StartCapture();
}

void CTavrinWindowDlg::OnContinuousCapture() {
  if (IsClosing()) return;
  const int item = autoCaptureModeCombo->currentIndex();
  // A run starts with both merges off: a pair or an inset cannot be put
  // together by a timer.
  TurnOff(mergeCheck, &CTavrinWindowDlg::OnMergeCheck);
  TurnOff(webcamMergeCheck, &CTavrinWindowDlg::OnWebcamMergeCheck);
  if (autoCapture == nullptr) {
    autoCapture = new CAutoCaptureDlg(this);
    if (PanelsInside()) EmbedPanel(autoCapture);
  }
  autoCapture->ResetShotCount();
  // The seconds the person chose last time, brought into the box's range
  // when the settings were read.
  if (item == kTimedItem) {
    autoCapture->SetRun(1, g_scanSettings.autoCaptureInterval);
  } else if (item == kAutomaticItem) {
    autoCapture->SetRun(0, g_scanSettings.autoCaptureStill);
  }
  autoCapture->UpdateTexts();
  PlaceAutoCapture();
  autoCapture->show();
  // Again once the window manager has given it its frame.
  QMetaObject::invokeMethod(this, &CTavrinWindowDlg::PlaceCompanions, Qt::QueuedConnection);
  autoCapture->StartCapture();
}

void CTavrinWindowDlg::ContinueAutoCapture() {
  // Closing or switching the camera ended the library's run.
  if (autoCapture == nullptr || !autoCapture->IsRunning()) return;
  if (currentCamera < 0) {
    autoCapture->Halt(QString::fromStdU16String(g_uiTextTable.NoCamera));
    return;
  }
  autoCapture->StartCapture();
}

}  // namespace tavrin
