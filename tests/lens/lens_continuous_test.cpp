// Continuous capture, the device-change callback, stopping while a callback
// runs, and the library's threads and files over many cycles.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "tests/lens/lens_test_support.h"

namespace tavrin::lens_test {
namespace {

using namespace std::chrono_literals;

Recorder& Progress() {
  static Recorder recorder;
  return recorder;
}
bool RecordProgress(int value) {
  Progress().Add(value);
  return true;
}

Recorder& DeviceChanges() {
  static Recorder recorder;
  return recorder;
}
bool RecordDeviceChange(int value) {
  DeviceChanges().Add(value);
  return true;
}

TEST(LensContinuous, TimedModeCountsOnceASecondAndStartsAgain) {
  UseVirtualCameras("document?sizes=320x240");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  ASSERT_EQ(loaded.lens.camOpenDev(0, 0, 320, 240), 0);
  Progress().Clear();
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(loaded.lens.camStartAutoCapture(0, 1, 5, &RecordProgress), 0);
  ASSERT_TRUE(Progress().WaitForCount(7, 15s));
  const auto elapsed = std::chrono::steady_clock::now() - started;
  loaded.lens.camStopAutoCapture(0);
  const auto values = Progress().Values();
  ASSERT_GE(values.size(), 7U);
  EXPECT_EQ(std::vector<int>(values.begin(), values.begin() + 7),
            (std::vector<int>{1, 2, 3, 4, 5, 1, 2}));
  EXPECT_GE(elapsed, 6900ms);  // once a second, not faster
  // Nothing comes after the stop.
  const size_t stopped = Progress().Values().size();
  std::this_thread::sleep_for(1300ms);
  EXPECT_EQ(Progress().Values().size(), stopped);
}

TEST(LensContinuous, AutomaticModeFiresOnceAfterANewPageAndNotWhileStill) {
  UseVirtualCameras("document?sizes=320x240&turn=3");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  ASSERT_EQ(loaded.lens.camOpenDev(0, 0, 320, 240), 0);
  Progress().Clear();
  ASSERT_EQ(loaded.lens.camStartAutoCapture(0, 0, 1, &RecordProgress), 0);
  // The first page lies still for three seconds: no shot.
  std::this_thread::sleep_for(2700ms);
  EXPECT_TRUE(Progress().Values().empty());
  // The page laid down at 3 s lies still for a second by about 4.2 s.
  ASSERT_TRUE(Progress().WaitForCount(1, 3s));
  std::this_thread::sleep_for(800ms);  // still before the next page at 6 s
  loaded.lens.camStopAutoCapture(0);
  EXPECT_EQ(Progress().Values(), std::vector<int>{1});
}

TEST(LensContinuous, AutomaticModeStartsTheCountAgainWhenTheNextPageComesTooSoon) {
  UseVirtualCameras("document?sizes=320x240&turn=3");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  ASSERT_EQ(loaded.lens.camOpenDev(0, 0, 320, 240), 0);
  Progress().Clear();
  ASSERT_EQ(loaded.lens.camStartAutoCapture(0, 0, 5, &RecordProgress), 0);
  // A page every three seconds never lies still for five: the count rises
  // to 2, drops to 0 with the next page, and no shot is taken.
  ASSERT_TRUE(Progress().WaitForCount(4, 12s));
  loaded.lens.camStopAutoCapture(0);
  const auto values = Progress().Values();
  EXPECT_EQ(std::vector<int>(values.begin(), values.begin() + 4), (std::vector<int>{1, 2, 0, 1}));
  EXPECT_EQ(std::count(values.begin(), values.end(), 5), 0);
}

std::atomic<bool> slowCallbackRunning{false};
std::atomic<bool> slowCallbackDone{false};
bool SlowCallback(int) {
  slowCallbackRunning = true;
  std::this_thread::sleep_for(1500ms);
  slowCallbackDone = true;
  return true;
}

TEST(LensContinuous, StopFromAnotherThreadWaitsForASlowCallback) {
  UseVirtualCameras("webcam");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  ASSERT_EQ(loaded.lens.camOpenDev(0, 0, 320, 240), 0);
  slowCallbackRunning = false;
  slowCallbackDone = false;
  ASSERT_EQ(loaded.lens.camStartAutoCapture(0, 1, 5, &SlowCallback), 0);
  while (!slowCallbackRunning) std::this_thread::sleep_for(10ms);
  std::atomic<bool> stopReturned{false};
  std::thread stopper([&] {
    loaded.lens.camStopAutoCapture(0);
    stopReturned = true;
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(stopReturned) << "stop must wait for the running callback";
  stopper.join();
  EXPECT_TRUE(slowCallbackDone) << "stop returned while the callback was still running";
}

CameraLibrary* stopInsideLens = nullptr;
std::atomic<int> stopInsideCalls{0};
bool StopFromInside(int) {
  ++stopInsideCalls;
  stopInsideLens->camStopAutoCapture(0);
  // Uninitialising from here would wait for this very thread.
  EXPECT_EQ(stopInsideLens->camUnInitCameraLib(), 11);
  return true;
}

TEST(LensContinuous, StopFromInsideTheCallbackEndsTheRun) {
  UseVirtualCameras("webcam");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  ASSERT_EQ(loaded.lens.camOpenDev(0, 0, 320, 240), 0);
  stopInsideLens = &loaded.lens;
  stopInsideCalls = 0;
  ASSERT_EQ(loaded.lens.camStartAutoCapture(0, 1, 2, &StopFromInside), 0);
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(stopInsideCalls, 1);
}

TEST(LensContinuous, RefusesBadArguments) {
  UseVirtualCameras("webcam");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  ASSERT_EQ(loaded.lens.camOpenDev(0, 0, 320, 240), 0);
  EXPECT_EQ(loaded.lens.camStartAutoCapture(0, 1, 5, nullptr), 4);
  EXPECT_EQ(loaded.lens.camStartAutoCapture(0, 1, 0, &RecordProgress), 4);
  EXPECT_EQ(loaded.lens.camStopAutoCapture(0), 0);  // nothing running is fine
}

TEST(LensDeviceChange, RewritingTheListFileFiresTheCallbackBothWays) {
  ScratchFolder scratch;
  const std::string listFile = scratch.File("cameras.txt");
  WriteText(listFile, "document?sizes=320x240\nwebcam\n");
  UseVirtualCameras("", listFile);
  DeviceChanges().Clear();
  CameraLibrary lens;
  ASSERT_TRUE(lens.LoadFromFolder(ProgramFolder()));
  lens.camRegCallBackDeviceChange(&RecordDeviceChange);
  ASSERT_EQ(lens.camInitCameraLib(), 0);
  int count = 0;
  lens.camGetDevCount(&count);
  ASSERT_EQ(count, 2);

  WriteText(listFile, "document?sizes=320x240\n");
  ASSERT_TRUE(DeviceChanges().WaitForCount(1, 3s));
  lens.camStopCameraLib();
  lens.camUpdateCameraLib();
  lens.camGetDevCount(&count);
  EXPECT_EQ(count, 1);

  WriteText(listFile, "document?sizes=320x240\nwebcam\n");
  ASSERT_TRUE(DeviceChanges().WaitForCount(2, 3s));
  lens.camUpdateCameraLib();
  lens.camGetDevCount(&count);
  EXPECT_EQ(count, 2);
  EXPECT_STREQ(lens.camGetDevName(1), "Virtual Webcam");

  // After uninitialising, a change reaches nobody.
  ASSERT_EQ(lens.camUnInitCameraLib(), 0);
  const size_t before = DeviceChanges().Values().size();
  WriteText(listFile, "webcam\n");
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(DeviceChanges().Values().size(), before);
  lens.UnloadModule();
}

TEST(LensLife, ThousandOpenCaptureCloseCyclesLeakNoThreadsOrFiles) {
  ScratchFolder scratch;
  UseVirtualCameras("document?sizes=64x48");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  auto& lens = loaded.lens;
  // One cycle first, so lazily made things (thread pools, plugins) exist.
  ASSERT_EQ(lens.camOpenDev(0, 0, 64, 48), 0);
  char warm[1024] = {};
  std::strcpy(warm, scratch.File("warm.bmp").c_str());
  ASSERT_EQ(lens.camCaptureImageFile(0, warm), 0);
  lens.camCloseDev(0);
  const int threads = CountThreads();
  const int files = CountOpenFiles();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(lens.camOpenDev(0, 0, 64, 48), 0) << i;
    char path[1024] = {};
    std::strcpy(path, scratch.File("c.bmp").c_str());
    ASSERT_EQ(lens.camCaptureImageFile(0, path), 0) << i;
    ASSERT_EQ(lens.camCloseDev(0), 0);
  }
  EXPECT_EQ(CountThreads(), threads);
  EXPECT_EQ(CountOpenFiles(), files);
  EXPECT_EQ(ReadFileFacts(scratch.File("c.bmp")).width, 64);
}

TEST(LensLife, LoadInitUninitUnloadHundredTimes) {
  ScratchFolder scratch;
  const std::string listFile = scratch.File("cameras.txt");
  WriteText(listFile, "webcam\n");
  UseVirtualCameras("document?sizes=64x48", listFile);
  const int threads = CountThreads();
  for (int i = 0; i < 100; ++i) {
    CameraLibrary lens;
    ASSERT_TRUE(lens.LoadFromFolder(ProgramFolder())) << lens.LastError();
    ASSERT_EQ(lens.camInitCameraLib(), 0);
    if (i % 10 == 0) {
      ASSERT_EQ(lens.camOpenDev(0, 0, 64, 48), 0);
      ASSERT_EQ(lens.camStartAutoCapture(0, 0, 5, &RecordProgress), 0);
    }
    ASSERT_EQ(lens.camUnInitCameraLib(), 0);
    ASSERT_TRUE(lens.UnloadModule());
  }
  EXPECT_EQ(CountThreads(), threads);
}

}  // namespace
}  // namespace tavrin::lens_test
