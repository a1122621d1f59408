// The exported C functions: each checks its arguments, finds the camera and
// forwards; no exception leaves them.
#include <filesystem>
#include <new>
#include <string>

#include "TavrinLens.h"
#include "lens/src/errors.h"
#include "lens/src/gui.h"
#include "lens/src/library.h"
#include "lens/src/stages/combine.h"

using tavrin::lens::Camera;
using tavrin::lens::Library;
namespace lens = tavrin::lens;

namespace {

template <typename Body>
int Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return lens::kErrInternal;
  }
}

// Runs body with the camera dev names, or returns why there is none.
template <typename Body>
int WithCamera(int dev, Body&& body) noexcept {
  return Guarded([&] {
    std::shared_ptr<Camera> camera;
    if (const int status = Library::Instance().Find(dev, camera); status != lens::kOk) {
      return status;
    }
    return body(*camera);
  });
}

// Preview and settings windows are widgets: the GUI thread only.
template <typename Body>
int WithCameraOnGui(int dev, Body&& body) noexcept {
  return WithCamera(dev, [&](Camera& camera) {
    if (!lens::OnGuiThread()) return static_cast<int>(lens::kErrNoGui);
    return body(camera);
  });
}

}  // namespace

extern "C" {

int camInitCameraLib(void) {
  return Guarded([] { return Library::Instance().Init(); });
}

int camUnInitCameraLib(void) {
  return Guarded([] { return Library::Instance().UnInit(); });
}

int camStopCameraLib(void) {
  return Guarded([] { return Library::Instance().StopAll(); });
}

int camUpdateCameraLib(void) {
  return Guarded([] { return Library::Instance().Update(); });
}

int camRegCallBackDeviceChange(TavrinLensCallback callback) {
  Library::Instance().SetDeviceChangeCallback(callback);
  return lens::kOk;
}

int camCreateDirectory(const char* path) {
  return Guarded([&] {
    if (path == nullptr || *path == '\0') return static_cast<int>(lens::kErrBadArgument);
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return std::filesystem::is_directory(path, error) ? static_cast<int>(lens::kOk)
                                                      : static_cast<int>(lens::kErrWrite);
  });
}

int camGetDevCount(int* count) {
  return Guarded([&] {
    if (count == nullptr) return static_cast<int>(lens::kErrBadArgument);
    return Library::Instance().Count(*count);
  });
}

const char* camGetDevName(int dev) {
  const char* name = nullptr;
  WithCamera(dev, [&](Camera& camera) {
    name = Library::Instance().Keep(camera.Name());
    return lens::kOk;
  });
  return name;
}

int camOpenDev(int dev, int mediaType, int width, int height) {
  return WithCamera(dev, [&](Camera& camera) { return camera.Open(mediaType, width, height); });
}

int camCloseDev(int dev) {
  return WithCamera(dev, [](Camera& camera) { return camera.Close(); });
}

int camGetMediaTypeCount(int dev, int* count) {
  if (count == nullptr) return lens::kErrBadArgument;
  *count = 0;
  return WithCamera(dev, [&](Camera& camera) {
    *count = static_cast<int>(camera.MediaTypes().size());
    return lens::kOk;
  });
}

const char* camGetMediaTypeName(int dev, int index) {
  const char* name = nullptr;
  WithCamera(dev, [&](Camera& camera) {
    const auto& types = camera.MediaTypes();
    if (index < 0 || index >= static_cast<int>(types.size())) return lens::kErrNoSuchFormat;
    name = Library::Instance().Keep(types[index].name);
    return lens::kOk;
  });
  return name;
}

int camGetResolutionCount(int dev, int mediaType, int* count) {
  if (count == nullptr) return lens::kErrBadArgument;
  *count = 0;
  return WithCamera(dev, [&](Camera& camera) {
    const auto& types = camera.MediaTypes();
    if (mediaType < 0 || mediaType >= static_cast<int>(types.size())) {
      return lens::kErrNoSuchFormat;
    }
    *count = static_cast<int>(types[mediaType].sizes.size());
    return lens::kOk;
  });
}

int camGetResolution(int dev, int mediaType, int index, int* width, int* height) {
  if (width == nullptr || height == nullptr) return lens::kErrBadArgument;
  *width = 0;
  *height = 0;
  return WithCamera(dev, [&](Camera& camera) {
    const auto& types = camera.MediaTypes();
    if (mediaType < 0 || mediaType >= static_cast<int>(types.size())) {
      return lens::kErrNoSuchFormat;
    }
    const auto& sizes = types[mediaType].sizes;
    if (index < 0 || index >= static_cast<int>(sizes.size())) return lens::kErrNoSuchFormat;
    *width = sizes[index].width;
    *height = sizes[index].height;
    return lens::kOk;
  });
}

int camSetMediaType(int dev, int mediaType) {
  return WithCamera(dev, [&](Camera& camera) { return camera.SetMediaType(mediaType); });
}

int camSetResolution(int dev, int width, int height) {
  return WithCamera(dev, [&](Camera& camera) { return camera.SetResolution(width, height); });
}

int camGetCurResolution(int dev, int* mediaType, int* width, int* height) {
  if (mediaType == nullptr || width == nullptr || height == nullptr) {
    return lens::kErrBadArgument;
  }
  *mediaType = -1;
  *width = 0;
  *height = 0;
  return WithCamera(dev, [&](Camera& camera) {
    camera.Current(*mediaType, *width, *height);
    return lens::kOk;
  });
}

int camSetPreviewWindow(int dev, void* window) {
  return WithCameraOnGui(dev, [&](Camera& camera) {
    if (window == nullptr) {
      lens::DetachPreview(camera.View());
      return static_cast<int>(lens::kOk);
    }
    return lens::AttachPreview(camera.View(), window);
  });
}

int camZooIn(int dev) {
  return WithCamera(dev, [](Camera& camera) {
    camera.View()->ZoomIn();
    return lens::kOk;
  });
}

int camZoomOut(int dev) {
  return WithCamera(dev, [](Camera& camera) {
    camera.View()->ZoomOut();
    return lens::kOk;
  });
}

int camOptimalPreview(int dev) {
  return WithCamera(dev, [](Camera& camera) {
    camera.View()->FitToWindow();
    return lens::kOk;
  });
}

int camOriginalPreview(int dev) {
  return WithCamera(dev, [](Camera& camera) {
    camera.View()->OriginalSize();
    return lens::kOk;
  });
}

int camShowImageSettingWindow(int dev) {
  return WithCameraOnGui(dev, [](Camera& camera) {
    return lens::ShowSettingsWindow(camera, lens::ControlGroup::kImage);
  });
}

int camShowDevSettingWindow(int dev) {
  return WithCameraOnGui(dev, [](Camera& camera) {
    return lens::ShowSettingsWindow(camera, lens::ControlGroup::kDevice);
  });
}

int camSetImageAutoCrop(int dev, int crop) {
  return WithCamera(dev, [&](Camera& camera) { return camera.SetAutoCrop(crop); });
}

int camSetImageRotateMode(int dev, int rotate) {
  return WithCamera(dev, [&](Camera& camera) { return camera.SetRotate(rotate); });
}

int camSetImageCusCropRect(int dev, int left, int top, int right, int bottom) {
  return WithCamera(dev,
                    [&](Camera& camera) { return camera.SetCustomCrop(left, top, right, bottom); });
}

int camSetImageSearchArea(int dev, int left, int top, int right, int bottom) {
  return WithCamera(dev,
                    [&](Camera& camera) { return camera.SetSearchArea(left, top, right, bottom); });
}

int camSetImageAdjust(int dev, int colorMode) {
  return WithCamera(dev, [&](Camera& camera) { return camera.SetColorMode(colorMode); });
}

int camSetImageEvenLight(int dev, int enable) {
  return WithCamera(dev, [&](Camera& camera) { return camera.SetEvenLight(enable); });
}

int camSetImageDPI(int dev, int dpiX, int dpiY) {
  return WithCamera(dev, [&](Camera& camera) { return camera.SetDpi(dpiX, dpiY); });
}

int camGetImageDPI(int dev, int* dpiX, int* dpiY) {
  if (dpiX == nullptr || dpiY == nullptr) return lens::kErrBadArgument;
  *dpiX = 0;
  *dpiY = 0;
  return WithCamera(dev, [&](Camera& camera) {
    camera.OwnDpi(*dpiX, *dpiY);
    return lens::kOk;
  });
}

int camSetImageWaterMark(int dev, const char* text, int position, int fontSize,
                         const char* fontName, int italic, int underline, int bold, float angle,
                         float transparency, int red, int green, int blue, int enable) {
  return WithCamera(dev, [&](Camera& camera) {
    lens::WatermarkOptions watermark;
    watermark.enable = enable != 0;
    watermark.text = text != nullptr ? text : "";
    watermark.position = position;
    watermark.fontSize = fontSize;
    if (fontName != nullptr && *fontName != '\0') watermark.fontName = fontName;
    watermark.italic = italic != 0;
    watermark.underline = underline != 0;
    watermark.bold = bold != 0;
    watermark.angleDegrees = angle;
    watermark.transparencyPercent = transparency;
    watermark.red = red;
    watermark.green = green;
    watermark.blue = blue;
    camera.SetWatermark(watermark);
    return lens::kOk;
  });
}

int camCaptureImageFile(int dev, char* path) {
  return WithCamera(dev, [&](Camera& camera) { return camera.Capture(path); });
}

int camCombineImage(const char* first, const char* second, const char* output, int mode, int x,
                    int y, int w, int h) {
  return Guarded([&] {
    if (first == nullptr || second == nullptr || output == nullptr) {
      return static_cast<int>(lens::kErrBadArgument);
    }
    return lens::CombineImages(first, second, output, mode, x, y, w, h);
  });
}

int camStartAutoCapture(int dev, int timed, int interval, TavrinLensCallback callback) {
  return WithCamera(
      dev, [&](Camera& camera) { return camera.StartAutoCapture(timed != 0, interval, callback); });
}

int camStopAutoCapture(int dev) {
  return WithCamera(dev, [](Camera& camera) { return camera.StopAutoCapture(); });
}

}  // extern "C"
