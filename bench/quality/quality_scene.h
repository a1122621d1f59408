#pragma once

#include <array>
#include <cstddef>
#include <iterator>
#include <string>

#include <opencv2/core.hpp>

#include "quality_common.h"

namespace tavrin::quality {

struct CleanPage {
  cv::Mat image;     // CV_8UC3 at kPageDpi
  std::string text;  // what it says, words separated by single spaces
};

// paragraphs [first, first + count) of kParagraphs on a page of pageMm.
CleanPage RenderPage(const cv::Scalar& paper, cv::Size2d pageMm = {kPageWidthMm, kPageHeightMm},
                     size_t first = 0, size_t count = std::size(kParagraphs));

double FocalPixels();

cv::Mat DrawDesk(const std::string& kind, cv::RNG& rng);

struct Frame {
  cv::Mat image;
  std::array<cv::Point2f, 4> corners;  // the page's, in frame pixels
};

Frame DrawFrame(const Scene& scene, const cv::Mat& cleanPage, unsigned seed);

bool WriteJpeg(const cv::Mat& bgr, const fs::path& path, int quality);

}  // namespace tavrin::quality
