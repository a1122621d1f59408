#pragma once

#include <string>

#include <opencv2/core.hpp>

#include "quality_common.h"

namespace tavrin::quality {

std::string Normalised(const std::string& text);

double CharacterErrorRate(const std::string& truth, const std::string& read);

std::string Ocr(const fs::path& image);

cv::Mat LoadGrey(const fs::path& path);

// Ink: darker than the paper around it. One global cut-off would fail on a
// lamp's fall-off across the page or the gutter's shading of a book.
cv::Mat InkMask(const cv::Mat& grey);

struct Geometry {
  bool marks = false;  // all four registration marks found
  double aspect = 0;   // output's width/height against the page's, in percent
  double skew = 0;     // degrees
  double edge = 0;     // worst distance of a crop edge from the page's edge, mm
};

Geometry Measure(const cv::Mat& grey, cv::Size2d pageMm = {kPageWidthMm, kPageHeightMm});

}  // namespace tavrin::quality
