// CTavrinWindowDlg: the scan window. Its ITwainShowWindow operations are
// called on the data-source channel's receiver thread and marshal to the
// GUI thread; OnCameraListChanged is queued from the camera library's
// thread; everything else runs on the GUI thread.
#pragma once

#include <QDialog>
#include <QRect>
#include <QSize>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "camera/camera_library.h"
#include "dialogs/water_mark_settings.h"
#include "dslink/copied_data.h"
#include "dslink/twain_control.h"
#include "mainwindow/resolution_list.h"
#include "resources/dialog_builder.h"

class QCheckBox;
class QComboBox;
class QKeyEvent;
class QResizeEvent;
class QLabel;
class QPushButton;
class QRadioButton;
class QStatusBar;

namespace tavrin {

class CAutoCaptureDlg;
class CImageListCtrl;
class CMergePreviewDlg;
class CopiedDataServer;

class CTavrinWindowDlg : public QDialog, public ITwainShowWindow {
 public:
  explicit CTavrinWindowDlg(QWidget* parent = nullptr);
  ~CTavrinWindowDlg() override;

  CTavrinWindowDlg(const CTavrinWindowDlg&) = delete;
  CTavrinWindowDlg& operator=(const CTavrinWindowDlg&) = delete;

  // Start-up: true when the window is to be shown; false after a failure,
  // when the window has already been closed as cancelled.
  bool OnInitDialog();

  // ITwainShowWindow (receiver thread or GUI thread).
  int Idle() override;
  int ShowTwainWindow(int command) override;
  int CaptureImage() override;
  int LockMerge(int locked) override;
  int CloseTwainWindow() override;
  int ApplyShowModel() override;

  // The copied-data path (GUI thread): a record with identifier 1002 is a
  // data-source message; others are ignored. True when it was one.
  bool OnCopyData(const CopiedDataRecord& record);
  CopiedDataServer* CopiedData() const { return copiedData; }

  // Start-up routines, also run by the device change.
  void RefreshDevices(bool restore);
  void LayoutWindow();
  void ApplyUiTexts();
  void ReadFileVersion();
  // The working-folder clean-up; never follows a link.
  static bool DeleteFolderTree(const std::string& path);
  static bool IsFolder(const std::string& path);

  // Option controls and preview commands.
  void OnDeviceChange();
  // Gives the current camera the image options the controls show.
  void SendImageOptions();
  CameraInfo RefreshCameraInfo(int index);
  void RebuildMediaTypes();
  void OnMediaTypeChange();
  void RebuildResolutions();
  void OnResolutionChange();
  void OnUnitChange();
  void SelectDpiUnit();
  void OnColorChange();
  void OnCropChange();
  void OnHandCutCheck();
  void OnRotateChange();
  void OnZoomIn();
  void OnZoomOut();
  void OnOriginalSize();
  void OnBestFit();
  void OnDeviceSettings();
  void OnImageSettings();
  void OnLanguageChange();
  void OnSave();
  bool SaveSettings();

  // Capture pipeline.
  void OnCapture();
  int CaptureWithRetry(int camera, char* path);
  void HandOn(const std::string& path);
  int HandOff();
  // Pieces of text between separators; a text without one is one piece.
  static std::vector<std::string> SplitAt(const std::string& text, char separator);
  void OnMergeCheck();
  void OnWebcamMergeCheck();
  void OnHorizontal();
  void OnVertical();

  // Watermark.
  void OnWaterMarkCheck();
  void OnWaterMarkSettings();

  // Webcam.
  void OnWebcamCheck();
  void OnWebcamDeviceChange();
  void RebuildWebcamResolutions();
  void OnWebcamResolutionChange();
  void OnMergeSettings();
  void OnWebcamCapture();

  // Continuous capture (button 1028).
  void OnContinuousCapture();
  // A data source's hands-free batch: an automatic run that shoots after
  // stillSeconds; ending the run ends the scan session.
  void StartFeederRun(int stillSeconds);
  CAutoCaptureDlg* AutoCapture() const { return autoCapture; }

  // Device change, commands and shutdown.
  void OnCameraListChanged();
  void OnSysCommand(int command);
  void OnExit();
  void done(int result) override;

  // State the tests and the data-source operations look at.
  bool IsReady() const { return ready; }
  bool IsCameraReady() const { return cameraReady; }
  int CurrentCamera() const { return currentCamera; }
  int WebcamCamera() const { return webcamCamera; }
  const std::string& WorkFolder() const { return workFolder; }
  const std::vector<ResolutionEntry>& Resolutions() const { return resolutions; }
  const std::vector<ResolutionEntry>& NamingTable() const { return namingTable; }
  const std::vector<int>& DpiChoices() const { return dpiChoices; }
  const std::array<std::uint16_t, 4>& Version() const { return version; }
  QWidget* Control(int id) const { return controls.Control(id); }
  const DialogControls& Controls() const { return controls; }
  QWidget* PreviewHost() const { return previewHost; }
  QWidget* WebcamPreview() const { return webcamPreview; }
  QDialog* MergePreview() const;
  QStatusBar* StatusBar() const { return statusBar; }
  CTwainControl& Twain() { return twain; }
  CImageListCtrl* Thumbnails() const { return thumbnails; }
  const std::string& MergeFirstPath() const { return mergeFirstPath; }
  const std::string& MergeSecondPath() const { return mergeSecondPath; }
  const WaterMarkSettings& WatermarkSettings() const { return watermarkSettings; }
  int MergeType() const { return mergeType; }
  int MergePosition() const { return mergePosition; }
  // Hands one file to the data source as HandOn does, without the strip.
  int HandOffPath(const std::u16string& path) {
    pendingPath = path;
    return HandOff();
  }

 protected:
  // Keeps the companion windows beside the window while it moves.
  void moveEvent(QMoveEvent* event) override;
  // The companions are placed during start-up, before the window has its
  // frame; showing the window moves it by the frame.
  void showEvent(QShowEvent* event) override;
  // Enter and Escape do not end a scanning session.
  void keyPressEvent(QKeyEvent* event) override;
  // The preview and the strip take what the window grows by; the
  // companions follow.
  void resizeEvent(QResizeEvent* event) override;

 private:
  friend class CAutoCaptureDlg;

  void BuildControls();
  // The handlers of continuous capture and the window messages.
  void ConnectDriveHandlers();
  void ConnectHandlers();
  // Enables a control, unless its handler belongs to a part that is not
  // there yet: such controls stay disabled rather than claim to work.
  void EnableControl(int id, bool enable);
  void SetLabel(int id, const std::u16string& text);
  // Widens the controls whose texts do not fit and sets the window's
  // smallest size to what holds them; the window keeps its size above that.
  void FitTexts();
  // Places the controls for the window's size from their fitted places,
  // and the status bar along the window's foot.
  void PlaceControls();
  // A list refilled later (sizes of another format, cameras plugged in)
  // fits its texts again once the refill is over.
  void WatchListsForFit();
  // The size LastSetting.xml remembers, within the screen.
  void RestoreWindowSize();
  // The size to remember: the normal size also while maximised.
  void RememberWindowSize();
  int SelectedCrop() const;
  void ConnectAboutEntry();
  void ShowAboutBox();
  void Shutdown();
  bool IsClosing();
  // The number for this press's names: the tick count, but never one used
  // before in this run.
  std::int32_t NextNameNumber();
  // "<workFolder>/<prefix><number><extension of the format list>" in a
  // zero-filled buffer of the size the camera library was promised; false
  // (buffer empty) when it does not fit.
  bool FormatCapturePath(std::array<char, 1024>& buffer, const char* prefix,
                         std::int32_t number) const;
  void TwoPictureMerge(const char* mainPath, const char* webcamPath, const char* mergedPath,
                       int webcamResult);
  void WebcamMerge(const char* mainPath, const char* webcamPath, const char* mergedPath);
  // The companions leave the live picture free: the merge preview and the
  // continuous-capture dialog beside the window (or where the thumbnail
  // strip and the bottom row are), the webcam's picture beside the main one.
  void PlaceMergePreview();
  void ShowMergePreview(bool show);
  void PlaceAutoCapture();
  void PlaceCompanions();
  void PlacePreviews();
  QRect ScreenArea() const;
  // Continuous capture runs on the camera the window holds after a switch
  // or device change; with none left it stops and says why.
  void ContinueAutoCapture();
  // Passes watermarkSettings to the library: with enable, the text with the
  // time stamp of now; without, empty text and font.
  void SendWaterMark(bool enable);
  // Runs work on the GUI thread and waits for it; returns whenClosing once
  // the window has begun to close, without touching it.
  template <class Work>
  int RunOnGuiThread(Work work, int whenClosing);
  void DrainMarshalledCalls();
  void StartCopiedDataServer();
  // Modes 1 and 3 capture without the person: the window stays hidden
  // unless a missing camera made it show itself.
  bool HiddenAtStart() const;

  // Polled by the receiver thread while a request waits for start-up.
  std::atomic<bool> ready = false;
  CTwainControl twain;
  std::mutex sendLock;
  bool oneByOne = false;
  CameraLibrary library;
  bool cameraReady = true;
  std::string workFolder;
  std::u16string pendingPath;
  QStatusBar* statusBar = nullptr;
  std::array<std::uint16_t, 4> version = {0, 0, 0, 0};  // major, minor, build, revision
  std::vector<ResolutionEntry> namingTable;
  std::vector<int> dpiChoices;
  std::vector<CameraInfo> cameraInfo;
  QWidget* previewHost = nullptr;
  int currentCamera = -1;
  std::vector<ResolutionEntry> resolutions;
  CMergePreviewDlg* mergePreview = nullptr;
  QWidget* webcamPreview = nullptr;
  WaterMarkSettings watermarkSettings;
  int mergeType = 0;
  int mergePosition = 2;
  int webcamCamera = -1;
  int savedCrop = 0;
  std::string mergeFirstPath;
  std::string mergeSecondPath;
  // Captures and device changes do not nest: one that comes while another
  // runs (from inside its message box) waits until that one is over.
  struct BusyScope {
    explicit BusyScope(CTavrinWindowDlg& owner);
    ~BusyScope();
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
    CTavrinWindowDlg& window;
  };
  void RunWaitingWork();
  bool busy = false;
  bool captureWaiting = false;
  bool deviceChangeWaiting = false;
  bool anyNameNumber = false;
  std::uint32_t lastNameTick = 0;

  DialogControls controls;
  QComboBox* colorCombo = nullptr;
  QComboBox* cropCombo = nullptr;
  QComboBox* formatCombo = nullptr;
  QComboBox* rotateCombo = nullptr;
  QCheckBox* mergeCheck = nullptr;
  QRadioButton* horizontalRadio = nullptr;
  QRadioButton* verticalRadio = nullptr;
  QComboBox* resolutionCombo = nullptr;
  CImageListCtrl* thumbnails = nullptr;
  QComboBox* deviceCombo = nullptr;
  QCheckBox* watermarkCheck = nullptr;
  QCheckBox* webcamCheck = nullptr;
  QComboBox* webcamDeviceCombo = nullptr;
  QCheckBox* webcamMergeCheck = nullptr;
  QComboBox* webcamResolutionCombo = nullptr;
  QComboBox* mediaTypeCombo = nullptr;
  QComboBox* autoCaptureModeCombo = nullptr;
  QComboBox* languageCombo = nullptr;
  QComboBox* unitCombo = nullptr;
  QCheckBox* handCutCheck = nullptr;
  QPushButton* webcamCaptureButton = nullptr;

  // Progress of start-up, so that a failed start-up neither uninitialises
  // a library it never initialised nor saves controls it never filled.
  bool libraryInitialised = false;
  bool controlsRestored = false;
  bool shutdownDone = false;

  // Marshalled calls from the receiver thread; see RunOnGuiThread.
  std::mutex marshalLock;
  bool closing = false;           // guarded by marshalLock
  int callsInFlight = 0;          // guarded by marshalLock
  bool inMarshalledCall = false;  // GUI thread only

  CopiedDataServer* copiedData = nullptr;
  CAutoCaptureDlg* autoCapture = nullptr;

  // The controls' places at the smallest window size, with their texts
  // fitted, and that size.
  std::vector<QRect> fittedPlaces;
  QSize fittedSize;
  bool fitQueued = false;
};

}  // namespace tavrin
