// A camera library for the window tests of the data-source link, continuous
// capture and shutdown: it passes every call on to the real library, which
// lies beside it as libTavrinLensReal.so, keeps the names of the calls in
// order, and calls a hook the test sets before each call is passed on, so
// that a test can look at the rest of the system at that very moment.
// Threads: any; the log is guarded by its own lock, the hook is called
// without it.
#define TAVRIN_LENS_BUILD
#include "TavrinLens.h"

#include <atomic>
#include <mutex>
#include <string>
#include <type_traits>

#include "platform/dynamic_library.h"
#include "platform/paths.h"

using DriveLensHook = void (*)(const char* name);

namespace {

std::mutex logMutex;
std::string callLog;   // guarded by logMutex: one name a line
std::string snapshot;  // guarded by logMutex
std::atomic<DriveLensHook> hook = nullptr;
void* real = nullptr;  // guarded by logMutex

void Here() {}

void* FindReal(const char* name) {
  std::lock_guard lock(logMutex);
  if (real == nullptr) {
    std::string folder = tavrin::platform::ModulePathOf(reinterpret_cast<const void*>(&Here));
    folder = folder.substr(0, folder.rfind('/'));
    real = tavrin::platform::LoadLibraryFile(folder + "/libTavrinLensReal.so");
    if (real == nullptr) return nullptr;
  }
  return tavrin::platform::FindLibrarySymbol(real, name);
}

template <typename Result, typename... Args>
Result Forward(const char* name, Result (*)(Args...), std::type_identity_t<Args>... args) {
  if (DriveLensHook call = hook.load(); call != nullptr) call(name);
  {
    std::lock_guard lock(logMutex);
    callLog += name;
    callLog += '\n';
  }
  using Function = Result (*)(Args...);
  auto function = reinterpret_cast<Function>(FindReal(name));
  if (function != nullptr) return function(args...);
  if constexpr (std::is_same_v<Result, int>) {
    return -99;
  } else {
    return Result{};
  }
}

}  // namespace

#define TAVRIN_FORWARD(name, ...) return Forward(#name, &::name, __VA_ARGS__)
#define TAVRIN_FORWARD0(name) return Forward(#name, &::name)

extern "C" {

TAVRIN_LENS_API const char* driveLensCalls(void) {
  std::lock_guard lock(logMutex);
  snapshot = callLog;
  return snapshot.c_str();
}
TAVRIN_LENS_API void driveLensClear(void) {
  std::lock_guard lock(logMutex);
  callLog.clear();
}
TAVRIN_LENS_API void driveLensSetHook(DriveLensHook function) {
  hook = function;
}

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
