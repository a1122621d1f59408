#include "lens/src/camera.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include <opencv2/imgproc.hpp>

#include "lens/src/encode.h"
#include "lens/src/errors.h"

namespace tavrin::lens {

namespace {

// Long enough for a new frame of the largest size on a busy machine once
// the camera streams: a capture that gives up too early loses the page the
// person asked for.
constexpr auto kFrameWait = std::chrono::milliseconds(10000);
// A camera restarting its stream at a new size can take seconds for its
// first frame; one that has given none this long after the start gives
// none at this size, and a capture says so at once instead of waiting.
constexpr auto kFirstFrameWait = std::chrono::milliseconds(5000);
constexpr auto kSilentCameraWait = std::chrono::milliseconds(500);

// The names of the pieces of a multiple crop: the first keeps the path the
// caller gave, the others are "name_2.jpg", "name_3.jpg", ...
std::vector<std::string> PieceNames(const std::string& path, size_t count) {
  if (count == 1) return {path};
  const std::filesystem::path file(path);
  const std::string stem = (file.parent_path() / file.stem()).string();
  const std::string extension = file.extension().string();
  std::vector<std::string> names{path};
  for (size_t i = 2; i <= count; ++i) names.push_back(stem + "_" + std::to_string(i) + extension);
  return names;
}

void DeleteFiles(const std::vector<std::string>& names, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    std::error_code ignored;
    std::filesystem::remove(names[i], ignored);
  }
}

}  // namespace

Camera::Camera(std::unique_ptr<Device> device)
    : device_(std::move(device)),
      name_(device_->Name()),
      key_(device_->Key()),
      mediaTypes_(device_->MediaTypes()) {}

Camera::~Camera() {
  Shutdown();
}

bool Camera::Offers(int mediaType, FrameSize size) const {
  if (mediaType < 0 || mediaType >= static_cast<int>(mediaTypes_.size())) return false;
  const auto& sizes = mediaTypes_[mediaType].sizes;
  return std::find(sizes.begin(), sizes.end(), size) != sizes.end();
}

int Camera::StartLocked(int mediaType, FrameSize size) {
  device_->Stop();
  view_->frames.Clear();
  open_ = false;
  mediaType_ = -1;
  size_ = {};
  started_ = std::chrono::steady_clock::now();
  sequenceAtStart_ = view_->frames.Latest().sequence;
  FrameSink sink([view = view_](const cv::Mat& frame) { view->PublishFrame(frame); },
                 [view = view_](const CompressedFrame& frame) { view->PublishCompressed(frame); });
  sink.rewrite = [view = view_](const cv::Mat& frame, int ownHolders,
                                const FrameSink::Rewrite& write) {
    return view->frames.RewriteUnshared(frame, ownHolders, write);
  };
  const int status = device_->Start(mediaType, size, std::move(sink));
  if (status != kOk) return status;
  open_ = true;
  mediaType_ = mediaType;
  size_ = size;
  return kOk;
}

int Camera::Open(int mediaType, int width, int height) {
  const FrameSize size{width, height};
  if (!Offers(mediaType, size)) return kErrNoSuchFormat;
  std::lock_guard lock(mutex_);
  return StartLocked(mediaType, size);
}

int Camera::Close() {
  StopAutoCapture();
  std::lock_guard lock(mutex_);
  device_->Stop();
  view_->frames.Clear();
  open_ = false;
  mediaType_ = -1;
  size_ = {};
  return kOk;
}

int Camera::SetMediaType(int mediaType) {
  if (mediaType < 0 || mediaType >= static_cast<int>(mediaTypes_.size())) return kErrNoSuchFormat;
  std::lock_guard lock(mutex_);
  if (!open_) return kErrNotOpen;
  if (mediaType == mediaType_) return kOk;
  // A size the new format lacks gives way to its first, largest one.
  const FrameSize size = Offers(mediaType, size_) ? size_ : mediaTypes_[mediaType].sizes.front();
  return StartLocked(mediaType, size);
}

int Camera::SetResolution(int width, int height) {
  std::lock_guard lock(mutex_);
  if (!open_) return kErrNotOpen;
  const FrameSize size{width, height};
  if (!Offers(mediaType_, size)) return kErrNoSuchFormat;
  if (size == size_) return kOk;
  return StartLocked(mediaType_, size);
}

void Camera::Current(int& mediaType, int& width, int& height) const {
  std::lock_guard lock(mutex_);
  mediaType = open_ ? mediaType_ : -1;
  width = size_.width;
  height = size_.height;
}

void Camera::OwnDpi(int& dpiX, int& dpiY) const {
  std::lock_guard lock(mutex_);
  const FrameSize size = open_ ? size_ : mediaTypes_.front().sizes.front();
  dpiX = dpiY = device_->OwnDpi(size);
}

void Camera::ShowLookLocked() {
  view_->SetLook({options_.colorMode, options_.rotate, options_.autoCrop});
}

int Camera::SetAutoCrop(int crop) {
  if (crop < 0 || crop > 4) return kErrBadArgument;
  std::lock_guard lock(mutex_);
  options_.autoCrop = crop;
  ShowLookLocked();
  return kOk;
}

int Camera::SetRotate(int rotate) {
  if (rotate < 0 || rotate > 3) return kErrBadArgument;
  std::lock_guard lock(mutex_);
  options_.rotate = rotate;
  ShowLookLocked();
  return kOk;
}

int Camera::SetCustomCrop(int left, int top, int right, int bottom) {
  const CropPercent crop{left, top, right, bottom};
  const bool off = left == 0 && top == 0 && right == 0 && bottom == 0;
  const bool inside = left >= 0 && top >= 0 && right <= 100 && bottom <= 100;
  if (!off && (!inside || !crop.Enabled())) return kErrBadArgument;
  view_->SetCrop(crop);
  return kOk;
}

int Camera::SetSearchArea(int left, int top, int right, int bottom) {
  const CropPercent area{left, top, right, bottom};
  const bool off = left == 0 && top == 0 && right == 0 && bottom == 0;
  const bool inside = left >= 0 && top >= 0 && right <= 100 && bottom <= 100;
  if (!off && (!inside || !area.Enabled())) return kErrBadArgument;
  std::lock_guard lock(mutex_);
  options_.searchArea = area;
  return kOk;
}

int Camera::SetColorMode(int colorMode) {
  if (colorMode != 0 && colorMode != 1 && colorMode != 3 && colorMode != 4) {
    return kErrBadArgument;
  }
  std::lock_guard lock(mutex_);
  options_.colorMode = colorMode;
  ShowLookLocked();
  return kOk;
}

int Camera::SetEvenLight(int enable) {
  if (enable != 0 && enable != 1) return kErrBadArgument;
  std::lock_guard lock(mutex_);
  options_.evenLight = enable != 0;
  return kOk;
}

int Camera::SetDpi(int dpiX, int dpiY) {
  if (dpiX < 0 || dpiY < 0 || (dpiX == 0) != (dpiY == 0)) return kErrBadArgument;
  std::lock_guard lock(mutex_);
  options_.dpiX = dpiX;
  options_.dpiY = dpiY;
  return kOk;
}

void Camera::SetWatermark(const WatermarkOptions& watermark) {
  std::lock_guard lock(mutex_);
  options_.watermark = watermark;
}

std::vector<ControlInfo> Camera::Controls() const {
  std::lock_guard lock(mutex_);
  return device_->Controls();
}

int Camera::ControlValue(int id) const {
  std::lock_guard lock(mutex_);
  return device_->ControlValue(id);
}

bool Camera::SetControl(int id, int value) {
  std::lock_guard lock(mutex_);
  return device_->SetControl(id, value);
}

void Camera::SaveControls() {
  std::lock_guard lock(mutex_);
  device_->SaveControls();
}

int Camera::Capture(char* path) {
  if (path == nullptr) return kErrBadArgument;
  const size_t length = strnlen(path, kTavrinLensPathBuffer);
  if (length == 0 || length == kTavrinLensPathBuffer) return kErrBadArgument;
  const std::string target(path, length);
  if (FormatForPath(target) == ImageFormat::kUnsupported) return kErrBadArgument;

  FrameSize size;
  ProcessingOptions options;
  int ownDpi = 0;
  std::chrono::steady_clock::time_point started;
  uint64_t sequenceAtStart = 0;
  {
    std::lock_guard lock(mutex_);
    if (!open_) return kErrNotOpen;
    if (const int fault = device_->CheckCapture(); fault != kOk) return fault;
    size = size_;
    started = started_;
    sequenceAtStart = sequenceAtStart_;
    options = options_;
    ownDpi = device_->OwnDpi(size_);
  }
  options.customCrop = view_->Crop();

  // The newest frame at the current size: one from before a size change
  // may still sit in the slot for a moment.
  // A JPEG frame is decoded at full size here, and only here; one that
  // turns out corrupt gives way to the next.
  FrameSlot::Frame frame = view_->frames.Latest();
  cv::Mat picture;
  const auto now = std::chrono::steady_clock::now();
  const bool streaming = frame.sequence > sequenceAtStart;
  const auto deadline =
      streaming ? now + kFrameWait : std::max(started + kFirstFrameWait, now + kSilentCameraWait);
  while (true) {
    if (!frame.Empty() && frame.size == cv::Size(size.width, size.height)) {
      picture = FullFrame(frame);
      if (!picture.empty()) break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !view_->frames.WaitNewer(frame.sequence, left, frame)) {
      return kErrNoFrame;
    }
  }
  frame = {};  // the compressed bytes go back to the camera's spare buffers

  PipelineFailure failure = PipelineFailure::kNone;
  const std::vector<ProcessedImage> images = RunPipeline(picture, ownDpi, options, &failure);
  if (images.empty()) {
    return failure == PipelineFailure::kWatermarkNoFonts ? kErrWatermark : kErrProcessing;
  }
  const std::vector<std::string> names = PieceNames(target, images.size());
  std::string joined;
  for (const auto& name : names) joined += (joined.empty() ? "" : ";") + name;
  // A list that does not fit would hand on fewer files than were written.
  if (joined.size() >= kTavrinLensPathBuffer) return kErrPathTooLong;

  for (size_t i = 0; i < images.size(); ++i) {
    if (!WriteImageFile(names[i], images[i].image, images[i].dpiX, images[i].dpiY)) {
      DeleteFiles(names, i);
      return kErrWrite;
    }
  }
  if (images.size() > 1) std::memcpy(path, joined.c_str(), joined.size() + 1);
  return kOk;
}

int Camera::StartAutoCapture(bool timed, int interval, TavrinLensCallback callback) {
  if (callback == nullptr || interval <= 0) return kErrBadArgument;
  StopAutoCapture();
  std::lock_guard lock(mutex_);
  if (!open_) return kErrNotOpen;
  autoCapture_ = std::make_unique<AutoCapture>(view_, timed, interval, callback);
  return kOk;
}

int Camera::StopAutoCapture() {
  std::unique_ptr<AutoCapture> ending;
  {
    std::lock_guard lock(mutex_);
    ending = std::move(autoCapture_);
  }
  // Outside the lock: the callback being waited for may itself call into
  // this camera.
  if (ending) ending->Stop();
  return kOk;
}

void Camera::Shutdown() {
  Close();
}

}  // namespace tavrin::lens
