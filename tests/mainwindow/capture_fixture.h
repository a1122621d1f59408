// The real scan window with virtual cameras, a camera library that writes
// down every call before it passes it on to the real one, and, when a test
// asks for it, a data source on the other end of the channel that records
// what the window sends.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QPushButton>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "dslink/shared_message_channel.h"
#include "dslink/twain_control.h"
#include "mainwindow/message_box.h"
#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "platform/dynamic_library.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"
#include "settings/scan_settings.h"
#include "settings/ui_text_table.h"
#include "tests/mainwindow/private_program_folder.h"
#include "tests/mainwindow/window_fixture.h"
#include "thumbnails/image_list_ctrl.h"

namespace tavrin::test {

namespace fs = std::filesystem;

// One call the window made into the camera library.
struct LensCall {
  std::string name;
  std::vector<std::string> args;
  std::string result;
  long long startMs = 0;
};

// Frame sizes of small virtual cameras ("document?sizes=800x600",
// "webcam?sizes=320x240") and the settings that ask for them, saved as PNG
// (exact pixels) and not cut (the whole frame).
inline constexpr int kMainWidth = 800;
inline constexpr int kMainHeight = 600;
inline constexpr int kWebcamWidth = 320;
inline constexpr int kWebcamHeight = 240;
inline constexpr const char* kTwoCameras = "document?sizes=800x600,webcam?sizes=320x240";

inline ScanSettings SmallCameras() {
  ScanSettings settings;
  settings.fileType = 2;
  settings.cutType = kTavrinCropNone;
  settings.DPI.MainWidth = kMainWidth;
  settings.DPI.MainHeight = kMainHeight;
  settings.Webcam.WebcamWidth = kWebcamWidth;
  settings.Webcam.WebcamHeight = kWebcamHeight;
  return settings;
}

inline std::vector<LensCall> ParseLensCalls(const std::string& text) {
  std::vector<LensCall> calls;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t at = line.find('|'); at != std::string::npos; at = line.find('|', start)) {
      fields.push_back(line.substr(start, at - start));
      start = at + 1;
    }
    fields.push_back(line.substr(start));
    if (fields.size() < 3) continue;
    LensCall call;
    call.name = fields.front();
    call.startMs = std::stoll(fields.back().substr(2));
    call.result = fields[fields.size() - 2].substr(1);
    call.args.assign(fields.begin() + 1, fields.end() - 2);
    calls.push_back(std::move(call));
  }
  return calls;
}

// The data source's end of the channel: creates both blocks and keeps every
// message the window sends.
class TestDataSource : public ITwainDsCallback {
 public:
  struct Message {
    int code = 0;
    std::string text;
  };

  TestDataSource() {
    static int serial = 0;
    const std::string stem =
        "tavrin-capture-test-" + std::to_string(::getpid()) + "-" + std::to_string(++serial) + "-";
    windowReceives = stem + "in";
    windowSends = stem + "out";
    ChannelTimings timings;
    timings.pollIntervalUs = 1000;
    channel.SetTimings(timings);
    channel.SetCallback(this);
    channel.Start(platform::Utf8ToUtf16(windowReceives), platform::Utf8ToUtf16(windowSends), 1);
  }
  ~TestDataSource() { channel.Close(); }

  int OnMessage(ChannelBlock* block) override {
    std::lock_guard lock(mutex);
    messages.push_back({block->code, platform::Utf16ToUtf8(BlockText(*block))});
    return 1;
  }
  std::vector<Message> Messages() const {
    std::lock_guard lock(mutex);
    return messages;
  }
  // The paths sent one by one (203).
  std::vector<std::string> SentImages() const {
    std::vector<std::string> paths;
    for (const Message& m : Messages())
      if (m.code == kMsgImage) paths.push_back(m.text);
    return paths;
  }

  std::string windowReceives;
  std::string windowSends;

 private:
  SharedMessageChannel channel;
  mutable std::mutex mutex;
  std::vector<Message> messages;
};

class CaptureFixture : public WindowFixture {
 protected:
  static constexpr const char* kRealLensName = "/libTavrinLensReal.so";
  static constexpr const char* kNoBlocksConfig =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<cfg></cfg>\n";

  void SetUp() override {
    ASSERT_TRUE(InPrivateFolder());
    if (!InstallRecordingLens()) {
      // The real library is still mapped from an earlier test of this
      // process: the test runs again where nothing has loaded it yet.
      ASSERT_EQ(RunCurrentTestElsewhere(), 0);
      GTEST_SKIP() << "ran in a process of its own";
    }
    ResetWindowState();
    WriteConfig(kNoBlocksConfig);
    SetCameras("document");
  }
  void TearDown() override {
    WindowFixture::TearDown();
    dataSource.reset();
    WriteConfig(kNoBlocksConfig);
  }

  static bool InstallRecordingLens() {
    const std::string lens = ProgramFolder() + "/libTavrinLens.so";
    const std::string real = ProgramFolder() + kRealLensName;
    if (fs::exists(real)) return true;
    if (platform::LibraryIsLoaded(lens)) return false;
    std::error_code error;
    fs::rename(lens, real, error);
    if (error) return false;
    return fs::copy_file(TAVRIN_RECORDING_LENS, lens, error);
  }
  static int RunCurrentTestElsewhere() {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter =
        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    std::string error;
    const int pid = platform::SpawnProcess(platform::ProgramPath(), {filter},
                                           {"TAVRIN_TEST_PRIVATE_DIR="}, &error);
    if (pid < 0) return -1;
    int status = -1;
    if (!platform::WaitProcess(pid, 5 * 60 * 1000, &status)) {
      platform::KillProcess(pid);
      return -2;
    }
    return status;
  }

  static void WriteConfig(const std::string& text) {
    std::ofstream(ProgramFolder() + "/cfgInfo.xml", std::ios::binary | std::ios::trunc) << text;
  }
  // Before Start: the window attaches to a data source that records.
  void UseDataSource() {
    dataSource = std::make_unique<TestDataSource>();
    WriteConfig("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<cfg><Name>" +
                dataSource->windowReceives + "</Name><m_strImgExe>" + dataSource->windowSends +
                "</m_strImgExe></cfg>\n");
  }

  // The calls the window makes while it starts are not kept.
  bool Start(const ScanSettings& settings = ScanSettings{}) {
    const bool started = WindowFixture::Start(settings);
    if (window != nullptr) ClearCalls();
    return started;
  }

  template <class T>
  T* Get(int id) const {
    return qobject_cast<T*>(window->Control(id));
  }
  QComboBox* Combo(int id) const { return Get<QComboBox>(id); }
  QCheckBox* Check(int id) const { return Get<QCheckBox>(id); }
  void Choose(int id, int item) {
    Combo(id)->setCurrentIndex(item);
    emit Combo(id)->activated(item);
  }
  void Click(int id) { Get<QAbstractButton>(id)->click(); }
  void Press() { Click(kIdCaptureButton); }

  std::vector<std::string> Listed() const {
    std::vector<std::string> paths;
    for (const std::u16string& path : Probe().Twain().FileList())
      paths.push_back(platform::Utf16ToUtf8(path));
    return paths;
  }
  std::vector<std::string> WorkFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Probe().WorkFolder()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  int Shown() const { return window->Thumbnails()->ImageCount(); }
  // The strip's paths once its queued insertions have run.
  std::vector<std::string> ShownPaths() const {
    WaitFor([&] {
      return window->Thumbnails()->Paths().size() ==
             static_cast<size_t>(window->Thumbnails()->ImageCount());
    });
    std::vector<std::string> paths;
    for (const QString& path : window->Thumbnails()->Paths()) paths.push_back(path.toStdString());
    return paths;
  }

  // The calls made since Start or the last ClearCalls, optionally of one
  // export only.
  static std::vector<LensCall> Calls(const std::string& name = {}) {
    std::vector<LensCall> all = ParseLensCalls(CallText());
    if (name.empty()) return all;
    std::vector<LensCall> some;
    for (LensCall& call : all)
      if (call.name == name) some.push_back(std::move(call));
    return some;
  }
  static void ClearCalls() {
    void* module = platform::LoadLibraryFile(ProgramFolder() + "/libTavrinLens.so");
    ASSERT_NE(module, nullptr);
    auto clear =
        reinterpret_cast<void (*)()>(platform::FindLibrarySymbol(module, "tavrinTestClearCalls"));
    ASSERT_NE(clear, nullptr) << "the recording camera library is not in place";
    clear();
    platform::FreeLibraryHandle(module);
  }
  static std::string CallText() {
    void* module = platform::LoadLibraryFile(ProgramFolder() + "/libTavrinLens.so");
    if (module == nullptr) return {};
    auto calls = reinterpret_cast<const char* (*)()>(
        platform::FindLibrarySymbol(module, "tavrinTestRecordedCalls"));
    std::string text = calls != nullptr ? calls() : "";
    platform::FreeLibraryHandle(module);
    return text;
  }

  std::unique_ptr<TestDataSource> dataSource;
};

}  // namespace tavrin::test
