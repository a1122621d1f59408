#include "tests/mainwindow/window_fixture.h"

#include <filesystem>
#include <fstream>

#include "mainwindow/message_box.h"
#include "platform/paths.h"
#include "settings/ui_text_table.h"
#include "tests/mainwindow/private_program_folder.h"

namespace tavrin::test {

void WindowFixture::ResetWindowState() {
  g_scanSettings = ScanSettings{};
  g_uiTextTable = UiTextTable{};
  g_languageList.clear();
  SetMessageBoxObserver([this](const QString& text) { messages.push_back(text); });
  std::filesystem::remove(LastSettingsPath());
}

void WindowFixture::TearDown() {
  window.reset();
  SetMessageBoxObserver({});
}

void WindowFixture::SetCameras(const std::string& list) {
  std::ofstream(CameraListPath(), std::ios::trunc) << list << "\n";
}

bool WindowFixture::Start(const ScanSettings& settings) {
  if (!SaveLastSettings(LastSettingsPath(), settings)) return false;
  window = std::make_unique<CTavrinWindowDlg>();
  return window->OnInitDialog();
}

}  // namespace tavrin::test
