// What a camera shares with its live preview: the newest frame, and the view
// (zoom, the user-drawn crop frame).
// Threads: the capture thread publishes frames; captures, continuous capture
// and the preview's timer (GUI thread) read them; any library caller and the
// preview's mouse handlers change the view.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include <opencv2/core.hpp>

#include "lens/src/stages/pipeline.h"

namespace tavrin::lens {

// The newest frame only: a slow reader skips frames instead of queueing them.
class FrameSlot {
 public:
  struct Frame {
    cv::Mat image;    // full size, BGR, never written after publishing
    cv::Mat preview;  // the image scaled for the preview, or empty
    uint64_t sequence = 0;
  };

  void Publish(const cv::Mat& image, const cv::Mat& preview);
  Frame Latest() const;
  // False when no frame newer than after came within timeout.
  bool WaitNewer(uint64_t after, std::chrono::milliseconds timeout, Frame& out) const;
  // Drops the frame (camera closed or size changed); sequence numbers go on.
  void Clear();

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable published_;
  Frame frame_;
  uint64_t sequence_ = 0;
};

inline constexpr double kZoomStep = 1.25;

class CameraView {
 public:
  FrameSlot frames;

  struct Zoom {
    bool fit = true;     // fit to the window (the default)
    double scale = 1.0;  // screen pixels per frame pixel when not fitting
  };
  Zoom CurrentZoom() const;
  void ZoomIn();
  void ZoomOut();
  void OriginalSize();
  void FitToWindow();
  // The scale the preview last painted at, so a zoom step starts from what
  // the user sees.
  void SetPaintedScale(double scale);

  CropPercent Crop() const;
  void SetCrop(const CropPercent& crop);

  // Scale at which the capture thread prepares preview frames; 0 = none.
  double PreviewFactor() const;
  void SetPreviewFactor(double factor);

 private:
  void ZoomBy(double factor);

  mutable std::mutex mutex_;  // guards everything below
  Zoom zoom_;
  double paintedScale_ = 0.0;
  CropPercent crop_;
  double previewFactor_ = 0.0;
};

}  // namespace tavrin::lens
