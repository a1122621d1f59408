// Deterministic synthetic pictures for the virtual cameras.
// Threads: any; pure functions of their arguments.
#pragma once

#include <cstdint>

#include <opencv2/core.hpp>

#include "lens/src/device.h"
#include "lens/src/virtual/virtual_entry.h"

namespace tavrin::lens {

// page counts the pages laid down so far (turn=S), the book its spreads;
// scenes without pages ignore it. CV_8UC3 BGR of exactly that size.
cv::Mat RenderScene(Scene scene, FrameSize size, int page);

struct PictureControls {
  int brightness = 0;    // -100..100
  int contrast = 100;    // percent
  int saturation = 100;  // percent
  int exposure = 0;      // -100..100, doubling every 50
  int focus = 50;        // 50 sharp; blur grows away from it
  bool operator==(const PictureControls&) const = default;
};

// What the sensor and the camera's own processing make of the scene.
void ApplyPictureControls(cv::Mat& image, const PictureControls& controls);

// A hand sweeping in and out over the picture as it turns a page:
// progress 0 to 1 over the sweep.
void DrawHand(cv::Mat& image, double progress);

// The running frame number and clock in a small box near the lower left
// corner, so a live preview visibly moves.
void DrawFrameStamp(cv::Mat& image, uint64_t frameNumber, double seconds);
// All that DrawFrameStamp may change on a picture of that size.
cv::Rect FrameStampArea(cv::Size image);

}  // namespace tavrin::lens
