// Whole-image geometry stages: the custom crop frame, DPI resampling and the
// quarter-turn rotations.
// Threads: any; no state between calls.
#pragma once

#include <opencv2/core.hpp>

#include "lens/src/stages/pipeline.h"

namespace tavrin::lens {

// The camera's own DPI when it reports none (what V4L2 devices report).
constexpr int kDefaultCameraDpi = 96;

// The part of a frame of frameSize that crop keeps, in pixels; the whole
// frame when crop is off. Percentages outside 0..100 are clamped, and a
// frame that is switched on never yields less than one pixel.
cv::Rect CustomCropRect(cv::Size frameSize, const CropPercent& crop);

// How much an image taken at cameraDpi must grow (or shrink) to be at
// targetDpi; 1 when either is unset.
double DpiScale(int cameraDpi, int targetDpi);

// The size an image of size has after scaling by scaleX, scaleY, never
// smaller than 1 x 1.
cv::Size ScaledSize(cv::Size size, double scaleX, double scaleY);

// image resampled by scaleX, scaleY (area averaging when shrinking). Returns
// image itself, shared, when the size does not change.
cv::Mat Resample(const cv::Mat& image, double scaleX, double scaleY);

// rotate: 0 none, 1 a quarter turn counter-clockwise, 2 half a turn, 3 a
// quarter turn clockwise; any other value leaves the image as it is.
cv::Mat Rotate(const cv::Mat& image, int rotate);

// True for the rotations that swap width and height.
bool SwapsAxes(int rotate);

}  // namespace tavrin::lens
