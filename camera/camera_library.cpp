#include "camera/camera_library.h"

#include <cstdio>

#include "platform/dynamic_library.h"
#include "platform/paths.h"

namespace tavrin {

CameraLibrary::~CameraLibrary() {
  UnloadModule();
}

bool CameraLibrary::LoadModule(const std::string& path) {
  std::lock_guard lock(mutex);
  if (module != nullptr) {
    entries.clear();
    platform::FreeLibraryHandle(module);
    module = nullptr;
  }
  module = platform::LoadLibraryFile(path);
  loaded = module != nullptr;
  if (!loaded) {
    lastError = platform::LastLibraryError();
    std::fputs("LoadLibrary failed\n", stdout);
    std::fflush(stdout);
  } else {
    lastError.clear();
  }
  return loaded;
}

bool CameraLibrary::UnloadModule() {
  std::lock_guard lock(mutex);
  entries.clear();
  if (module == nullptr) return true;
  if (!platform::FreeLibraryHandle(module)) return false;
  module = nullptr;
  loaded = false;
  return true;
}

void* CameraLibrary::FindEntry(const std::string& name) {
  std::lock_guard lock(mutex);
  if (module == nullptr) return nullptr;
  auto it = entries.find(name);
  if (it != entries.end()) return it->second;
  ++symbolLookups;
  void* entry = platform::FindLibrarySymbol(module, name.c_str());
  if (entry != nullptr) entries.emplace(name, entry);
  return entry;
}

bool CameraLibrary::LoadFromProgramFolder() {
  return LoadFromFolder(platform::ProgramFolder());
}

bool CameraLibrary::LoadFromFolder(const std::string& folder) {
  // The library may look for its own files relative to the working
  // directory while it loads.
  const std::string remembered = platform::CurrentDirectory();
  platform::SetCurrentDirectory(folder);
  // No folder, no load: never fall back to a library of the same name in /.
  const bool result = LoadModule(folder.empty() ? std::string() : folder + "/" + kLibraryFileName);
  if (!remembered.empty()) platform::SetCurrentDirectory(remembered);
  return result;
}

bool CameraLibrary::IsLoaded() const {
  std::lock_guard lock(mutex);
  return loaded;
}

std::string CameraLibrary::LastError() const {
  std::lock_guard lock(mutex);
  return lastError;
}

size_t CameraLibrary::SymbolLookups() const {
  std::lock_guard lock(mutex);
  return symbolLookups;
}

// The entry is called outside the lock: the library may call back into this
// binding from its callbacks, and a capture may take a while.
template <typename Function, typename... Args>
int CameraLibrary::CallInt(const char* name, Args... args) {
  auto entry = reinterpret_cast<Function>(FindEntry(name));
  return entry != nullptr ? entry(args...) : kMissingExport;
}

template <typename Function, typename... Args>
const char* CameraLibrary::CallText(const char* name, Args... args) {
  auto entry = reinterpret_cast<Function>(FindEntry(name));
  return entry != nullptr ? entry(args...) : nullptr;
}

// decltype of the declared C functions gives each export's exact type;
// nothing here links against the library.
#define TAVRIN_CAM_INT(export_name, ...) \
  CallInt<decltype(&::export_name)>(#export_name __VA_OPT__(, ) __VA_ARGS__)

int CameraLibrary::camInitCameraLib() {
  return TAVRIN_CAM_INT(camInitCameraLib);
}
int CameraLibrary::camUnInitCameraLib() {
  return TAVRIN_CAM_INT(camUnInitCameraLib);
}
int CameraLibrary::camStopCameraLib() {
  return TAVRIN_CAM_INT(camStopCameraLib);
}
int CameraLibrary::camUpdateCameraLib() {
  return TAVRIN_CAM_INT(camUpdateCameraLib);
}
int CameraLibrary::camRegCallBackDeviceChange(TavrinLensCallback callback) {
  return TAVRIN_CAM_INT(camRegCallBackDeviceChange, callback);
}
int CameraLibrary::camCreateDirectory(const char* path) {
  return TAVRIN_CAM_INT(camCreateDirectory, path);
}

int CameraLibrary::camGetDevCount(int* count) {
  return TAVRIN_CAM_INT(camGetDevCount, count);
}
const char* CameraLibrary::camGetDevName(int dev) {
  return CallText<decltype(&::camGetDevName)>("camGetDevName", dev);
}
int CameraLibrary::camOpenDev(int dev, int mediaType, int width, int height) {
  return TAVRIN_CAM_INT(camOpenDev, dev, mediaType, width, height);
}
int CameraLibrary::camCloseDev(int dev) {
  return TAVRIN_CAM_INT(camCloseDev, dev);
}
int CameraLibrary::camGetMediaTypeCount(int dev, int* count) {
  return TAVRIN_CAM_INT(camGetMediaTypeCount, dev, count);
}
const char* CameraLibrary::camGetMediaTypeName(int dev, int index) {
  return CallText<decltype(&::camGetMediaTypeName)>("camGetMediaTypeName", dev, index);
}
int CameraLibrary::camGetResolutionCount(int dev, int mediaType, int* count) {
  return TAVRIN_CAM_INT(camGetResolutionCount, dev, mediaType, count);
}
int CameraLibrary::camGetResolution(int dev, int mediaType, int index, int* width, int* height) {
  return TAVRIN_CAM_INT(camGetResolution, dev, mediaType, index, width, height);
}
int CameraLibrary::camSetMediaType(int dev, int mediaType) {
  return TAVRIN_CAM_INT(camSetMediaType, dev, mediaType);
}
int CameraLibrary::camSetResolution(int dev, int width, int height) {
  return TAVRIN_CAM_INT(camSetResolution, dev, width, height);
}
int CameraLibrary::camGetCurResolution(int dev, int* mediaType, int* width, int* height) {
  return TAVRIN_CAM_INT(camGetCurResolution, dev, mediaType, width, height);
}

int CameraLibrary::camSetPreviewWindow(int dev, void* window) {
  return TAVRIN_CAM_INT(camSetPreviewWindow, dev, window);
}
int CameraLibrary::camZooIn(int dev) {
  return TAVRIN_CAM_INT(camZooIn, dev);
}
int CameraLibrary::camZoomOut(int dev) {
  return TAVRIN_CAM_INT(camZoomOut, dev);
}
int CameraLibrary::camOptimalPreview(int dev) {
  return TAVRIN_CAM_INT(camOptimalPreview, dev);
}
int CameraLibrary::camOriginalPreview(int dev) {
  return TAVRIN_CAM_INT(camOriginalPreview, dev);
}
int CameraLibrary::camShowImageSettingWindow(int dev) {
  return TAVRIN_CAM_INT(camShowImageSettingWindow, dev);
}
int CameraLibrary::camShowDevSettingWindow(int dev) {
  return TAVRIN_CAM_INT(camShowDevSettingWindow, dev);
}

int CameraLibrary::camSetImageAutoCrop(int dev, int crop) {
  return TAVRIN_CAM_INT(camSetImageAutoCrop, dev, crop);
}
int CameraLibrary::camSetImageRotateMode(int dev, int rotate) {
  return TAVRIN_CAM_INT(camSetImageRotateMode, dev, rotate);
}
int CameraLibrary::camSetImageCusCropRect(int dev, int left, int top, int right, int bottom) {
  return TAVRIN_CAM_INT(camSetImageCusCropRect, dev, left, top, right, bottom);
}
int CameraLibrary::camSetImageAdjust(int dev, int colorMode) {
  return TAVRIN_CAM_INT(camSetImageAdjust, dev, colorMode);
}
int CameraLibrary::camSetImageEvenLight(int dev, int enable) {
  return TAVRIN_CAM_INT(camSetImageEvenLight, dev, enable);
}
int CameraLibrary::camSetImageSearchArea(int dev, int left, int top, int right, int bottom) {
  return TAVRIN_CAM_INT(camSetImageSearchArea, dev, left, top, right, bottom);
}
int CameraLibrary::camSetImageDPI(int dev, int dpiX, int dpiY) {
  return TAVRIN_CAM_INT(camSetImageDPI, dev, dpiX, dpiY);
}
int CameraLibrary::camGetImageDPI(int dev, int* dpiX, int* dpiY) {
  return TAVRIN_CAM_INT(camGetImageDPI, dev, dpiX, dpiY);
}
int CameraLibrary::camSetImageWaterMark(int dev, const char* text, int position, int fontSize,
                                        const char* fontName, int italic, int underline, int bold,
                                        float angle, float transparency, int red, int green,
                                        int blue, int enable) {
  return TAVRIN_CAM_INT(camSetImageWaterMark, dev, text, position, fontSize, fontName, italic,
                        underline, bold, angle, transparency, red, green, blue, enable);
}

int CameraLibrary::camCaptureImageFile(int dev, char* path) {
  return TAVRIN_CAM_INT(camCaptureImageFile, dev, path);
}
int CameraLibrary::camCombineImage(const char* first, const char* second, const char* output,
                                   int mode, int x, int y, int w, int h) {
  return TAVRIN_CAM_INT(camCombineImage, first, second, output, mode, x, y, w, h);
}

int CameraLibrary::camStartAutoCapture(int dev, int timed, int interval,
                                       TavrinLensCallback callback) {
  return TAVRIN_CAM_INT(camStartAutoCapture, dev, timed, interval, callback);
}
int CameraLibrary::camStopAutoCapture(int dev) {
  return TAVRIN_CAM_INT(camStopAutoCapture, dev);
}

#undef TAVRIN_CAM_INT

}  // namespace tavrin
