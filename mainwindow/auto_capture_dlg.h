// CAutoCaptureDlg: continuous capture (template 135), a modeless dialog of
// the scan window that shows the run's progress and stops it.
// Threads: everything on the GUI thread except OnAutoCaptureProgress, which
// the camera library calls on its own thread; that callback only queues
// work for the GUI thread, so StopCapture, which waits for it, never waits
// for the GUI thread.
#pragma once

#include <QDialog>
#include <QString>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "resources/dialog_builder.h"
#include "settings/scan_settings.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace tavrin {

class CTavrinWindowDlg;

class CAutoCaptureDlg : public QDialog {
 public:
  explicit CAutoCaptureDlg(CTavrinWindowDlg* owner);
  // Stops a run that is still on; the owner stops it before its camera
  // library goes, so this is only the last safeguard.
  ~CAutoCaptureDlg() override;
  CAutoCaptureDlg(const CAutoCaptureDlg&) = delete;
  CAutoCaptureDlg& operator=(const CAutoCaptureDlg&) = delete;

  void StartCapture();
  void StopCapture();
  // Stops a run whose camera went away and says why where the countdown is.
  void Halt(const QString& why);
  void UpdateTexts();
  // End (1050): stops and hides.
  void OnEnd();
  // The callback handed to the camera library; always true.
  static bool OnAutoCaptureProgress(int value);

  // Set by the scan window before a start.
  void SetRun(int timedFlag, int intervalValue);
  // A data source's batch: End and the title bar close the scan window too.
  void SetEndsSession(bool flag) { endsSession = flag; }
  void ResetShotCount() { shotCount = 0; }
  int Timed() const { return timed; }
  int Interval() const { return interval; }
  bool IsRunning() const { return running; }
  int ShotCount() const { return shotCount; }
  QWidget* Control(int id) const { return controls.Control(id); }
  const DialogControls& Controls() const { return controls; }

 protected:
  void reject() override;

 private:
  // The person set the run's seconds: remembered, and a run that is on
  // starts again with them.
  void OnSecondsChanged(int value);
  // GUI thread: one queued callback of run `run`.
  void OnProgressQueued(int value, std::uint64_t run);
  void SetShotCountText();

  DialogControls controls;
  QProgressBar* progress = nullptr;
  QLabel* countdown = nullptr;
  QLabel* shotCountLabel = nullptr;
  QPushButton* startButton = nullptr;
  QPushButton* stopButton = nullptr;
  QLabel* secondsLabel = nullptr;
  QSpinBox* seconds = nullptr;
  CTavrinWindowDlg* owner = nullptr;
  int timed = 0;
  int interval = 3;
  std::atomic<bool> running = false;
  int shotCount = 0;
  bool endsSession = false;
  // Held by the callback while it queues its work, and by StartCapture and
  // StopCapture while they move to a new run number; not while the library
  // stops its run, which waits for a callback that may want the lock.
  std::mutex lock;
  // Numbers the runs, so that work an earlier run queued is dropped.
  std::uint64_t runNumber = 0;  // guarded by lock
};

}  // namespace tavrin
