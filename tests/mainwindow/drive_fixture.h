// The real scan window with the real camera library (or the hook library
// in front of it) and virtual cameras, for the tests of what drives it from
// outside: copied data, continuous capture, device change and shutdown.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QString>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mainwindow/tavrin_window_dlg.h"
#include "settings/scan_settings.h"

namespace tavrin::test {

// Runs the event loop until done() holds or timeoutMs has passed.
template <class Done>
bool WaitFor(Done done, int timeoutMs = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Runs the event loop for ms milliseconds.
void Pump(int ms);

class DriveTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The list TAVRIN_LENS_VIRTUAL_FILE names; the library watches it.
  static void SetCameras(const std::string& list);
  // ShowModel.xml in the documents folder's DSConfig/; none for mode < 0.
  static void WriteShowModel(int mode);
  // Puts the hook library in the program folder's place of the camera
  // library, with the real one beside it.
  static bool UseHookLens();
  // The hook library's exports, once the window has loaded it.
  static std::vector<std::string> LensCalls();
  static void ClearLensCalls();
  using Hook = void (*)(const char* name);
  static void SetLensHook(Hook hook);

  bool Start(const ScanSettings& settings = ScanSettings{});

  std::unique_ptr<CTavrinWindowDlg> window;
  std::vector<QString> messages;
};

}  // namespace tavrin::test
