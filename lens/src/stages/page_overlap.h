// Pages that touch or overlap: one region of paper whose outline is made
// of the sides of several pages, taken apart into those pages. A page lying
// partly under another keeps its own sides, extended under the other one
// until they meet, so it comes out whole and in its true proportions.
// Threads: any; pure functions.
#pragma once

#include <array>
#include <optional>
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

// Two sheets lying edge to edge make one region of one paper, whose
// outline is a single quadrilateral: what parts them is the hairline of
// desk or shade where their edges meet. The two sheets inside corners
// (frame pixels, clockwise from the top left, in image: CV_8UC1, CV_8UC3
// or CV_8UC4) when such a straight, thin line runs the whole way across
// the middle of it, from one side to the opposite one, edge to edge;
// none otherwise. Print stays inside its margins, a fold or a gutter is a
// broad shading, not a hairline, and ruled paper has many such lines side
// by side: none of them parts the page.
std::optional<std::array<Corners, 2>> SplitAtSeam(const cv::Mat& image, const Corners& corners);

// corners filled into a mask of size (255 inside).
cv::Mat QuadMask(const Corners& corners, cv::Size size);

}  // namespace tavrin::lens
