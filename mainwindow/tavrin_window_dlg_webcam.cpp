// The webcam: a second camera with a live picture of its own, captured
// alone or with every main capture, and its merge options.
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>

#include <array>

#include "dialogs/merge_option_dlg.h"
#include "mainwindow/capture_naming.h"
#include "mainwindow/message_box.h"
#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "platform/tick_count.h"
#include "settings/scan_settings.h"
#include "settings/ui_text_table.h"

namespace tavrin {

namespace {

constexpr int kInsetGapPx = 4;

QString Q(const std::u16string& text) {
  return QString::fromStdU16String(text);
}

}  // namespace

void CTavrinWindowDlg::OnWebcamCheck() {
  if (webcamCheck->isChecked()) {
    webcamCaptureButton->show();
    webcamPreview->show();
    webcamPreview->raise();
    PlacePreviews();
    for (int i = 0; i < webcamDeviceCombo->count(); ++i) {
      if (i == currentCamera) continue;
      // Already open (a device change re-runs this): nothing to switch.
      if (i != webcamCamera) {
        webcamDeviceCombo->setCurrentIndex(i);
        OnWebcamDeviceChange();
      }
      break;
    }
    EnableControl(kIdWebcamDeviceCombo, true);
    EnableControl(kIdWebcamResolutionCombo, true);
    EnableControl(kIdWebcamMergeCheck, true);
    EnableControl(kIdMergeSettingsButton, webcamMergeCheck->isChecked());
    return;
  }
  webcamCaptureButton->hide();
  library.camCloseDev(webcamCamera);
  library.camSetPreviewWindow(webcamCamera, nullptr);
  webcamPreview->hide();
  PlacePreviews();
  webcamCamera = -1;
  EnableControl(kIdWebcamDeviceCombo, false);
  EnableControl(kIdWebcamResolutionCombo, false);
  EnableControl(kIdMergeSettingsButton, false);
  // The merge mark stays: the merge also asks for the webcam to be on.
  EnableControl(kIdWebcamMergeCheck, false);
}

void CTavrinWindowDlg::PlacePreviews() {
  const QRect area = controls.Control(kIdPreviewArea)->geometry();
  if (webcamPreview == nullptr || webcamPreview->isHidden()) {
    previewHost->setGeometry(area);
    return;
  }
  // The webcam's picture takes the top of a column on the right of the
  // picture area, and the main picture the rest: neither covers the other.
  const int width = area.width() / 4;
  const int height = width * 3 / 4;
  webcamPreview->setGeometry(area.right() + 1 - width, area.top(), width, height);
  previewHost->setGeometry(area.left(), area.top(), area.width() - width - kInsetGapPx,
                           area.height());
}

void CTavrinWindowDlg::OnWebcamDeviceChange() {
  const int chosen = webcamDeviceCombo->currentIndex();
  if (chosen < 0 || RefusedAsInUse(webcamDeviceCombo, chosen, webcamCamera)) return;
  library.camCloseDev(webcamCamera);
  library.camSetPreviewWindow(webcamCamera, nullptr);
  webcamCamera = chosen;

  const ScanSettings::WebcamGroup& saved = g_scanSettings.Webcam;
  const int opened = OpenCamera(library, webcamCamera, 0, saved.WebcamWidth, saved.WebcamHeight);
  // Attached even when the open failed, so that a later resolution change
  // that succeeds shows its picture.
  library.camSetPreviewWindow(webcamCamera, reinterpret_cast<void*>(webcamPreview->winId()));
  if (opened != 0) ShowMessageBox(this, Q(g_uiTextTable.OpenFailed));
  RebuildWebcamResolutions();
}

void CTavrinWindowDlg::RebuildWebcamResolutions() {
  int mediaType = -1;
  int currentWidth = 0;
  int currentHeight = 0;
  library.camGetCurResolution(webcamCamera, &mediaType, &currentWidth, &currentHeight);
  if (mediaType == -1) mediaType = 0;
  webcamResolutionCombo->clear();
  int count = 0;
  library.camGetResolutionCount(webcamCamera, mediaType, &count);
  int matching = 0;
  for (int i = 0; i < count; ++i) {
    int width = 0;
    int height = 0;
    library.camGetResolution(webcamCamera, mediaType, i, &width, &height);
    webcamResolutionCombo->insertItem(i, QStringLiteral("%1 x %2").arg(width).arg(height));
    if (width == currentWidth && height == currentHeight) matching = i;
  }
  webcamResolutionCombo->setCurrentIndex(count > 0 ? matching : -1);
}

void CTavrinWindowDlg::OnWebcamResolutionChange() {
  const int item = webcamResolutionCombo->currentIndex();
  if (item < 0) return;
  // The list was built under the webcam's own media type, so the entry is
  // looked up there too; the main camera's media type would name another
  // list, or none.
  int mediaType = -1;
  int currentWidth = 0;
  int currentHeight = 0;
  library.camGetCurResolution(webcamCamera, &mediaType, &currentWidth, &currentHeight);
  if (mediaType == -1) mediaType = 0;
  int width = 0;
  int height = 0;
  library.camGetResolution(webcamCamera, mediaType, item, &width, &height);
  const int result = library.camSetResolution(webcamCamera, width, height);
  g_scanSettings.Webcam.WebcamWidth = width;
  g_scanSettings.Webcam.WebcamHeight = height;
  if (result != 0) ShowMessageBox(this, Q(g_uiTextTable.Error));
}

void CTavrinWindowDlg::OnMergeSettings() {
  CMergeOptionDlg dialog(this);
  dialog.mergeType = mergeType;
  dialog.mergePosition = mergePosition;
  if (dialog.exec() != QDialog::Accepted) return;
  mergeType = dialog.mergeType;
  mergePosition = dialog.mergePosition;
}

void CTavrinWindowDlg::OnWebcamCapture() {
  if (IsClosing() || busy) return;
  const BusyScope scope(*this);
  CapturePathBuffer path{};
  if (!FormatCapturePath(path, workFolder, "2_", nameNumbers.Next(platform::TickCount()),
                         formatCombo->currentIndex())) {
    return;
  }
  if (CaptureWithRetry(webcamCamera, path.data()) != 0) return;
  if (IsClosing()) return;
  HandOn(path.data());
}

}  // namespace tavrin
