// The tests' view of the scan window: the state they check and the
// handlers they call without a click.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "dialogs/merge_preview_dlg.h"
#include "mainwindow/tavrin_window_dlg.h"

class QStatusBar;

namespace tavrin {

class CAutoCaptureDlg;

class ScanWindowProbe {
 public:
  explicit ScanWindowProbe(CTavrinWindowDlg& window) : window(window) {}

  bool IsReady() const { return window.ready; }
  bool IsCameraReady() const { return window.cameraReady; }
  int CurrentCamera() const { return window.currentCamera; }
  int WebcamCamera() const { return window.webcamCamera; }
  const std::string& WorkFolder() const { return window.workFolder; }
  const std::array<std::uint16_t, 4>& Version() const { return window.version; }
  const DialogControls& Controls() const { return window.controls; }
  QWidget* WebcamPreview() const { return window.webcamPreview; }
  CMergePreviewDlg* MergePreview() const { return window.mergePreview; }
  QStatusBar* StatusBar() const { return window.statusBar; }
  CTwainControl& Twain() const { return window.twain; }
  CAutoCaptureDlg* AutoCapture() const { return window.autoCapture; }
  CopiedDataServer* CopiedData() const { return window.copiedData; }
  const std::string& MergeFirstPath() const { return window.mergeFirstPath; }
  const std::string& MergeSecondPath() const { return window.mergeSecondPath; }
  const WaterMarkSettings& WatermarkSettings() const { return window.watermarkSettings; }
  int MergeType() const { return window.mergeType; }
  int MergePosition() const { return window.mergePosition; }

  void OnCapture() const { window.OnCapture(); }
  void OnSysCommand(int command) const { window.OnSysCommand(command); }
  void OnExit() const { window.OnExit(); }
  void OnMergeCheck() const { window.OnMergeCheck(); }
  void OnHorizontal() const { window.OnHorizontal(); }
  void OnVertical() const { window.OnVertical(); }
  void OnContinuousCapture() const { window.OnContinuousCapture(); }

 private:
  CTavrinWindowDlg& window;
};

}  // namespace tavrin
