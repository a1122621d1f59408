#include "lens/src/stages/geometry.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "lens/include/TavrinLens.h"
#include "lens/src/memory/large_picture.h"

namespace tavrin::lens {

cv::Rect CustomCropRect(cv::Size frameSize, const CropPercent& crop) {
  const cv::Rect whole(0, 0, frameSize.width, frameSize.height);
  if (!crop.Enabled() || frameSize.width <= 0 || frameSize.height <= 0) return whole;
  const auto clampPercent = [](int value) { return std::clamp(value, 0, 100); };
  const auto toPixels = [](int percent, int extent, bool roundUp) {
    const double exact = static_cast<double>(percent) * extent / 100.0;
    return static_cast<int>(roundUp ? std::ceil(exact) : std::floor(exact));
  };
  int left = toPixels(clampPercent(crop.left), frameSize.width, false);
  int top = toPixels(clampPercent(crop.top), frameSize.height, false);
  int right = toPixels(clampPercent(crop.right), frameSize.width, true);
  int bottom = toPixels(clampPercent(crop.bottom), frameSize.height, true);
  left = std::min(left, frameSize.width - 1);
  top = std::min(top, frameSize.height - 1);
  right = std::clamp(right, left + 1, frameSize.width);
  bottom = std::clamp(bottom, top + 1, frameSize.height);
  return {left, top, right - left, bottom - top};
}

double DpiScale(int cameraDpi, int targetDpi) {
  if (cameraDpi <= 0 || targetDpi <= 0) return 1.0;
  return static_cast<double>(targetDpi) / cameraDpi;
}

cv::Size ScaledSize(cv::Size size, double scaleX, double scaleY) {
  const auto scaled = [](int extent, double scale) {
    return std::max(1, static_cast<int>(std::lround(extent * scale)));
  };
  return {scaled(size.width, scaleX), scaled(size.height, scaleY)};
}

cv::Mat Resample(const cv::Mat& image, double scaleX, double scaleY) {
  const cv::Size target = ScaledSize(image.size(), scaleX, scaleY);
  if (target == image.size()) return image;
  cv::Mat out = NewPicture(target, image.type());
  const bool shrinking = target.width < image.cols || target.height < image.rows;
  cv::resize(image, out, target, 0, 0, shrinking ? cv::INTER_AREA : cv::INTER_LINEAR);
  return out;
}

cv::Mat Rotate(const cv::Mat& image, int rotate) {
  if (rotate != kTavrinRotateLeft && rotate != kTavrinRotate180 && rotate != kTavrinRotateRight) {
    return image;
  }
  cv::Mat out =
      NewPicture(SwapsAxes(rotate) ? cv::Size(image.rows, image.cols) : image.size(), image.type());
  switch (rotate) {
    case kTavrinRotateLeft:
      cv::rotate(image, out, cv::ROTATE_90_COUNTERCLOCKWISE);
      return out;
    case kTavrinRotate180:
      cv::rotate(image, out, cv::ROTATE_180);
      return out;
    case kTavrinRotateRight:
      cv::rotate(image, out, cv::ROTATE_90_CLOCKWISE);
      return out;
    default:
      return image;
  }
}

bool SwapsAxes(int rotate) {
  return rotate == kTavrinRotateLeft || rotate == kTavrinRotateRight;
}

}  // namespace tavrin::lens
