// A camera library for the binding tests: every export but camZoomOut, each
// recording its name and arguments and returning testlens::ResultFor(name).
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "TavrinLens.h"
#include "test_lens_record.h"

#define TESTLENS_API extern "C" __attribute__((visibility("default")))

namespace {

std::mutex recordMutex;
testlens::Call lastCall;
std::map<std::string, int> callCounts;
char loadDirectory[4096] = {};

// Remembers where the library was loaded from, so that a test can see the
// working directory during the load.
__attribute__((constructor)) void RememberLoadDirectory() {
  if (getcwd(loadDirectory, sizeof loadDirectory) == nullptr) loadDirectory[0] = '\0';
}

struct Recorder {
  explicit Recorder(const char* name) { std::strncpy(call.name, name, sizeof call.name - 1); }
  Recorder& Int(int value) {
    if (call.intCount < 16) call.ints[call.intCount++] = value;
    return *this;
  }
  Recorder& Text(int slot, const char* text) {
    if (text) std::strncpy(call.texts[slot], text, sizeof call.texts[slot] - 1);
    return *this;
  }
  Recorder& Float(int slot, float value) {
    call.floats[slot] = value;
    return *this;
  }
  Recorder& Pointer(const void* value) {
    call.pointer = value;
    return *this;
  }
  int Done() {
    std::lock_guard lock(recordMutex);
    lastCall = call;
    ++callCounts[call.name];
    return testlens::ResultFor(call.name);
  }
  testlens::Call call;
};

}  // namespace

TESTLENS_API const testlens::Call* testlensLastCall() {
  return &lastCall;
}
TESTLENS_API int testlensCallCount(const char* name) {
  std::lock_guard lock(recordMutex);
  auto it = callCounts.find(name);
  return it == callCounts.end() ? 0 : it->second;
}
TESTLENS_API const char* testlensName() {
  return TESTLENS_NAME;
}
TESTLENS_API const char* testlensLoadDirectory() {
  return loadDirectory;
}

int camInitCameraLib() {
  return Recorder(__func__).Done();
}
int camUnInitCameraLib() {
  return Recorder(__func__).Done();
}
int camStopCameraLib() {
  return Recorder(__func__).Done();
}
int camUpdateCameraLib() {
  return Recorder(__func__).Done();
}
int camRegCallBackDeviceChange(TavrinLensCallback callback) {
  Recorder record(__func__);
  record.Pointer(reinterpret_cast<const void*>(callback));
  if (callback) record.Int(callback(11) ? 1 : 0);
  return record.Done();
}
int camCreateDirectory(const char* path) {
  return Recorder(__func__).Text(0, path).Done();
}

int camGetDevCount(int* count) {
  *count = 3;
  return Recorder(__func__).Pointer(count).Done();
}
const char* camGetDevName(int dev) {
  static thread_local char name[64];
  std::snprintf(name, sizeof name, "Camera \xE6\x89\x93 %d", dev);
  Recorder(__func__).Int(dev).Done();
  return name;
}
int camOpenDev(int dev, int mediaType, int width, int height) {
  return Recorder(__func__).Int(dev).Int(mediaType).Int(width).Int(height).Done();
}
int camCloseDev(int dev) {
  return Recorder(__func__).Int(dev).Done();
}
int camGetMediaTypeCount(int dev, int* count) {
  *count = dev + 2;
  return Recorder(__func__).Int(dev).Done();
}
const char* camGetMediaTypeName(int dev, int index) {
  Recorder(__func__).Int(dev).Int(index).Done();
  return index == 0 ? "MJPG" : "YUYV";
}
int camGetResolutionCount(int dev, int mediaType, int* count) {
  *count = 10 * dev + mediaType;
  return Recorder(__func__).Int(dev).Int(mediaType).Done();
}
int camGetResolution(int dev, int mediaType, int index, int* width, int* height) {
  *width = 640 * (index + 1);
  *height = 480 * (index + 1) + mediaType;
  return Recorder(__func__).Int(dev).Int(mediaType).Int(index).Done();
}
int camSetMediaType(int dev, int mediaType) {
  return Recorder(__func__).Int(dev).Int(mediaType).Done();
}
int camSetResolution(int dev, int width, int height) {
  return Recorder(__func__).Int(dev).Int(width).Int(height).Done();
}
int camGetCurResolution(int dev, int* mediaType, int* width, int* height) {
  *mediaType = dev - 1;
  *width = 2592;
  *height = 1944;
  return Recorder(__func__).Int(dev).Done();
}

int camSetPreviewWindow(int dev, void* window) {
  return Recorder(__func__).Int(dev).Pointer(window).Done();
}
int camZooIn(int dev) {
  return Recorder(__func__).Int(dev).Done();
}
int camOptimalPreview(int dev) {
  return Recorder(__func__).Int(dev).Done();
}
int camOriginalPreview(int dev) {
  return Recorder(__func__).Int(dev).Done();
}
int camShowImageSettingWindow(int dev) {
  return Recorder(__func__).Int(dev).Done();
}
int camShowDevSettingWindow(int dev) {
  return Recorder(__func__).Int(dev).Done();
}

int camSetImageAutoCrop(int dev, int crop) {
  return Recorder(__func__).Int(dev).Int(crop).Done();
}
int camSetImageRotateMode(int dev, int rotate) {
  return Recorder(__func__).Int(dev).Int(rotate).Done();
}
int camSetImageCusCropRect(int dev, int left, int top, int right, int bottom) {
  return Recorder(__func__).Int(dev).Int(left).Int(top).Int(right).Int(bottom).Done();
}
int camSetImageAdjust(int dev, int colorMode) {
  return Recorder(__func__).Int(dev).Int(colorMode).Done();
}
int camSetImageDPI(int dev, int dpiX, int dpiY) {
  return Recorder(__func__).Int(dev).Int(dpiX).Int(dpiY).Done();
}
int camGetImageDPI(int dev, int* dpiX, int* dpiY) {
  *dpiX = 200 + dev;
  *dpiY = 300 + dev;
  return Recorder(__func__).Int(dev).Done();
}
int camSetImageWaterMark(int dev, const char* text, int position, int fontSize,
                         const char* fontName, int italic, int underline, int bold, float angle,
                         float transparency, int red, int green, int blue, int enable) {
  return Recorder(__func__)
      .Int(dev)
      .Text(0, text)
      .Int(position)
      .Int(fontSize)
      .Text(1, fontName)
      .Int(italic)
      .Int(underline)
      .Int(bold)
      .Float(0, angle)
      .Float(1, transparency)
      .Int(red)
      .Int(green)
      .Int(blue)
      .Int(enable)
      .Done();
}

int camCaptureImageFile(int dev, char* path) {
  Recorder record(__func__);
  record.Int(dev).Text(0, path);
  // A multiple crop: the buffer comes back as "file1;file2".
  const std::string first = path;
  const std::string both = first + ";" + first.substr(0, first.rfind('.')) + "_2.jpg";
  std::snprintf(path, kTavrinLensPathBuffer, "%s", both.c_str());
  return record.Done();
}
int camCombineImage(const char* first, const char* second, const char* output, int mode, int x,
                    int y, int w, int h) {
  return Recorder(__func__)
      .Text(0, first)
      .Text(1, second)
      .Text(2, output)
      .Int(mode)
      .Int(x)
      .Int(y)
      .Int(w)
      .Int(h)
      .Done();
}

int camStartAutoCapture(int dev, int timed, int interval, TavrinLensCallback callback) {
  Recorder record(__func__);
  record.Int(dev).Int(timed).Int(interval).Pointer(reinterpret_cast<const void*>(callback));
  if (callback) record.Int(callback(interval) ? 1 : 0);
  return record.Done();
}
int camStopAutoCapture(int dev) {
  return Recorder(__func__).Int(dev).Done();
}
