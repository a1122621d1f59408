#include "mainwindow/window_registry.h"

#include <QMetaObject>

#include <mutex>

#include "mainwindow/tavrin_window_dlg.h"

namespace tavrin {

namespace {

std::mutex registryLock;
CTavrinWindowDlg* registeredWindow = nullptr;  // guarded by registryLock

}  // namespace

void RegisterScanWindow(CTavrinWindowDlg* window) {
  std::lock_guard lock(registryLock);
  registeredWindow = window;
}

void UnregisterScanWindow(CTavrinWindowDlg* window) {
  std::lock_guard lock(registryLock);
  if (registeredWindow == window) registeredWindow = nullptr;
}

bool ScanWindowDeviceChanged(int /*value*/) {
  // Posting under the lock keeps the window alive until the event is queued;
  // Qt drops the event if the window is deleted before it runs.
  std::lock_guard lock(registryLock);
  if (registeredWindow != nullptr) {
    QMetaObject::invokeMethod(registeredWindow, &CTavrinWindowDlg::OnCameraListChanged,
                              Qt::QueuedConnection);
  }
  return true;
}

}  // namespace tavrin
