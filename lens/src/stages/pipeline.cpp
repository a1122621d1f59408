#include "lens/src/stages/pipeline.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace tavrin::lens {

namespace {

cv::Mat Rotate(const cv::Mat& image, int rotate) {
  cv::Mat out;
  switch (rotate) {
    case 1:
      cv::rotate(image, out, cv::ROTATE_90_COUNTERCLOCKWISE);
      return out;
    case 2:
      cv::rotate(image, out, cv::ROTATE_180);
      return out;
    case 3:
      cv::rotate(image, out, cv::ROTATE_90_CLOCKWISE);
      return out;
    default:
      return image;
  }
}

cv::Mat Resample(const cv::Mat& image, int cameraDpi, int dpiX, int dpiY) {
  if (cameraDpi <= 0 || dpiX <= 0 || dpiY <= 0) return image;
  const int width = std::max(
      1, static_cast<int>(std::lround(static_cast<double>(image.cols) * dpiX / cameraDpi)));
  const int height = std::max(
      1, static_cast<int>(std::lround(static_cast<double>(image.rows) * dpiY / cameraDpi)));
  if (width == image.cols && height == image.rows) return image;
  cv::Mat out;
  const bool shrinking = width < image.cols;
  cv::resize(image, out, cv::Size(width, height), 0, 0,
             shrinking ? cv::INTER_AREA : cv::INTER_LINEAR);
  return out;
}

}  // namespace

std::vector<ProcessedImage> RunPipeline(const cv::Mat& frame, int cameraDpi,
                                        const ProcessingOptions& options) {
  std::vector<ProcessedImage> result;
  if (frame.empty()) return result;
  ProcessedImage one;
  const bool resample = options.dpiX > 0 && options.dpiY > 0 && cameraDpi > 0;
  one.image = Rotate(Resample(frame, cameraDpi, options.dpiX, options.dpiY), options.rotate);
  one.dpiX = resample ? options.dpiX : cameraDpi;
  one.dpiY = resample ? options.dpiY : cameraDpi;
  if (options.rotate == 1 || options.rotate == 3) std::swap(one.dpiX, one.dpiY);
  result.push_back(one);
  return result;
}

}  // namespace tavrin::lens
