// Passes every export of the camera library on to the real one and shows
// each call to the stand-in that links this (forwarding_lens.h).
// Threads: any; the real library's handle is guarded by its own lock.
#define TAVRIN_LENS_BUILD
#include "TavrinLens.h"

#include "tests/mainwindow/forwarding_lens.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <type_traits>

#include "platform/dynamic_library.h"
#include "platform/paths.h"

namespace tavrin::test::forwarding_lens {

namespace {

std::mutex realMutex;
void* real = nullptr;  // guarded by realMutex

void Here() {}

void* FindReal(const char* name) {
  std::lock_guard lock(realMutex);
  if (real == nullptr) {
    std::string folder = platform::ModulePathOf(reinterpret_cast<const void*>(&Here));
    folder = folder.substr(0, folder.rfind('/'));
    real = platform::LoadLibraryFile(folder + "/libTavrinLensReal.so");
    if (real == nullptr) return nullptr;
  }
  return platform::FindLibrarySymbol(real, name);
}

std::string Field(int value) {
  return std::to_string(value);
}
std::string Field(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
  return text;
}
std::string Field(const char* text) {
  return text != nullptr ? std::string(text) : std::string("(null)");
}
std::string Field(char* text) {
  return Field(static_cast<const char*>(text));
}
std::string Field(int*) {
  return "*";
}
std::string Field(void* window) {
  return window != nullptr ? "window" : "null";
}
std::string Field(TavrinLensCallback callback) {
  return callback != nullptr ? "callback" : "null";
}

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

template <typename Result, typename... Args>
Result Forward(const char* name, Result (*)(Args...), std::type_identity_t<Args>... args) {
  BeforeCall(name);
  std::string line = name;
  ((line += '|', line += Field(args)), ...);
  const long long startMs = NowMs();
  using Function = Result (*)(Args...);
  auto function = reinterpret_cast<Function>(FindReal(name));
  Result result{};
  if (function != nullptr) {
    result = function(args...);
  } else if constexpr (std::is_same_v<Result, int>) {
    result = -99;
  }
  line += "|=";
  if constexpr (std::is_same_v<Result, int>) {
    line += std::to_string(result);
  } else {
    line += Field(result);
  }
  line += "|t=" + std::to_string(startMs);
  AfterCall(line);
  return result;
}

}  // namespace

void ReleaseRealLibrary() {
  std::lock_guard lock(realMutex);
  if (real != nullptr) platform::FreeLibraryHandle(real);
  real = nullptr;
}

}  // namespace tavrin::test::forwarding_lens

#define TAVRIN_FORWARD(name, ...) \
  return tavrin::test::forwarding_lens::Forward(#name, &::name, __VA_ARGS__)
#define TAVRIN_FORWARD0(name) return tavrin::test::forwarding_lens::Forward(#name, &::name)

extern "C" {

int camInitCameraLib(void) {
  TAVRIN_FORWARD0(camInitCameraLib);
}
int camUnInitCameraLib(void) {
  TAVRIN_FORWARD0(camUnInitCameraLib);
}
int camStopCameraLib(void) {
  TAVRIN_FORWARD0(camStopCameraLib);
}
int camUpdateCameraLib(void) {
  TAVRIN_FORWARD0(camUpdateCameraLib);
}
int camRegCallBackDeviceChange(TavrinLensCallback callback) {
  TAVRIN_FORWARD(camRegCallBackDeviceChange, callback);
}
int camCreateDirectory(const char* path) {
  TAVRIN_FORWARD(camCreateDirectory, path);
}
int camGetDevCount(int* count) {
  TAVRIN_FORWARD(camGetDevCount, count);
}
const char* camGetDevName(int dev) {
  TAVRIN_FORWARD(camGetDevName, dev);
}
int camOpenDev(int dev, int mediaType, int width, int height) {
  TAVRIN_FORWARD(camOpenDev, dev, mediaType, width, height);
}
int camCloseDev(int dev) {
  TAVRIN_FORWARD(camCloseDev, dev);
}
int camGetMediaTypeCount(int dev, int* count) {
  TAVRIN_FORWARD(camGetMediaTypeCount, dev, count);
}
const char* camGetMediaTypeName(int dev, int index) {
  TAVRIN_FORWARD(camGetMediaTypeName, dev, index);
}
int camGetResolutionCount(int dev, int mediaType, int* count) {
  TAVRIN_FORWARD(camGetResolutionCount, dev, mediaType, count);
}
int camGetResolution(int dev, int mediaType, int index, int* width, int* height) {
  TAVRIN_FORWARD(camGetResolution, dev, mediaType, index, width, height);
}
int camSetMediaType(int dev, int mediaType) {
  TAVRIN_FORWARD(camSetMediaType, dev, mediaType);
}
int camSetResolution(int dev, int width, int height) {
  TAVRIN_FORWARD(camSetResolution, dev, width, height);
}
int camGetCurResolution(int dev, int* mediaType, int* width, int* height) {
  TAVRIN_FORWARD(camGetCurResolution, dev, mediaType, width, height);
}
int camSetPreviewWindow(int dev, void* window) {
  TAVRIN_FORWARD(camSetPreviewWindow, dev, window);
}
int camZooIn(int dev) {
  TAVRIN_FORWARD(camZooIn, dev);
}
int camZoomOut(int dev) {
  TAVRIN_FORWARD(camZoomOut, dev);
}
int camOptimalPreview(int dev) {
  TAVRIN_FORWARD(camOptimalPreview, dev);
}
int camOriginalPreview(int dev) {
  TAVRIN_FORWARD(camOriginalPreview, dev);
}
int camShowImageSettingWindow(int dev) {
  TAVRIN_FORWARD(camShowImageSettingWindow, dev);
}
int camShowDevSettingWindow(int dev) {
  TAVRIN_FORWARD(camShowDevSettingWindow, dev);
}
int camSetImageAutoCrop(int dev, int crop) {
  TAVRIN_FORWARD(camSetImageAutoCrop, dev, crop);
}
int camSetImageRotateMode(int dev, int rotate) {
  TAVRIN_FORWARD(camSetImageRotateMode, dev, rotate);
}
int camSetImageCusCropRect(int dev, int left, int top, int right, int bottom) {
  TAVRIN_FORWARD(camSetImageCusCropRect, dev, left, top, right, bottom);
}
int camSetImageAdjust(int dev, int colorMode) {
  TAVRIN_FORWARD(camSetImageAdjust, dev, colorMode);
}
int camSetImageEvenLight(int dev, int enable) {
  TAVRIN_FORWARD(camSetImageEvenLight, dev, enable);
}
int camSetImageSearchArea(int dev, int left, int top, int right, int bottom) {
  TAVRIN_FORWARD(camSetImageSearchArea, dev, left, top, right, bottom);
}
int camSetImageDPI(int dev, int dpiX, int dpiY) {
  TAVRIN_FORWARD(camSetImageDPI, dev, dpiX, dpiY);
}
int camGetImageDPI(int dev, int* dpiX, int* dpiY) {
  TAVRIN_FORWARD(camGetImageDPI, dev, dpiX, dpiY);
}
int camSetImageWaterMark(int dev, const char* text, int position, int fontSize,
                         const char* fontName, int italic, int underline, int bold, float angle,
                         float transparency, int red, int green, int blue, int enable) {
  TAVRIN_FORWARD(camSetImageWaterMark, dev, text, position, fontSize, fontName, italic, underline,
                 bold, angle, transparency, red, green, blue, enable);
}
int camCaptureImageFile(int dev, char* path) {
  TAVRIN_FORWARD(camCaptureImageFile, dev, path);
}
int camCombineImage(const char* first, const char* second, const char* output, int mode, int x,
                    int y, int w, int h) {
  TAVRIN_FORWARD(camCombineImage, first, second, output, mode, x, y, w, h);
}
int camStartAutoCapture(int dev, int timed, int interval, TavrinLensCallback callback) {
  TAVRIN_FORWARD(camStartAutoCapture, dev, timed, interval, callback);
}
int camStopAutoCapture(int dev) {
  TAVRIN_FORWARD(camStopAutoCapture, dev);
}

}  // extern "C"
