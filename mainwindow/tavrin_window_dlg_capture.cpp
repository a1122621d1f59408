// The capture pipeline: pictures become files, are split or merged, and
// leave through HandOn to the data source and the thumbnail strip.
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QMetaObject>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>

#include <array>
#include <cstdio>

#include "dialogs/merge_preview_dlg.h"
#include "mainwindow/auto_capture_dlg.h"
#include "mainwindow/camera_calls.h"
#include "mainwindow/capture_naming.h"
#include "mainwindow/companion_place.h"
#include "mainwindow/merge_layout.h"
#include "mainwindow/message_box.h"
#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "platform/tick_count.h"
#include "settings/scan_settings.h"
#include "settings/ui_text_table.h"
#include "thumbnails/image_list_ctrl.h"

namespace tavrin {

namespace {

void RemoveFile(const std::string& path) {
  if (!path.empty()) platform::DeleteFilePath(path);
}

}  // namespace

bool CTavrinWindowDlg::IsClosing() {
  return calls.Closing();
}

int CTavrinWindowDlg::CaptureWithRetry(int camera, char* path) {
  // Nobody is at the window in modes 1 and 3: a capture that fails (the
  // camera's first frame still on its way, say) is tried again, and one
  // that keeps failing ends the window, so the data source hears of it
  // instead of getting fewer pages than it asked for.
  // A camera that gives no picture at all at its size is not tried again:
  // the library has waited for its first frame already.
  const bool unattended = IsUnattended(twain.m_nShowMode);
  const int result = CaptureFile(library, camera, path, unattended);
  if (result == kTavrinLensNoFrame) {
    const QString text = QString::fromStdString(NoPictureText(library, camera));
    // With a person at the window the box says it; otherwise the window
    // ends below and the reason goes with it.
    if (!unattended)
      ShowMessageBox(this, text);
    else
      std::fprintf(stderr, "TavrinDesk: %s\n", text.toLocal8Bit().constData());
  }
  if (result != 0 && unattended) {
    ShowMessageBox(this, QString::fromUtf8(kCaptureFailedText));
    // Inside a call from the data source the close must wait until that
    // call has returned, or the shutdown would wait for itself.
    if (calls.InCall()) {
      QMetaObject::invokeMethod(this, &CTavrinWindowDlg::reject, Qt::QueuedConnection);
    } else {
      OnExit();
    }
  }
  return result;
}

CTavrinWindowDlg::BusyScope::BusyScope(CTavrinWindowDlg& owner) : window(owner) {
  window.busy = true;
}

CTavrinWindowDlg::BusyScope::~BusyScope() {
  window.busy = false;
  if (window.captureWaiting || window.deviceChangeWaiting) {
    // After the stack has unwound, never from inside the work just ended.
    QMetaObject::invokeMethod(&window, &CTavrinWindowDlg::RunWaitingWork, Qt::QueuedConnection);
  }
}

void CTavrinWindowDlg::RunWaitingWork() {
  if (busy || IsClosing()) return;
  if (deviceChangeWaiting) {
    deviceChangeWaiting = false;
    OnCameraListChanged();
  }
  if (captureWaiting && !busy) {
    captureWaiting = false;
    OnCapture();
  }
}

void CTavrinWindowDlg::OnCapture() {
  if (IsClosing()) return;
  // A shot of continuous capture (or a data-source request) that comes
  // while a message box of another capture is open is taken after it: run
  // inside it, it would change the merge pair under the outer capture.
  if (busy) {
    captureWaiting = true;
    return;
  }
  const BusyScope scope(*this);
  // Once this capture is over, what its full-size pictures took in the
  // heap goes back to the system instead of staying with the window.
  QTimer::singleShot(0, this, [] { platform::ReturnFreedMemory(); });
  // Each picture carries its own capture time, not the time the watermark
  // was set.
  if (watermarkSettings.isEnable && watermarkSettings.isAddTimeStamp) SendWaterMark(true);

  const std::int32_t number = nameNumbers.Next(platform::TickCount());
  const int format = formatCombo->currentIndex();
  CapturePathBuffer mainPath{};
  CapturePathBuffer webcamPath{};
  CapturePathBuffer mergedPath{};
  if (!FormatCapturePath(mainPath, workFolder, "1_", number, format) ||
      !FormatCapturePath(webcamPath, workFolder, "2_", number, format) ||
      !FormatCapturePath(mergedPath, workFolder, "Merge_", number, format)) {
    ShowMessageBox(this, QString::fromUtf8(kCaptureFailedText));
    return;
  }

  const int r1 = CaptureWithRetry(currentCamera, mainPath.data());
  if (IsClosing()) return;
  int r2 = -1;
  const bool webcamOn = webcamCheck->isChecked() && webcamCamera != -1;
  if (webcamOn) {
    r2 = CaptureWithRetry(webcamCamera, webcamPath.data());
    if (IsClosing()) return;
  }

  if (cropCombo->currentIndex() == kTavrinCropMultiplePages ||
      cropCombo->currentIndex() == kTavrinCropBook) {
    // The library rewrote the buffer to "a;b;c"; it promised a terminator.
    mainPath.back() = '\0';
    const std::vector<std::string> pieces = platform::SplitAt(mainPath.data(), ';');
    if (pieces.size() > 1) {
      for (const std::string& piece : pieces) HandOn(piece);
      // The webcam picture of the same press is a capture the user asked
      // for too; several pages cannot be merged with it, so it goes on as
      // it is.
      if (r2 == 0) HandOn(webcamPath.data());
      return;
    }
  }

  if (mergeCheck->isChecked()) {
    TwoPictureMerge(mainPath.data(), webcamPath.data(), mergedPath.data(), r2);
    return;
  }
  if (webcamMergeCheck->isChecked() && webcamOn) {
    WebcamMerge(mainPath.data(), webcamPath.data(), mergedPath.data());
    return;
  }
  if (r1 == 0) HandOn(mainPath.data());
  if (r2 == 0) HandOn(webcamPath.data());
}

void CTavrinWindowDlg::TwoPictureMerge(const char* mainPath, const char* webcamPath,
                                       const char* mergedPath, int webcamResult) {
  const int mode = horizontalRadio->isChecked() ? kTavrinMergeRightUpper : kTavrinMergeBelowLeft;
  if (!mergeFirstPath.empty() && !mergeSecondPath.empty()) {
    mergeFirstPath.clear();
    mergeSecondPath.clear();
    mergePreview->firstPicture->LoadPicture({});
    mergePreview->secondPicture->LoadPicture({});
  }
  bool merged = false;
  if (webcamResult == 0) {
    mergeFirstPath = mainPath;
    mergePreview->firstPicture->LoadPicture(QString::fromUtf8(mainPath));
    mergeSecondPath = webcamPath;
    mergePreview->secondPicture->LoadPicture(QString::fromUtf8(webcamPath));
    merged = library.camCombineImage(mainPath, webcamPath, mergedPath, mode, 0, 0, 0, 0) == 0;
  } else if (mergeFirstPath.empty()) {
    mergeFirstPath = mainPath;
    mergePreview->firstPicture->LoadPicture(QString::fromUtf8(mainPath));
    return;
  } else {
    mergeSecondPath = mainPath;
    mergePreview->secondPicture->LoadPicture(QString::fromUtf8(mainPath));
    const int result = library.camCombineImage(mergeFirstPath.c_str(), mergeSecondPath.c_str(),
                                               mergedPath, mode, 0, 0, 0, 0);
    if (result != 0) {
      ShowMessageBox(this, QStringLiteral("%1: %2")
                               .arg(QString::fromStdU16String(g_uiTextTable.ErrCode))
                               .arg(result));
      mergeFirstPath.clear();
      mergeSecondPath.clear();
      mergePreview->firstPicture->LoadPicture({});
      mergePreview->secondPicture->LoadPicture({});
    } else {
      merged = true;
    }
    RemoveFile(mergeFirstPath);
    RemoveFile(mergeSecondPath);
  }
  if (merged) HandOn(mergedPath);
}

void CTavrinWindowDlg::WebcamMerge(const char* mainPath, const char* webcamPath,
                                   const char* mergedPath) {
  int mediaType = 0;
  int width = 0;
  int height = 0;
  int webcamWidth = 0;
  int webcamHeight = 0;
  library.camGetCurResolution(currentCamera, &mediaType, &width, &height);
  library.camGetCurResolution(webcamCamera, &mediaType, &webcamWidth, &webcamHeight);
  // A cropped picture has the page's size, not the frame's.
  const QSize mainSize = cropCombo->currentIndex() != kTavrinCropNone
                             ? QImageReader(QString::fromUtf8(mainPath)).size()
                             : TurnedFrame(QSize(width, height), rotateCombo->currentIndex());
  const QRect inset =
      WebcamMergeRect(mergeType, mergePosition, mainSize, QSize(webcamWidth, webcamHeight));
  const int result = library.camCombineImage(mainPath, webcamPath, mergedPath, mergeType, inset.x(),
                                             inset.y(), inset.width(), inset.height());
  RemoveFile(mainPath);
  RemoveFile(webcamPath);
  if (result == 0) HandOn(mergedPath);
}

void CTavrinWindowDlg::HandOn(const std::string& path) {
  // The thumbnail first: a client that takes the file it is sent away (the
  // scanner backend does) may have removed it by the time the strip reads it.
  const QString file = QString::fromStdString(path);
  thumbnails->AddImage(file);
  twain.HandOff(platform::Utf8ToUtf16(path));
  OnPageHandedOn(QFileInfo(file).fileName());
}

void CTavrinWindowDlg::OnMergeCheck() {
  const bool on = mergeCheck->isChecked();
  ShowMergePreview(on);
  EnableControl(kIdHorizontalRadio, on);
  EnableControl(kIdVerticalRadio, on);
  if (!on) return;
  webcamMergeCheck->setChecked(false);
  OnWebcamMergeCheck();
  if (cropCombo->currentIndex() == kTavrinCropMultiplePages) {
    cropCombo->setCurrentIndex(kTavrinCropSinglePage);
    OnCropChange();
  }
}

void CTavrinWindowDlg::OnWebcamMergeCheck() {
  EnableControl(kIdMergeSettingsButton, webcamMergeCheck->isChecked());
  if (webcamMergeCheck->isChecked()) {
    mergeCheck->setChecked(false);
    OnMergeCheck();
  }
}

QRect CTavrinWindowDlg::ScreenArea() const {
  const QScreen* where = screen();
  return where != nullptr ? where->availableGeometry() : QRect();
}

bool CTavrinWindowDlg::PanelsInside() const {
  return QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
}

void CTavrinWindowDlg::EmbedPanel(QWidget* panel) {
  panel->setWindowFlags(Qt::Widget);
  // Shown, hidden or resized, the panel gives the picture its room back or
  // takes it.
  panel->installEventFilter(this);
}

int CTavrinWindowDlg::TimingPanelHeight() const {
  if (autoCapture == nullptr || !PanelsInside() || autoCapture->isHidden()) return 0;
  return autoCapture->height() + kCompanionGapPx;
}

void CTavrinWindowDlg::PlaceMergePreview() {
  if (!verticalRadio->isChecked() && !horizontalRadio->isChecked()) return;
  const bool oneAboveOther = verticalRadio->isChecked();
  mergePreview->SetLayout(oneAboveOther ? kMergeVertical : kMergeHorizontal);
  const QSize size = MergePreviewSize(controls.Control(kIdPreviewArea)->size(), oneAboveOther);
  if (PanelsInside()) {
    mergePreview->setGeometry(MergePreviewInStrip(thumbnails->geometry(), size));
    mergePreview->raise();
    return;
  }
  // No room beside the window: the foot of the thumbnail strip.
  const QRect strip(thumbnails->mapToGlobal(QPoint(0, 0)), thumbnails->size());
  const QRect fallback = MergePreviewInStrip(strip, size);
  mergePreview->setGeometry(PlaceCompanion(frameGeometry(), size, ScreenArea(), fallback));
}

void CTavrinWindowDlg::ShowMergePreview(bool show) {
  // Placed before it shows: the window may have moved while it was hidden.
  if (show) PlaceMergePreview();
  mergePreview->setVisible(show);
}

void CTavrinWindowDlg::PlaceAutoCapture() {
  if (PanelsInside()) {
    // Under the picture, which PlaceControls has shrunk by its height.
    const QRect area = controls.Control(kIdPreviewArea)->geometry();
    autoCapture->move(area.left() + (area.width() - autoCapture->width()) / 2,
                      area.bottom() + 1 + kCompanionGapPx);
    autoCapture->raise();
    return;
  }
  const QRect window = frameGeometry();
  const QSize size = autoCapture->frameGeometry().size();
  // No room beside the window: over the bottom row, below the picture.
  const QWidget* area = controls.Control(kIdPreviewArea);
  const int belowPicture = area->mapToGlobal(QPoint(0, area->height())).y() + kCompanionGapPx;
  const QRect fallback(QPoint(window.right() + 1 - size.width(), belowPicture), size);
  autoCapture->move(PlaceCompanion(window, size, ScreenArea(), fallback).topLeft());
}

void CTavrinWindowDlg::PlaceCompanions() {
  if (mergePreview != nullptr && mergePreview->isVisible()) PlaceMergePreview();
  if (autoCapture != nullptr && autoCapture->isVisible()) PlaceAutoCapture();
}

void CTavrinWindowDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // The frame is known only once the platform has taken the window, which
  // it reports through the event loop.
  QMetaObject::invokeMethod(this, &CTavrinWindowDlg::PlaceCompanions, Qt::QueuedConnection);
}

void CTavrinWindowDlg::OnHorizontal() {
  ShowMergePreview(true);
}

void CTavrinWindowDlg::OnVertical() {
  ShowMergePreview(true);
}

}  // namespace tavrin
