#pragma once

#include <array>
#include <cstddef>
#include <iterator>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "quality_common.h"

namespace tavrin::quality {

struct CleanPage {
  cv::Mat image;     // CV_8UC3 at kPageDpi
  std::string text;  // what it says, words separated by single spaces
};

// paragraphs [first, first + count) of kParagraphs on a page of pageMm.
CleanPage RenderPage(const cv::Scalar& paper, cv::Size2d pageMm = {kPageWidthMm, kPageHeightMm},
                     size_t first = 0, size_t count = std::size(kParagraphs),
                     const PageStyle& style = {});

double FocalPixels();

cv::Mat DrawDesk(const std::string& kind, cv::RNG& rng);

struct Frame {
  cv::Mat image;
  std::array<cv::Point2f, 4> corners;  // the page's, in frame pixels
};

Frame DrawFrame(const Scene& scene, const cv::Mat& cleanPage, unsigned seed);

// A page as it lies on the desk: its size, where its centre is (mm from the
// middle of the camera's field) and how far it is turned.
struct LaidPage {
  cv::Mat clean;
  cv::Size2d mm;
  cv::Point2d centreMm;
  double turn = 0;
  // Lies beside the other sheets, not over them: its thin shadow falls on
  // the desk alone, so sheets laid edge to edge keep one white and meet
  // at no more than the hairline of desk between them.
  bool beside = false;
};

// Several pages under one scene's camera and light, later ones lying over
// earlier ones; corners are the first page's.
Frame DrawPages(const Scene& scene, const std::vector<LaidPage>& pages, unsigned seed);

bool WriteJpeg(const cv::Mat& bgr, const fs::path& path, int quality);

}  // namespace tavrin::quality
