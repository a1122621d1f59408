#include "lens/src/stages/book_spine.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace tavrin::lens {

namespace {

// The spine is looked for in this many bands across the page height, in
// the middle part of the spread's width.
constexpr int kSpineBands = 16;
constexpr double kSpineSearchShare = 0.16;  // either side of the middle, of the width
// The valley must be this much darker than the paper beside it, in most
// bands, and run straight, or the quad holds no spread.
constexpr double kMinValleyDepth = 0.15;
constexpr double kSpinePaperQuantile = 0.75;
constexpr double kMinValleyWidth = 0.006;  // of the spread's width
constexpr double kMinValleyBands = 0.6;
constexpr double kMaxSpineResidual = 0.012;  // of the spread's width

}  // namespace

std::optional<cv::Vec2d> FindSpine(const cv::Mat& grey, const cv::Rect2d& spread) {
  const int from = static_cast<int>(spread.x + (0.5 - kSpineSearchShare) * spread.width);
  const int to = static_cast<int>(spread.x + (0.5 + kSpineSearchShare) * spread.width);
  const int left = std::max(0, static_cast<int>(spread.x));
  const int right = std::min(grey.cols, static_cast<int>(spread.br().x));
  if (to <= from || right - left < 16) return std::nullopt;
  const int smooth = std::max(3, static_cast<int>(0.005 * spread.width) | 1);
  const int reach = std::max(4, static_cast<int>(0.08 * spread.width));
  std::vector<cv::Point2d> valley;
  for (int band = 0; band < kSpineBands; ++band) {
    const int y0 = static_cast<int>(spread.y + spread.height * (0.12 + 0.76 * band / kSpineBands));
    const int y1 =
        static_cast<int>(spread.y + spread.height * (0.12 + 0.76 * (band + 1) / kSpineBands));
    if (y0 < 0 || y1 > grey.rows || y1 <= y0) continue;
    // Each column's paper: a bright quantile over the band's rows. Text
    // leaves paper between its lines and words; the fold is dark all the
    // way along.
    cv::Mat profile(1, grey.cols, CV_32F);
    std::vector<uchar> column(static_cast<size_t>(y1 - y0));
    for (int x = 0; x < grey.cols; ++x) {
      for (int y = y0; y < y1; ++y) column[static_cast<size_t>(y - y0)] = grey.at<uchar>(y, x);
      auto nth = column.begin() + static_cast<long>(kSpinePaperQuantile * (column.size() - 1));
      std::nth_element(column.begin(), nth, column.end());
      profile.at<float>(0, x) = *nth;
    }
    cv::blur(profile, profile, cv::Size(smooth, 1), cv::Point(-1, -1), cv::BORDER_REPLICATE);
    const float* p = profile.ptr<float>(0);
    int darkest = from;
    for (int x = from; x < to; ++x) {
      if (p[x] < p[darkest]) darkest = x;
    }
    // The paper either side: the brighter part of each half.
    std::vector<float> sides[2];
    for (int x = left; x < right; ++x) sides[x < darkest ? 0 : 1].push_back(p[x]);
    if (sides[0].size() < 8 || sides[1].size() < 8) continue;
    float paper[2];
    for (int s = 0; s < 2; ++s) {
      auto nth = sides[s].begin() + static_cast<long>(0.8 * sides[s].size());
      std::nth_element(sides[s].begin(), nth, sides[s].end());
      paper[s] = *nth;
    }
    const float value = p[darkest];
    const float nearLeft = p[std::max(0, darkest - reach)];
    const float nearRight = p[std::min(grey.cols - 1, darkest + reach)];
    const bool deep = value < (1 - kMinValleyDepth) * std::min(paper[0], paper[1]) &&
                      value < (1 - kMinValleyDepth) * nearLeft &&
                      value < (1 - kMinValleyDepth) * nearRight;
    if (!deep) continue;
    // A fold's shadow is wider than a printed rule.
    const float half = 0.5F * (value + std::min(paper[0], paper[1]));
    int wideFrom = darkest;
    int wideTo = darkest;
    while (wideFrom > 0 && p[wideFrom - 1] < half) --wideFrom;
    while (wideTo < grey.cols - 1 && p[wideTo + 1] < half) ++wideTo;
    if (wideTo - wideFrom + 1 < kMinValleyWidth * spread.width) continue;
    double x = darkest;
    if (darkest > 0 && darkest < grey.cols - 1) {
      const double l = p[darkest - 1];
      const double r = p[darkest + 1];
      const double curvature = l - 2 * value + r;
      if (curvature > 0) x += std::clamp(0.5 * (l - r) / curvature, -0.5, 0.5);
    }
    valley.emplace_back(x, 0.5 * (y0 + y1));
  }
  if (valley.size() < kMinValleyBands * kSpineBands) return std::nullopt;
  // A line x = a y + b through the valley, once more without the points
  // far from the first fit (a dark picture beside the spine).
  cv::Vec2d line;
  for (int pass = 0; pass < 2; ++pass) {
    cv::Mat a(static_cast<int>(valley.size()), 2, CV_64F);
    cv::Mat b(static_cast<int>(valley.size()), 1, CV_64F);
    for (size_t i = 0; i < valley.size(); ++i) {
      a.at<double>(static_cast<int>(i), 0) = valley[i].y;
      a.at<double>(static_cast<int>(i), 1) = 1.0;
      b.at<double>(static_cast<int>(i)) = valley[i].x;
    }
    cv::Mat solution;
    if (!cv::solve(a, b, solution, cv::DECOMP_SVD)) return std::nullopt;
    line = cv::Vec2d(solution.at<double>(0), solution.at<double>(1));
    std::vector<cv::Point2d> kept;
    for (const auto& v : valley) {
      if (std::abs(line[0] * v.y + line[1] - v.x) <= kMaxSpineResidual * spread.width) {
        kept.push_back(v);
      }
    }
    if (kept.size() < kMinValleyBands * kSpineBands) return std::nullopt;
    valley = std::move(kept);
  }
  if (std::abs(line[0]) > 0.1) return std::nullopt;
  return line;
}

}  // namespace tavrin::lens
