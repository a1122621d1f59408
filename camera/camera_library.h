// Binding of the camera library libTavrinLens.so, loaded at run time from the
// program folder; each call looks its export up once and caches it.
// Threads: the calls come from the GUI thread, the channel's receiver thread
// and the library's callback threads; LoadModule, UnloadModule and
// LoadFromProgramFolder only from the GUI thread while no call is running.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

#include "TavrinLens.h"

namespace tavrin {

class CameraLibrary {
 public:
  // The result of every call whose export the library does not have.
  static constexpr int kMissingExport = -99;
  static constexpr const char* kLibraryFileName = "libTavrinLens.so";

  CameraLibrary() = default;
  ~CameraLibrary();
  CameraLibrary(const CameraLibrary&) = delete;
  CameraLibrary& operator=(const CameraLibrary&) = delete;

  // Frees a module loaded before (emptying the cache), then loads path.
  bool LoadModule(const std::string& path);
  // Empties the cache and frees the module; false (handle kept) only when
  // freeing fails.
  bool UnloadModule();
  // Cached entry point of an export; null when no module is loaded or the
  // export is missing (a missing one is looked up again next time).
  void* FindEntry(const std::string& name);
  // Loads libTavrinLens.so from the program folder with that folder as the
  // working directory during the load; the old one is restored afterwards.
  bool LoadFromProgramFolder();
  // The same from a given folder.
  bool LoadFromFolder(const std::string& folder);

  bool IsLoaded() const;
  // Why the last load failed, for messages.
  std::string LastError() const;
  // How many times an export was looked up in the module (not in the cache).
  size_t SymbolLookups() const;

  // One call per export, named as the export; arguments pass through as
  // they are.
  int camInitCameraLib();
  int camUnInitCameraLib();
  int camStopCameraLib();
  int camUpdateCameraLib();
  int camRegCallBackDeviceChange(TavrinLensCallback callback);
  int camCreateDirectory(const char* path);

  int camGetDevCount(int* count);
  const char* camGetDevName(int dev);
  int camOpenDev(int dev, int mediaType, int width, int height);
  int camCloseDev(int dev);
  int camGetMediaTypeCount(int dev, int* count);
  const char* camGetMediaTypeName(int dev, int index);
  int camGetResolutionCount(int dev, int mediaType, int* count);
  int camGetResolution(int dev, int mediaType, int index, int* width, int* height);
  int camSetMediaType(int dev, int mediaType);
  int camSetResolution(int dev, int width, int height);
  int camGetCurResolution(int dev, int* mediaType, int* width, int* height);

  int camSetPreviewWindow(int dev, void* window);
  int camZooIn(int dev);
  int camZoomOut(int dev);
  int camOptimalPreview(int dev);
  int camOriginalPreview(int dev);
  int camShowImageSettingWindow(int dev);
  int camShowDevSettingWindow(int dev);

  int camSetImageAutoCrop(int dev, int crop);
  int camSetImageRotateMode(int dev, int rotate);
  int camSetImageCusCropRect(int dev, int left, int top, int right, int bottom);
  int camSetImageAdjust(int dev, int colorMode);
  int camSetImageEvenLight(int dev, int enable);
  int camSetImageSearchArea(int dev, int left, int top, int right, int bottom);
  int camSetImageDPI(int dev, int dpiX, int dpiY);
  int camGetImageDPI(int dev, int* dpiX, int* dpiY);
  int camSetImageWaterMark(int dev, const char* text, int position, int fontSize,
                           const char* fontName, int italic, int underline, int bold, float angle,
                           float transparency, int red, int green, int blue, int enable);

  int camCaptureImageFile(int dev, char* path);
  int camCombineImage(const char* first, const char* second, const char* output, int mode, int x,
                      int y, int w, int h);

  int camStartAutoCapture(int dev, int timed, int interval, TavrinLensCallback callback);
  int camStopAutoCapture(int dev);

 private:
  template <typename Function, typename... Args>
  int CallInt(const char* name, Args... args);
  template <typename Function, typename... Args>
  const char* CallText(const char* name, Args... args);

  // Guards module, entries, loaded and the counters: look-up and insertion
  // happen together, so two threads never look the same export up twice.
  mutable std::mutex mutex;
  void* module = nullptr;
  std::map<std::string, void*> entries;
  bool loaded = false;
  std::string lastError;
  size_t symbolLookups = 0;
};

}  // namespace tavrin
