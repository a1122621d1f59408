// Where an open book's spine runs: the fold between its two pages, a
// dark, roughly straight valley down the middle of the spread.
// Threads: any; a pure function.
#pragma once

#include <optional>

#include <opencv2/core.hpp>

namespace tavrin::lens {

// The spine as x = a y + b in the pixels of grey, a spread turned upright
// (spread its rectangle there), when there is one: a valley darker than
// the paper on both sides, found in most bands across the height, in a
// line. Nothing when there is no such valley, as on a single page.
std::optional<cv::Vec2d> FindSpine(const cv::Mat& grey, const cv::Rect2d& spread);

}  // namespace tavrin::lens
