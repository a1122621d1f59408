// HiddenFlatbed: the scan window of a client that only ever asks for single
// pages taken at once without the person (a flatbed scanner's frontend).
// Nobody sees such a window, so none of its controls is built: the camera
// is opened, the saved settings and each request's are given to the camera
// library, and every request is answered with its page. Where the window
// would show itself (no camera, a camera that does not open) it does not
// start, and the whole window takes over. Messages come over the channel
// alone: the copied-data socket, which the scanner backend never uses, is
// not opened.
// Threads: the GUI thread; the ITwainShowWindow calls come on the channel's
// receiver thread and run on the GUI thread, as the window's do.
#pragma once

#include <QObject>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "camera/camera_library.h"
#include "dialogs/water_mark_settings.h"
#include "dslink/twain_control.h"
#include "mainwindow/capture_naming.h"
#include "mainwindow/gui_thread_calls.h"
#include "mainwindow/resolution_list.h"

namespace tavrin {

class HiddenFlatbed : public QObject, public ITwainShowWindow {
 public:
  HiddenFlatbed();
  ~HiddenFlatbed() override;
  HiddenFlatbed(const HiddenFlatbed&) = delete;
  HiddenFlatbed& operator=(const HiddenFlatbed&) = delete;

  // True when the camera is open and the data source attached; false when
  // the whole window is to start instead, with nothing left open.
  bool Start();
  // Serves requests until the data source closes the scan, a capture
  // fails for good, or the data source's process goes; then hands over
  // what is left and releases the camera.
  void Run();

  // ITwainShowWindow (receiver thread).
  int Idle() override;
  int ShowTwainWindow(int command) override;
  int CaptureImage() override;
  int LockMerge(int locked) override;
  int CloseTwainWindow() override;
  int ApplyShowModel() override;

 private:
  void ApplySavedSettings();
  void ApplyRequest();
  void ApplyDpi(int dpi);
  void ApplySearchArea();
  void Capture();
  int CaptureWithRetry(char* path);
  void End();
  void Shutdown();

  CameraLibrary library;
  CTwainControl twain;
  bool libraryInitialised = false;
  int camera = -1;
  // The camera's own DPI at the size it opened at: with one (other than a
  // screen's 96) sizes are chosen by DPI, as the window's DPI unit does.
  int cameraDpi = 0;
  int cameraWidth = 0;
  // The DPI values sizes are chosen from; each request's own joins them.
  std::vector<int> dpiChoices = MakeDpiChoices();
  int crop = 0;
  int rotate = 0;
  int colorItem = 0;
  std::string workFolder;
  NameNumbers nameNumbers;
  WaterMarkSettings watermark;
  bool requestServed = false;
  bool dataSourceGone = false;
  bool shutdownDone = false;

  GuiThreadCalls calls{*this};
  std::atomic<bool> ended = false;
};

}  // namespace tavrin
