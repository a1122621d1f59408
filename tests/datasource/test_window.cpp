// The stand-in scan window of the data source tests, copied into a private
// program folder as "TavrinDesk". It drives a real CTwainControl, records
// every interface call in a log, and on a capture writes a small real BMP
// into the working folder and hands it off as the scan window does.
//
// Environment: TAVRIN_TEST_WINDOW_LOG (log path), TAVRIN_TEST_WINDOW_CAPTURES
// (captures the "person" makes in modes 0 and 2 before closing),
// TAVRIN_TEST_WINDOW_STAY=1 (the person never closes), TAVRIN_TEST_WINDOW_DIE_AT
// (the process dies at that capture), TAVRIN_TEST_WINDOW_SEND_EACH=1,
// TAVRIN_TEST_WINDOW_HOSTILE=1 (repeats each file and sends a broken list),
// TAVRIN_TEST_WINDOW_WAIT_FOR (the person starts only once that file exists).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "dslink/twain_control.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/tick_count.h"

namespace {

using namespace tavrin;

int EnvironmentInt(const char* name) {
  return std::atoi(platform::Environment(name).c_str());
}

void PutLittleEndian(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A 4 x 4 24-bit BMP whose pixels carry the capture number.
std::string SmallBitmap(int number) {
  constexpr int kSide = 4;
  constexpr int kPixelBytes = kSide * kSide * 3;
  std::string out = "BM";
  PutLittleEndian(out, 54 + kPixelBytes, 4);
  PutLittleEndian(out, 0, 4);
  PutLittleEndian(out, 54, 4);
  PutLittleEndian(out, 40, 4);
  PutLittleEndian(out, kSide, 4);
  PutLittleEndian(out, kSide, 4);
  PutLittleEndian(out, 1, 2);
  PutLittleEndian(out, 24, 2);
  PutLittleEndian(out, 0, 4);
  PutLittleEndian(out, kPixelBytes, 4);
  PutLittleEndian(out, 3780, 4);
  PutLittleEndian(out, 3780, 4);
  PutLittleEndian(out, 0, 4);
  PutLittleEndian(out, 0, 4);
  for (int i = 0; i < kPixelBytes; ++i) out.push_back(static_cast<char>((number * 37 + i) & 0xFF));
  return out;
}

class TestWindow : public ITwainShowWindow {
 public:
  explicit TestWindow(CTwainControl& twain) : twain_(twain) {
    workFolder_ = platform::PrivateTempFolder() + "Tavrin";
    platform::CreateFolders(workFolder_);
  }

  void Log(const std::string& line) {
    std::lock_guard lock(logMutex_);
    const std::string path = platform::Environment("TAVRIN_TEST_WINDOW_LOG");
    if (path.empty()) return;
    std::ofstream(path, std::ios::app) << line << "\n";
  }

  int Idle() override {
    Log("Idle");
    return 1;
  }
  int ShowTwainWindow(int show) override {
    Log("ShowTwainWindow " + std::to_string(show));
    const int mode = twain_.m_nShowMode;
    if (mode == 0 || mode == 2) {
      std::lock_guard lock(stateMutex_);
      personAtWindow_ = true;
      changed_.notify_all();
    }
    return 1;
  }
  int CaptureImage() override {
    std::lock_guard sendLock(sendLock_);
    const int number = ++captures_;
    if (number == EnvironmentInt("TAVRIN_TEST_WINDOW_DIE_AT")) {
      Log("die " + std::to_string(platform::TickCount()));
      std::_Exit(70);
    }
    const std::string path = workFolder_ + "/1_" + std::to_string(platform::TickCount()) + "_" +
                             std::to_string(number) + ".bmp";
    if (!platform::ReplaceFileAtomically(path, SmallBitmap(number))) {
      Log("capture failed");
      return 1;
    }
    Log("capture " + path);
    // The scan window's hand-off.
    const std::u16string wide = platform::Utf8ToUtf16(path);
    twain_.HandOff(wide);
    if (platform::Environment("TAVRIN_TEST_WINDOW_HOSTILE") == "1") {
      // A broken window: the same file again, and a list that is no XML.
      twain_.Channel().Send(1, kMsgImage, wide);
      const std::string list = workFolder_ + "/FileList.xml";
      platform::ReplaceFileAtomically(list, "<FileList><FileName>" + path + "</FileList");
      twain_.Channel().Send(1, kMsgFileList, platform::Utf8ToUtf16(list));
    }
    return 1;
  }
  int LockMerge(int flag) override {
    Log("LockMerge " + std::to_string(flag));
    return 1;
  }
  int CloseTwainWindow() override {
    Log("CloseTwainWindow");
    std::lock_guard lock(stateMutex_);
    closeRequested_ = true;
    changed_.notify_all();
    return 1;
  }
  int ApplyShowModel() override {
    twain_.ReadShowModel();
    const int mode = twain_.m_nShowMode;
    Log("ApplyShowModel mode=" + std::to_string(mode) + " dpi=" + std::to_string(twain_.m_nDPI) +
        " color=" + std::to_string(twain_.m_nColorType) +
        " rotate=" + std::to_string(twain_.m_nRotateMode));
    if (mode == 0 || mode == 2)
      ShowTwainWindow(1);
    else
      Idle();
    return 1;
  }

  // The window's modal run: until the data source closes it, or the person
  // has made their captures and pressed Exit.
  void Run() {
    std::unique_lock lock(stateMutex_);
    changed_.wait(lock, [&] { return closeRequested_ || personAtWindow_; });
    if (!closeRequested_) {
      lock.unlock();
      const std::string waitFor = platform::Environment("TAVRIN_TEST_WINDOW_WAIT_FOR");
      if (!waitFor.empty()) Log("waiting");
      while (!waitFor.empty() && !platform::PathExists(waitFor))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      const int captures = EnvironmentInt("TAVRIN_TEST_WINDOW_CAPTURES");
      for (int i = 0; i < captures; ++i) CaptureImage();
      lock.lock();
      if (platform::Environment("TAVRIN_TEST_WINDOW_STAY") == "1")
        changed_.wait(lock, [&] { return closeRequested_; });
    }
  }

 private:
  CTwainControl& twain_;
  std::string workFolder_;
  std::mutex logMutex_;
  std::mutex sendLock_;
  std::mutex stateMutex_;
  std::condition_variable changed_;
  bool personAtWindow_ = false;
  bool closeRequested_ = false;
  int captures_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  UseCfgInfoFromArguments(argc, argv);
  CTwainControl twain;
  TestWindow window(twain);
  if (platform::Environment("TAVRIN_TEST_WINDOW_SEND_EACH") == "1") twain.SetSendEachImage(true);
  if (twain.Attach(&window) == 0) {
    window.Log("attach failed");
    return 2;
  }
  window.Log("attached mode=" + std::to_string(twain.m_nShowMode));
  window.Run();
  twain.Finish();
  // No message may reach the window once it is gone.
  twain.Channel().Close();
  window.Log("finished");
  return 0;
}
