// What a camera shares with its live preview: the newest frame, and the view
// (zoom, the user-drawn crop frame, the look of the capture settings).
// Threads: the capture thread publishes frames; captures, continuous capture
// and the preview's timer (GUI thread) read them; any library caller and the
// preview's mouse handlers change the view.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include <opencv2/core.hpp>

#include "lens/src/stages/pipeline.h"

namespace tavrin::lens {

// The newest frame only: a slow reader skips frames instead of queueing them.
class FrameSlot {
 public:
  struct Frame {
    cv::Mat image;          // full size, BGR, never written after publishing
    cv::Mat preview;        // the image scaled, coloured and turned for the preview, or empty
    int previewRotate = 0;  // the rotation the preview was turned by
    uint64_t sequence = 0;
  };

  void Publish(const cv::Mat& image, const cv::Mat& preview, int previewRotate = 0);
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

// What the capture settings do to a picture, as far as the live preview
// shows it.
struct PreviewLook {
  int colorMode = 0;
  int rotate = 0;
  int autoCrop = 0;
};

// A page an automatic crop would cut out: its corners (top left, top right,
// bottom right, bottom left) as fractions of the unturned frame.
using PageOutline = std::array<cv::Point2f, 4>;

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

  PreviewLook Look() const;
  void SetLook(const PreviewLook& look);
  // The pages the automatic crop finds in a recent frame; empty without one.
  std::vector<PageOutline> Outlines() const;

  // The capture thread's entry: publishes the frame with a preview copy at
  // the preview's scale, in the chosen colour mode and rotation, and now and
  // then looks for the pages the automatic crop would cut out.
  void PublishFrame(const cv::Mat& frame);

 private:
  void ZoomBy(double factor);
  // frame: the frame or a scaled copy of it.
  void FindOutlines(const cv::Mat& frame, const PreviewLook& look, const CropPercent& crop);

  mutable std::mutex mutex_;  // guards everything below
  Zoom zoom_;
  double paintedScale_ = 0.0;
  CropPercent crop_;
  double previewFactor_ = 0.0;
  PreviewLook look_;
  std::vector<PageOutline> outlines_;

  // Capture thread only: when the page search may run again.
  std::chrono::steady_clock::time_point nextOutlineSearch_;
};

}  // namespace tavrin::lens
