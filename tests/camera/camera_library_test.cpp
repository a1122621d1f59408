#include "camera/camera_library.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dynamic_library.h"
#include "platform/paths.h"
#include "test_lens_record.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;
constexpr int kMissing = CameraLibrary::kMissingExport;

std::string LensFolder(const char* copy) {
  return platform::ProgramFolder() + "/testlens-" + copy;
}
std::string LensPath(const char* copy) {
  return LensFolder(copy) + "/libTavrinLens.so";
}

const testlens::Call& LastCall(CameraLibrary& library) {
  auto read = reinterpret_cast<TestLensLastCall>(library.FindEntry("testlensLastCall"));
  EXPECT_NE(read, nullptr);
  static const testlens::Call kNone;
  return read ? *read() : kNone;
}
int CallCount(CameraLibrary& library, const char* name) {
  auto read = reinterpret_cast<TestLensCallCount>(library.FindEntry("testlensCallCount"));
  return read ? read(name) : -1;
}
std::string LensText(CameraLibrary& library, const char* entry) {
  auto read = reinterpret_cast<TestLensText>(library.FindEntry(entry));
  return read ? read() : "(missing)";
}

std::atomic<int> callbackValue{0};
bool RecordingCallback(int value) {
  callbackValue = value;
  return true;
}

// Every call operation with harmless arguments, for the cases where only
// the result matters.
struct AnyCall {
  const char* name;
  std::function<int(CameraLibrary&)> call;
};
std::vector<AnyCall> EveryIntCall() {
  static int out1 = 0, out2 = 0, out3 = 0;
  static char path[kTavrinLensPathBuffer] = "/tmp/x.jpg";
  return {
      {"camInitCameraLib", [](CameraLibrary& l) { return l.camInitCameraLib(); }},
      {"camUnInitCameraLib", [](CameraLibrary& l) { return l.camUnInitCameraLib(); }},
      {"camStopCameraLib", [](CameraLibrary& l) { return l.camStopCameraLib(); }},
      {"camUpdateCameraLib", [](CameraLibrary& l) { return l.camUpdateCameraLib(); }},
      {"camRegCallBackDeviceChange",
       [](CameraLibrary& l) { return l.camRegCallBackDeviceChange(nullptr); }},
      {"camCreateDirectory", [](CameraLibrary& l) { return l.camCreateDirectory("/tmp"); }},
      {"camGetDevCount", [](CameraLibrary& l) { return l.camGetDevCount(&out1); }},
      {"camOpenDev", [](CameraLibrary& l) { return l.camOpenDev(0, 0, 640, 480); }},
      {"camCloseDev", [](CameraLibrary& l) { return l.camCloseDev(0); }},
      {"camGetMediaTypeCount", [](CameraLibrary& l) { return l.camGetMediaTypeCount(0, &out1); }},
      {"camGetResolutionCount",
       [](CameraLibrary& l) { return l.camGetResolutionCount(0, 0, &out1); }},
      {"camGetResolution",
       [](CameraLibrary& l) { return l.camGetResolution(0, 0, 0, &out1, &out2); }},
      {"camSetMediaType", [](CameraLibrary& l) { return l.camSetMediaType(0, 0); }},
      {"camSetResolution", [](CameraLibrary& l) { return l.camSetResolution(0, 640, 480); }},
      {"camGetCurResolution",
       [](CameraLibrary& l) { return l.camGetCurResolution(0, &out1, &out2, &out3); }},
      {"camSetPreviewWindow", [](CameraLibrary& l) { return l.camSetPreviewWindow(0, nullptr); }},
      {"camZooIn", [](CameraLibrary& l) { return l.camZooIn(0); }},
      {"camZoomOut", [](CameraLibrary& l) { return l.camZoomOut(0); }},
      {"camOptimalPreview", [](CameraLibrary& l) { return l.camOptimalPreview(0); }},
      {"camOriginalPreview", [](CameraLibrary& l) { return l.camOriginalPreview(0); }},
      {"camShowImageSettingWindow",
       [](CameraLibrary& l) { return l.camShowImageSettingWindow(0); }},
      {"camShowDevSettingWindow", [](CameraLibrary& l) { return l.camShowDevSettingWindow(0); }},
      {"camSetImageAutoCrop", [](CameraLibrary& l) { return l.camSetImageAutoCrop(0, 1); }},
      {"camSetImageRotateMode", [](CameraLibrary& l) { return l.camSetImageRotateMode(0, 1); }},
      {"camSetImageCusCropRect",
       [](CameraLibrary& l) { return l.camSetImageCusCropRect(0, 0, 0, 100, 100); }},
      {"camSetImageAdjust", [](CameraLibrary& l) { return l.camSetImageAdjust(0, 3); }},
      {"camSetImageDPI", [](CameraLibrary& l) { return l.camSetImageDPI(0, 300, 300); }},
      {"camGetImageDPI", [](CameraLibrary& l) { return l.camGetImageDPI(0, &out1, &out2); }},
      {"camSetImageWaterMark",
       [](CameraLibrary& l) {
         return l.camSetImageWaterMark(0, "t", 0, 12, "Arial", 0, 0, 0, 0.f, 0.f, 0, 0, 0, 1);
       }},
      {"camCaptureImageFile",
       [](CameraLibrary& l) {
         std::strcpy(path, "/tmp/x.jpg");
         return l.camCaptureImageFile(0, path);
       }},
      {"camCombineImage",
       [](CameraLibrary& l) { return l.camCombineImage("a", "b", "c", 0, 0, 0, 1, 1); }},
      {"camStartAutoCapture",
       [](CameraLibrary& l) { return l.camStartAutoCapture(0, 1, 3, nullptr); }},
      {"camStopAutoCapture", [](CameraLibrary& l) { return l.camStopAutoCapture(0); }},
  };
}

TEST(CameraLibraryTest, EveryCallBeforeLoadReportsMissingAndWritesNothing) {
  CameraLibrary library;
  EXPECT_FALSE(library.IsLoaded());
  const auto calls = EveryIntCall();
  EXPECT_EQ(calls.size(), 33u);  // with the two text functions, all 35
  for (const AnyCall& c : calls) EXPECT_EQ(c.call(library), kMissing) << c.name;
  EXPECT_EQ(library.camGetDevName(0), nullptr);
  EXPECT_EQ(library.camGetMediaTypeName(0, 0), nullptr);

  int count = -7;
  EXPECT_EQ(library.camGetDevCount(&count), kMissing);
  EXPECT_EQ(count, -7);
  EXPECT_EQ(library.FindEntry("camInitCameraLib"), nullptr);
  EXPECT_EQ(library.SymbolLookups(), 0u);
  EXPECT_TRUE(library.UnloadModule()) << "nothing to unload is fine";
}

TEST(CameraLibraryTest, FailedLoadSaysSoAndLeavesEverythingMissing) {
  CameraLibrary library;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(library.LoadModule(LensFolder("a") + "/no-such-library.so"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "LoadLibrary failed\n");
  EXPECT_FALSE(library.IsLoaded());
  EXPECT_NE(library.LastError().find("no-such-library.so"), std::string::npos);
  EXPECT_EQ(library.camInitCameraLib(), kMissing);
  EXPECT_EQ(library.camGetDevName(0), nullptr);
}

TEST(CameraLibraryTest, MissingExportIsLookedUpOnEveryCallFoundOneOnce) {
  CameraLibrary library;
  ASSERT_TRUE(library.LoadModule(LensPath("a"))) << library.LastError();
  const size_t start = library.SymbolLookups();
  for (int press = 1; press <= 3; ++press) {
    EXPECT_EQ(library.camZoomOut(0), kMissing);
    EXPECT_EQ(library.SymbolLookups(), start + press);
  }
  for (int press = 0; press < 3; ++press)
    EXPECT_EQ(library.camZooIn(2), testlens::ResultFor("camZooIn"));
  EXPECT_EQ(library.SymbolLookups(), start + 4);
  EXPECT_EQ(CallCount(library, "camZooIn"), 3);
  EXPECT_EQ(CallCount(library, "camZoomOut"), 0);
}

TEST(CameraLibraryTest, SecondLoadFreesFirstModuleAndEmptiesCache) {
  CameraLibrary library;
  ASSERT_TRUE(library.LoadModule(LensPath("a")));
  EXPECT_EQ(LensText(library, "testlensName"), "a");
  library.camInitCameraLib();
  library.camInitCameraLib();
  EXPECT_EQ(CallCount(library, "camInitCameraLib"), 2);

  ASSERT_TRUE(library.LoadModule(LensPath("b")));
  EXPECT_FALSE(platform::LibraryIsLoaded(LensPath("a"))) << "the first module was not freed";
  EXPECT_EQ(LensText(library, "testlensName"), "b");
  const size_t before = library.SymbolLookups();
  library.camInitCameraLib();
  EXPECT_EQ(library.SymbolLookups(), before + 1) << "an entry of the old module was reused";
  EXPECT_EQ(CallCount(library, "camInitCameraLib"), 1);

  // Loading the same file again starts it afresh, which only happens when
  // the old copy was freed before the new load.
  ASSERT_TRUE(library.LoadModule(LensPath("b")));
  EXPECT_EQ(CallCount(library, "camInitCameraLib"), 0);
}

TEST(CameraLibraryTest, UnloadFreesModuleAndCallsReportMissingAgain) {
  CameraLibrary library;
  ASSERT_TRUE(library.LoadModule(LensPath("a")));
  EXPECT_EQ(library.camCloseDev(0), testlens::ResultFor("camCloseDev"));
  EXPECT_TRUE(library.UnloadModule());
  EXPECT_FALSE(library.IsLoaded());
  EXPECT_FALSE(platform::LibraryIsLoaded(LensPath("a")));
  EXPECT_EQ(library.camCloseDev(0), kMissing);
  EXPECT_EQ(library.camGetDevName(0), nullptr);
  EXPECT_TRUE(library.UnloadModule());
}

TEST(CameraLibraryTest, DestructionFreesModule) {
  {
    CameraLibrary library;
    ASSERT_TRUE(library.LoadModule(LensPath("a")));
  }
  EXPECT_FALSE(platform::LibraryIsLoaded(LensPath("a")));
}

TEST(CameraLibraryTest, LoadRunsInLibraryFolderAndRestoresWorkingDirectory) {
  const std::string before = platform::CurrentDirectory();
  ASSERT_FALSE(before.empty());
  {
    CameraLibrary library;
    ASSERT_TRUE(library.LoadFromFolder(LensFolder("a")));
    EXPECT_EQ(platform::CurrentDirectory(), before);
    EXPECT_EQ(fs::canonical(LensText(library, "testlensLoadDirectory")),
              fs::canonical(LensFolder("a")));
  }
  {
    CameraLibrary library;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(library.LoadFromFolder(platform::ProgramFolder() + "/no-such-folder"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "LoadLibrary failed\n");
    EXPECT_EQ(platform::CurrentDirectory(), before);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(library.LoadFromFolder(""));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(platform::CurrentDirectory(), before);
  }
  {
    // Whether or not the real library lies beside this test, the working
    // directory comes back.
    CameraLibrary library;
    testing::internal::CaptureStdout();
    const bool loaded = library.LoadFromProgramFolder();
    const std::string printed = testing::internal::GetCapturedStdout();
    if (!fs::exists(platform::ProgramFolder() + "/libTavrinLens.so")) {
      EXPECT_FALSE(loaded);
    }
    EXPECT_EQ(printed, loaded ? "" : "LoadLibrary failed\n");
    EXPECT_EQ(platform::CurrentDirectory(), before);
  }
}

class CameraLibraryCallTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library.LoadModule(LensPath("a"))) << library.LastError(); }
  // The last call was name with exactly these ints.
  void ExpectInts(const char* name, std::vector<int> ints) {
    const testlens::Call& call = LastCall(library);
    EXPECT_STREQ(call.name, name);
    EXPECT_EQ(std::vector<int>(call.ints, call.ints + call.intCount), ints) << name;
  }
  CameraLibrary library;
};

TEST_F(CameraLibraryCallTest, IntegerArgumentsAndResultsPassThrough) {
  struct Case {
    const char* name;
    std::function<int()> call;
    std::vector<int> ints;
  };
  const Case cases[] = {
      {"camOpenDev", [&] { return library.camOpenDev(2, 1, 2592, 1944); }, {2, 1, 2592, 1944}},
      {"camCloseDev", [&] { return library.camCloseDev(5); }, {5}},
      {"camSetMediaType", [&] { return library.camSetMediaType(1, 3); }, {1, 3}},
      {"camSetResolution",
       [&] { return library.camSetResolution(1, 1600, 1200); },
       {1, 1600, 1200}},
      {"camZooIn", [&] { return library.camZooIn(4); }, {4}},
      {"camOptimalPreview", [&] { return library.camOptimalPreview(6); }, {6}},
      {"camOriginalPreview", [&] { return library.camOriginalPreview(7); }, {7}},
      {"camShowImageSettingWindow", [&] { return library.camShowImageSettingWindow(8); }, {8}},
      {"camShowDevSettingWindow", [&] { return library.camShowDevSettingWindow(9); }, {9}},
      {"camSetImageAutoCrop", [&] { return library.camSetImageAutoCrop(1, 4); }, {1, 4}},
      {"camSetImageRotateMode", [&] { return library.camSetImageRotateMode(1, 3); }, {1, 3}},
      {"camSetImageCusCropRect",
       [&] { return library.camSetImageCusCropRect(1, 10, 20, 90, 80); },
       {1, 10, 20, 90, 80}},
      {"camSetImageAdjust", [&] { return library.camSetImageAdjust(0, 4); }, {0, 4}},
      {"camSetImageDPI", [&] { return library.camSetImageDPI(3, 300, 200); }, {3, 300, 200}},
      {"camStopAutoCapture", [&] { return library.camStopAutoCapture(-1); }, {-1}},
      {"camInitCameraLib", [&] { return library.camInitCameraLib(); }, {}},
      {"camUnInitCameraLib", [&] { return library.camUnInitCameraLib(); }, {}},
      {"camStopCameraLib", [&] { return library.camStopCameraLib(); }, {}},
      {"camUpdateCameraLib", [&] { return library.camUpdateCameraLib(); }, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), testlens::ResultFor(c.name)) << c.name;
    ExpectInts(c.name, c.ints);
  }
}

TEST_F(CameraLibraryCallTest, WrittenValuesComeBack) {
  int count = -1;
  EXPECT_EQ(library.camGetDevCount(&count), testlens::ResultFor("camGetDevCount"));
  EXPECT_EQ(count, 3);
  EXPECT_EQ(library.camGetMediaTypeCount(4, &count), testlens::ResultFor("camGetMediaTypeCount"));
  EXPECT_EQ(count, 6);
  EXPECT_EQ(library.camGetResolutionCount(2, 1, &count),
            testlens::ResultFor("camGetResolutionCount"));
  EXPECT_EQ(count, 21);
  int width = 0, height = 0, mediaType = 7;
  EXPECT_EQ(library.camGetResolution(1, 2, 3, &width, &height),
            testlens::ResultFor("camGetResolution"));
  ExpectInts("camGetResolution", {1, 2, 3});
  EXPECT_EQ(width, 2560);
  EXPECT_EQ(height, 1922);
  EXPECT_EQ(library.camGetCurResolution(0, &mediaType, &width, &height),
            testlens::ResultFor("camGetCurResolution"));
  EXPECT_EQ(mediaType, -1);
  EXPECT_EQ(width, 2592);
  EXPECT_EQ(height, 1944);
  int dpiX = 0, dpiY = 0;
  EXPECT_EQ(library.camGetImageDPI(5, &dpiX, &dpiY), testlens::ResultFor("camGetImageDPI"));
  EXPECT_EQ(dpiX, 205);
  EXPECT_EQ(dpiY, 305);
}

TEST_F(CameraLibraryCallTest, TextsPointersAndFloatsPassThrough) {
  EXPECT_STREQ(library.camGetDevName(2), "Camera \xE6\x89\x93 2");
  EXPECT_STREQ(library.camGetMediaTypeName(1, 0), "MJPG");
  ExpectInts("camGetMediaTypeName", {1, 0});

  EXPECT_EQ(library.camSetImageWaterMark(1, "2026-12-08 \xE6\x89\x93", 8, 36, "Liberation Sans", 1,
                                         0, 1, 12.345f, 37.5f, 255, 128, 1, 1),
            testlens::ResultFor("camSetImageWaterMark"));
  const testlens::Call& mark = LastCall(library);
  ExpectInts("camSetImageWaterMark", {1, 8, 36, 1, 0, 1, 255, 128, 1, 1});
  EXPECT_STREQ(mark.texts[0], "2026-12-08 \xE6\x89\x93");
  EXPECT_STREQ(mark.texts[1], "Liberation Sans");
  EXPECT_EQ(mark.floats[0], 12.345f);
  EXPECT_EQ(mark.floats[1], 37.5f);

  int host = 0;
  EXPECT_EQ(library.camSetPreviewWindow(3, &host), testlens::ResultFor("camSetPreviewWindow"));
  EXPECT_EQ(LastCall(library).pointer, &host);
  ExpectInts("camSetPreviewWindow", {3});

  EXPECT_EQ(library.camCreateDirectory("/tmp/tavrin-0/Tavrin"),
            testlens::ResultFor("camCreateDirectory"));
  EXPECT_STREQ(LastCall(library).texts[0], "/tmp/tavrin-0/Tavrin");

  EXPECT_EQ(library.camCombineImage("/w/1.jpg", "/w/2.jpg", "/w/3.jpg", 5, 10, 20, 300, 400),
            testlens::ResultFor("camCombineImage"));
  const testlens::Call& combine = LastCall(library);
  ExpectInts("camCombineImage", {5, 10, 20, 300, 400});
  EXPECT_STREQ(combine.texts[0], "/w/1.jpg");
  EXPECT_STREQ(combine.texts[1], "/w/2.jpg");
  EXPECT_STREQ(combine.texts[2], "/w/3.jpg");
}

TEST_F(CameraLibraryCallTest, CaptureBufferIsRewrittenInPlace) {
  char path[kTavrinLensPathBuffer] = "/tmp/tavrin-0/Tavrin/1_123.jpg";
  EXPECT_EQ(library.camCaptureImageFile(1, path), testlens::ResultFor("camCaptureImageFile"));
  ExpectInts("camCaptureImageFile", {1});
  EXPECT_STREQ(LastCall(library).texts[0], "/tmp/tavrin-0/Tavrin/1_123.jpg");
  EXPECT_STREQ(path, "/tmp/tavrin-0/Tavrin/1_123.jpg;/tmp/tavrin-0/Tavrin/1_123_2.jpg");
}

TEST_F(CameraLibraryCallTest, CallbacksReachTheLibraryAndAreCalled) {
  callbackValue = 0;
  EXPECT_EQ(library.camRegCallBackDeviceChange(&RecordingCallback),
            testlens::ResultFor("camRegCallBackDeviceChange"));
  EXPECT_EQ(LastCall(library).pointer, reinterpret_cast<const void*>(&RecordingCallback));
  EXPECT_EQ(callbackValue, 11);
  EXPECT_EQ(library.camStartAutoCapture(2, 1, 5, &RecordingCallback),
            testlens::ResultFor("camStartAutoCapture"));
  ExpectInts("camStartAutoCapture", {2, 1, 5, 1});
  EXPECT_EQ(callbackValue, 5);
}

CameraLibrary* reentrantLibrary = nullptr;
std::atomic<int> reentrantCount{-1};
bool ReentrantCallback(int) {
  int count = 0;
  reentrantLibrary->camGetDevCount(&count);
  reentrantCount = count;
  return true;
}

TEST_F(CameraLibraryCallTest, CallbackMayCallBackIntoTheBinding) {
  reentrantLibrary = &library;
  reentrantCount = -1;
  library.camRegCallBackDeviceChange(&ReentrantCallback);
  EXPECT_EQ(reentrantCount, 3) << "a callback calling the binding must not deadlock";
  reentrantLibrary = nullptr;
}

TEST_F(CameraLibraryCallTest, ConcurrentCallersShareOneLookupPerExport) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 500;
  const size_t before = library.SymbolLookups();
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        int count = 0;
        if (library.camGetDevCount(&count) != testlens::ResultFor("camGetDevCount") || count != 3)
          ++wrong;
        if (library.camSetImageDPI(t, i, i) != testlens::ResultFor("camSetImageDPI")) ++wrong;
        if (library.camGetDevName(t) == nullptr) ++wrong;
        if (library.camZoomOut(t) != kMissing) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(CallCount(library, "camGetDevCount"), kThreads * kRounds);
  EXPECT_EQ(CallCount(library, "camSetImageDPI"), kThreads * kRounds);
  // Three found exports looked up once each, the missing one on every call,
  // plus the count reader itself.
  EXPECT_EQ(library.SymbolLookups() - before, 3u + kThreads * kRounds + 1u);
}

}  // namespace
}  // namespace tavrin
