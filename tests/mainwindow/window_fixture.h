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
#include "tests/support/wait.h"

namespace tavrin::test {

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
