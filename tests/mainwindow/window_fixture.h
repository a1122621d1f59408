// What the fixtures of the real scan window share: waiting on the event
// loop, the virtual cameras, and starting the window from a LastSetting.xml
// with its message boxes collected rather than shown.
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

// Runs the event loop until done() holds or timeoutMs has passed. The
// default is generous: a capture at the camera's full size under the
// sanitizers on a busy machine takes seconds, and a wait that holds costs
// nothing more.
template <class Done>
bool WaitFor(Done done, int timeoutMs = 20000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class WindowFixture : public testing::Test {
 protected:
  // Settings, texts and languages as a fresh process has them, no
  // LastSetting.xml, and the window's message boxes go to messages.
  void ResetWindowState();
  void TearDown() override;

  // The list TAVRIN_LENS_VIRTUAL_FILE names; the library watches it.
  static void SetCameras(const std::string& list);
  // Saves settings as LastSetting.xml, then makes and initialises the window.
  bool Start(const ScanSettings& settings = ScanSettings{});

  std::unique_ptr<CTavrinWindowDlg> window;
  std::vector<QString> messages;
};

}  // namespace tavrin::test
