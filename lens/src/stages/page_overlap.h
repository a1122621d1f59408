// Pages that touch or overlap: one region of paper whose outline is made
// of the sides of several pages, taken apart into those pages. A page lying
// partly under another keeps its own sides, extended under the other one
// until they meet, so it comes out whole and in its true proportions.
// Threads: any; pure functions.
#pragma once

#include <array>
#include <vector>

#include <opencv2/core.hpp>

namespace tavrin::lens {

using Corners = std::array<cv::Point2f, 4>;

// The pages making up the region inside outline (detection pixels): each
// one a quadrilateral whose four sides run, at least in part, along the
// outline's straight stretches, and which lies on paper (set in paper,
// CV_8UC1: the region and what other pages cover) but for a sliver; the
// largest first, each adding region the others do not cover, until the
// region is covered. Empty when the outline does not break into such
// sides (a curved or ragged outline) or they cover too little of it.
std::vector<Corners> SplitRegion(const std::vector<cv::Point>& outline, const cv::Mat& paper,
                                 double minArea);

// corners filled into a mask of size (255 inside).
cv::Mat QuadMask(const Corners& corners, cv::Size size);

}  // namespace tavrin::lens
