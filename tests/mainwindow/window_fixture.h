// What the fixtures of the real scan window share: waiting on the event
// loop, the virtual cameras, and starting the window from a LastSetting.xml
// with its message boxes collected rather than shown.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mainwindow/tavrin_window_dlg.h"
#include "settings/scan_settings.h"
#include "tests/mainwindow/window_probe.h"
#include "tests/support/wait.h"

namespace tavrin::test {

// Runs done on the modal dialog of type Dialog that the next exec() opens.
template <class Dialog, class Done>
void OnNextDialog(Done done) {
  QTimer::singleShot(0, [done] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (auto* dialog = dynamic_cast<Dialog*>(widget); dialog != nullptr && dialog->isVisible()) {
        done(*dialog);
        return;
      }
    }
  });
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

  ScanWindowProbe Probe() const { return ScanWindowProbe(*window); }

  std::unique_ptr<CTavrinWindowDlg> window;
  std::vector<QString> messages;
};

}  // namespace tavrin::test
