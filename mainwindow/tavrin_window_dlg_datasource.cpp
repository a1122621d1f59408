// The operations through which the data source drives the window. They
// arrive on the channel's receiver thread and do their work on the GUI
// thread.
#include <QCheckBox>
#include <QMetaObject>
#include <QThread>

#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"

namespace tavrin {

template <class Work>
int CTavrinWindowDlg::RunOnGuiThread(Work work, int whenClosing) {
  if (QThread::currentThread() == thread()) {
    {
      std::lock_guard lock(marshalLock);
      if (closing) return whenClosing;
    }
    return work();
  }
  {
    std::lock_guard lock(marshalLock);
    if (closing) return whenClosing;
    ++callsInFlight;
  }
  int result = whenClosing;
  QMetaObject::invokeMethod(
      this,
      [&] {
        {
          std::lock_guard lock(marshalLock);
          if (closing) return;
        }
        inMarshalledCall = true;
        result = work();
        inMarshalledCall = false;
      },
      Qt::BlockingQueuedConnection);
  std::lock_guard lock(marshalLock);
  --callsInFlight;
  return result;
}

int CTavrinWindowDlg::Idle() {
  return 1;
}

int CTavrinWindowDlg::ShowTwainWindow(int /*command*/) {
  return RunOnGuiThread(
      [this] {
        show();
        return 1;
      },
      1);
}

int CTavrinWindowDlg::CaptureImage() {
  // Capturing arrives with the capture pipeline.
  return 1;
}

int CTavrinWindowDlg::LockMerge(int locked) {
  return RunOnGuiThread(
      [this, locked] {
        EnableControl(kIdMergeCheck, locked == 0);
        return 1;
      },
      1);
}

int CTavrinWindowDlg::CloseTwainWindow() {
  // Closing waits for marshalled calls to finish, so it must not run inside
  // one: it is queued and runs once this call has returned.
  return RunOnGuiThread(
      [this] {
        QMetaObject::invokeMethod(this, &CTavrinWindowDlg::reject, Qt::QueuedConnection);
        return 1;
      },
      1);
}

int CTavrinWindowDlg::ApplyShowModel() {
  // Applying a scan request arrives with data-source driven operation.
  return 1;
}

}  // namespace tavrin
