// One camera of the device list: its device, open state, capture settings,
// the view it shares with its preview, and its continuous capture.
// Threads: every member may be called from any thread; the device's capture
// thread and the continuous-capture thread run beside the callers.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "TavrinLens.h"
#include "lens/src/auto_capture.h"
#include "lens/src/camera_view.h"
#include "lens/src/device.h"
#include "lens/src/stages/pipeline.h"

namespace tavrin::lens {

class Camera {
 public:
  explicit Camera(std::unique_ptr<Device> device);
  ~Camera();
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  const std::string& Name() const { return name_; }
  const std::string& Key() const { return key_; }
  const std::vector<MediaType>& MediaTypes() const { return mediaTypes_; }
  std::shared_ptr<CameraView> View() const { return view_; }

  // All return a LensStatus.
  int Open(int mediaType, int width, int height);
  int Close();
  int SetMediaType(int mediaType);
  int SetResolution(int width, int height);
  // mediaType -1 and a size of 0 x 0 while closed.
  void Current(int& mediaType, int& width, int& height) const;
  // At the current size, or at the first size while closed.
  void OwnDpi(int& dpiX, int& dpiY) const;

  int SetAutoCrop(int crop);
  int SetRotate(int rotate);
  int SetCustomCrop(int left, int top, int right, int bottom);
  int SetSearchArea(int left, int top, int right, int bottom);
  int SetColorMode(int colorMode);
  int SetEvenLight(int enable);
  int SetDpi(int dpiX, int dpiY);
  void SetWatermark(const WatermarkOptions& watermark);

  std::vector<ControlInfo> Controls() const;
  int ControlValue(int id) const;
  bool SetControl(int id, int value);
  void SaveControls();

  // path: a buffer of kTavrinLensPathBuffer bytes holding the file name;
  // several pictures rewrite it to "file1;file2;...".
  int Capture(char* path);

  int StartAutoCapture(bool timed, int interval, TavrinLensCallback callback);
  int StopAutoCapture();

  // Ends continuous capture and closes the device.
  void Shutdown();

 private:
  int StartLocked(int mediaType, FrameSize size);
  bool Offers(int mediaType, FrameSize size) const;
  // Tells the preview what the capture settings now do to a picture.
  void ShowLookLocked();

  const std::unique_ptr<Device> device_;
  const std::string name_;
  const std::string key_;
  const std::vector<MediaType> mediaTypes_;
  const std::shared_ptr<CameraView> view_ = std::make_shared<CameraView>();

  mutable std::mutex mutex_;  // guards the device calls and everything below
  bool open_ = false;
  int mediaType_ = -1;
  FrameSize size_;
  // When the stream last (re)started, and the last frame published before.
  std::chrono::steady_clock::time_point started_;
  uint64_t sequenceAtStart_ = 0;
  ProcessingOptions options_;
  std::unique_ptr<AutoCapture> autoCapture_;
};

}  // namespace tavrin::lens
