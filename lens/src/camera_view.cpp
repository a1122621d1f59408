#include "lens/src/camera_view.h"

#include <algorithm>

namespace tavrin::lens {

namespace {
constexpr double kSmallestScale = 1.0 / 64;
constexpr double kLargestScale = 16.0;
}  // namespace

void FrameSlot::Publish(const cv::Mat& image, const cv::Mat& preview) {
  {
    std::lock_guard lock(mutex_);
    frame_.image = image;
    frame_.preview = preview;
    frame_.sequence = ++sequence_;
  }
  published_.notify_all();
}

FrameSlot::Frame FrameSlot::Latest() const {
  std::lock_guard lock(mutex_);
  return frame_;
}

bool FrameSlot::WaitNewer(uint64_t after, std::chrono::milliseconds timeout, Frame& out) const {
  std::unique_lock lock(mutex_);
  if (!published_.wait_for(lock, timeout,
                           [&] { return !frame_.image.empty() && frame_.sequence > after; })) {
    return false;
  }
  out = frame_;
  return true;
}

void FrameSlot::Clear() {
  std::lock_guard lock(mutex_);
  frame_.image.release();
  frame_.preview.release();
}

CameraView::Zoom CameraView::CurrentZoom() const {
  std::lock_guard lock(mutex_);
  return zoom_;
}

void CameraView::ZoomBy(double factor) {
  std::lock_guard lock(mutex_);
  const double from = zoom_.fit && paintedScale_ > 0 ? paintedScale_ : zoom_.scale;
  zoom_.fit = false;
  zoom_.scale = std::clamp(from * factor, kSmallestScale, kLargestScale);
}

void CameraView::ZoomIn() {
  ZoomBy(kZoomStep);
}
void CameraView::ZoomOut() {
  ZoomBy(1.0 / kZoomStep);
}

void CameraView::OriginalSize() {
  std::lock_guard lock(mutex_);
  zoom_ = {false, 1.0};
}

void CameraView::FitToWindow() {
  std::lock_guard lock(mutex_);
  zoom_ = {true, 1.0};
}

void CameraView::SetPaintedScale(double scale) {
  std::lock_guard lock(mutex_);
  paintedScale_ = scale;
}

CropPercent CameraView::Crop() const {
  std::lock_guard lock(mutex_);
  return crop_;
}

void CameraView::SetCrop(const CropPercent& crop) {
  std::lock_guard lock(mutex_);
  crop_ = crop;
}

double CameraView::PreviewFactor() const {
  std::lock_guard lock(mutex_);
  return previewFactor_;
}

void CameraView::SetPreviewFactor(double factor) {
  std::lock_guard lock(mutex_);
  previewFactor_ = factor;
}

}  // namespace tavrin::lens
