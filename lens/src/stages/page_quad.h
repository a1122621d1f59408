// The geometry of a page's quadrilateral, apart from any image: fitted to
// an outline, and corners where two lines meet. The proportions it stands
// for (RectangleAspect, PageSideLengths) are declared in page_detect.h.
// Threads: any; pure functions.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

namespace tavrin::lens {

// Where the line through p1 and p2 meets the one through q1 and q2; none
// when they are parallel.
std::optional<cv::Point2f> Intersect(cv::Point2f p1, cv::Point2f p2, cv::Point2f q1,
                                     cv::Point2f q2);

// A quadrilateral around an outline (one contour, or both pages of a book),
// its corners clockwise from the top left, each side on the line that best
// fits the outline along it. bounds is the image the outline lies in: a
// corner that a cut corner's sides put far outside it is not taken.
std::array<cv::Point2f, 4> FitQuad(const std::vector<cv::Point>& outline, cv::Size bounds);

}  // namespace tavrin::lens
