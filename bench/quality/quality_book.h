#pragma once

#include <string>

#include <opencv2/core.hpp>

#include "quality_common.h"

namespace tavrin::quality {

// A5 pages of the same text at the camera's scale: 148 mm over 0.42 of the
// frame's width is about 235 DPI.
constexpr double kBookPageWidthMm = 148.0;
constexpr double kBookPageHeightMm = 210.0;
constexpr double kBookPageShare = 0.42;
inline const cv::Size2d kBookPageMm(kBookPageWidthMm, kBookPageHeightMm);

struct BookScene {
  const char* name;
  double lift;  // how high the pages rise, as a part of their width
  // A thick book: the band of stacked page edges at each fore-edge, as a
  // part of a page's width, and the left page's gutter wall turned from
  // the light (how much light its shadow takes, how far it reaches).
  double edgeBand = 0.0;
  double leftGutterDepth = 0.6;
  double leftGutterReach = 0.035;
};
// The thick book's crest is 3 cm above the desk: a fifth of the A5 page's
// width.
inline const BookScene kBookScenes[] = {{"book, rise 8 %", 0.08},
                                        {"book, rise 12 %", 0.12},
                                        {"thick book, crest 3 cm", 0.2, 0.05, 0.93, 0.12}};

cv::Mat DrawBookFrame(const cv::Mat& left, const cv::Mat& right, const BookScene& scene,
                      unsigned seed);

cv::Mat DrawFlatPageFrame(const cv::Mat& page, unsigned seed);

double WorstBaselineBow(const cv::Mat& grey, double widthMm, int* lines);

struct BookPageScore {
  double cer = -1;
  double bow = -1;  // mm
  int lines = 0;
  double aspect = 0;  // percent
};

BookPageScore ScoreBookPage(const fs::path& file, const std::string& truth, bool geometry);

}  // namespace tavrin::quality
