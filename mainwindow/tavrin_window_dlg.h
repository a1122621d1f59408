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
#include "mainwindow/capture_naming.h"
#include "mainwindow/gui_thread_calls.h"
#include "mainwindow/merge_layout.h"
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
class QTimer;

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
  // Queued by the camera library's device-change callback.
  void OnCameraListChanged();
  void done(int result) override;

  // What the program's trace of the window places.
  QWidget* Control(int id) const { return controls.Control(id); }
  QWidget* PreviewHost() const { return previewHost; }
  CImageListCtrl* Thumbnails() const { return thumbnails; }

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
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  friend class CAutoCaptureDlg;
  // The tests' view of the state below and of the handlers they call.
  friend class ScanWindowProbe;

  // Start-up routines, also run by the device change.
  void RefreshDevices(bool restore);
  void LayoutWindow();
  void ApplyUiTexts();
  void ReadFileVersion();
  void BuildControls();
  // The handlers of continuous capture and the window messages.
  void ConnectDriveHandlers();
  void ConnectHandlers();
  void ConnectAboutEntry();
  void ShowAboutBox();
  void StartCopiedDataServer();
  // Modes 1 and 3 capture without the person: the window stays hidden
  // unless a missing camera made it show itself.
  bool HiddenAtStart() const;
  // Pages an earlier session captured and never delivered: the person may
  // add them to this scan, discard them or leave them for later.
  void OfferWaitingPages();
  // The data source's process has gone: the window ends without handing
  // anything on, and what it captured waits for the next scan.
  void EndWithoutDataSource();

  // Option controls and preview commands.
  // A camera takes a while to send its first frame: the first one is
  // started before the lists, texts and thumbnails are made.
  void OpenCameraEarly();
  // The size camera opens at: the one remembered, else its first.
  void RememberedSize(int camera, int& width, int& height);
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
  void OnEvenLightCheck();
  void OnRotateChange();
  void OnLanguageChange();
  void OnSave();
  bool SaveSettings();
  int SelectedCrop() const;
  // True, with the person told and the list back at keep, when chosen is a
  // camera the window already holds.
  bool RefusedAsInUse(QComboBox* list, int chosen, int keep);
  // Unchecks a checked box and applies that as its click would.
  void TurnOff(QCheckBox* box, void (CTavrinWindowDlg::*apply)());
  void EnableControl(int id, bool enable);
  // The options a book crop has no use for are greyed while it is chosen.
  void EnableForCrop();
  // A request's part of the picture to take (ApplyShowModel, GUI thread).
  void ApplySearchArea();
  // Without a camera the picture says so and what cannot work is greyed;
  // a camera plugged in brings it all back.
  void ShowCameraPresence(bool present);
  void SetLabel(int id, const std::u16string& text);

  // The keyboard and the screen reader.
  // Labels name their lists and carry a letter for Alt; Tab follows the
  // layout; F5 captures, Ctrl+Plus, Ctrl+Minus, Ctrl+0 and Ctrl+1 zoom,
  // Delete takes the selected page out of the strip and Ctrl+Z brings it back.
  void ConnectKeys();
  // A label's text with an Alt letter that no other label of the window has.
  QString WithMnemonic(int labelId, const QString& text) const;
  // Names and descriptions in the language shown.
  void ApplyAccessibleTexts();
  // The status line: pages of this session, the last file, the way back
  // for a page taken out, and a short outline around the picture at each
  // capture.
  void BuildStatusLine();
  void ShowPageStatus();
  void OnPageHandedOn(const QString& name);
  void OnPageRemoved(bool removed, const QString& name);
  QString VersionMessage() const;

  // Layout.
  // Widens the controls whose texts do not fit and sets the window's
  // smallest size to what holds them; the window keeps its size above that.
  void FitTexts();
  // How much narrower than its fitted size the window must be to fit a
  // screen a little narrower than that (a laptop at 200 %), and can be
  // without a control running into another: 0 when it fits, or when
  // giving up what it can would not make it fit.
  int NarrowingForScreen(int fittedWidth) const;
  // The widest the window can be with its frame on its screen.
  int ScreenRoomWidth() const;
  // Where a control lies in the dialog's template.
  QRect TemplatePlace(int id) const;
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
  // The companions leave the live picture free: the merge preview and the
  // continuous-capture dialog beside the window (or where the thumbnail
  // strip and the bottom row are), the webcam's picture beside the main one.
  void PlaceMergePreview();
  void ShowMergePreview(bool show);
  void PlaceAutoCapture();
  void PlaceCompanions();
  void PlacePreviews();
  // A Wayland client cannot place its windows, and the compositor puts them
  // over the middle of the window, where the picture is: there the merge
  // preview and the continuous-capture panel live inside the window, the
  // first at the foot of the strip, the second under a picture that
  // shrinks to leave it room.
  bool PanelsInside() const;
  void EmbedPanel(QWidget* panel);
  // The height the continuous-capture panel takes from the picture.
  int TimingPanelHeight() const;
  QRect ScreenArea() const;

  // Capture pipeline.
  void OnCapture();
  int CaptureWithRetry(int camera, char* path);
  // Hands a file to the data source and shows it in the strip.
  void HandOn(const std::string& path);
  void TwoPictureMerge(const char* mainPath, const char* webcamPath, const char* mergedPath,
                       int webcamResult);
  void WebcamMerge(const char* mainPath, const char* webcamPath, const char* mergedPath);
  void OnMergeCheck();
  void OnWebcamMergeCheck();
  void OnHorizontal();
  void OnVertical();

  // Watermark.
  void OnWaterMarkCheck();
  void OnWaterMarkSettings();
  // Passes watermarkSettings to the library: with enable, the text with the
  // time stamp of now; without, empty text and font.
  void SendWaterMark(bool enable);

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
  // Continuous capture runs on the camera the window holds after a switch
  // or device change; with none left it stops and says why.
  void ContinueAutoCapture();

  // Commands and shutdown.
  void OnSysCommand(int command);
  void OnExit();
  void Shutdown();
  bool IsClosing();
  // Runs work on the GUI thread and waits for it; returns whenClosing once
  // the window has begun to close, without touching it.
  template <class Work>
  int RunOnGuiThread(Work work, int whenClosing);

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

  // The data source: the link, and whether the window may serve requests
  // (polled by the receiver thread while a request waits for start-up).
  CTwainControl twain;
  std::atomic<bool> ready = false;
  CopiedDataServer* copiedData = nullptr;

  // The camera library and the cameras in use.
  CameraLibrary library;
  std::vector<CameraInfo> cameraInfo;
  int currentCamera = -1;
  // The first camera, opened before the window is built; the device list
  // then finds it open (with this result) instead of opening it again.
  bool openedEarly = false;
  int earlyOpenResult = 0;
  int webcamCamera = -1;
  bool cameraReady = true;
  std::vector<ResolutionEntry> resolutions;
  std::vector<ResolutionEntry> namingTable;
  std::vector<int> dpiChoices;
  int savedCrop = 0;

  // Captures: where their files go, how they are named, what they carry.
  std::string workFolder;
  NameNumbers nameNumbers;
  WaterMarkSettings watermarkSettings;
  bool busy = false;
  bool captureWaiting = false;
  bool deviceChangeWaiting = false;

  // Merges: the webcam merge's place and the two-picture merge's pair.
  int mergeType = kTavrinMergeInside;
  int mergePosition = kInsideTopRight;
  std::string mergeFirstPath;
  std::string mergeSecondPath;

  // The window's parts.
  DialogControls controls;
  QStatusBar* statusBar = nullptr;
  QWidget* previewHost = nullptr;
  QWidget* webcamPreview = nullptr;
  CMergePreviewDlg* mergePreview = nullptr;
  CAutoCaptureDlg* autoCapture = nullptr;
  CImageListCtrl* thumbnails = nullptr;
  std::array<std::uint16_t, 4> version = {0, 0, 0, 0};  // major, minor, build, revision
  QComboBox* colorCombo = nullptr;
  QComboBox* cropCombo = nullptr;
  QComboBox* formatCombo = nullptr;
  QComboBox* rotateCombo = nullptr;
  QCheckBox* mergeCheck = nullptr;
  QCheckBox* evenLightCheck = nullptr;
  QRadioButton* horizontalRadio = nullptr;
  QRadioButton* verticalRadio = nullptr;
  QComboBox* resolutionCombo = nullptr;
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

  // The status line.
  QLabel* pagesLabel = nullptr;
  QLabel* lastFileLabel = nullptr;
  QPushButton* undoButton = nullptr;
  std::array<QWidget*, 4> flashBars = {};
  QTimer* flashTimer = nullptr;
  int pageCount = 0;
  QString lastFileName;

  // Layout: the controls' places at the smallest window size, with their
  // texts fitted, and that size.
  std::vector<QRect> fittedPlaces;
  QSize fittedSize;
  // What the picture gives up of its fitted width on a narrow screen.
  int narrowing = 0;
  bool fitQueued = false;

  // Progress of start-up, so that a failed start-up neither uninitialises
  // a library it never initialised nor saves controls it never filled.
  bool libraryInitialised = false;
  bool controlsRestored = false;
  bool shutdownDone = false;
  bool dataSourceGone = false;

  // Calls from the receiver thread; see RunOnGuiThread.
  GuiThreadCalls calls{*this};
};

}  // namespace tavrin
