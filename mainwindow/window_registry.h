// The process-wide pointer through which the camera library's device-change
// callback reaches the scan window. The callback runs on a library thread;
// registration runs on the GUI thread.
#pragma once

namespace tavrin {

class CTavrinWindowDlg;

// The window registers itself when built and unregisters (null) when it goes.
void RegisterScanWindow(CTavrinWindowDlg* window);
void UnregisterScanWindow(CTavrinWindowDlg* window);

// Device-change callback: queues OnCameraListChanged on the GUI thread and
// returns true at once.
bool ScanWindowDeviceChanged(int value);

}  // namespace tavrin
