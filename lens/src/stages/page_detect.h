// Finding pages in a frame: bright quadrilaterals against a darker desk.
// Detection runs on a downscaled copy; the corners come back in the frame's
// own pixels so that the single warp can run on the full image.
// Threads: any; no state between calls.
#pragma once

#include <array>
#include <vector>

#include <opencv2/core.hpp>

namespace tavrin::lens {

enum class PageSearch {
  kLargest,  // the one page
  kEvery,    // every separate document
  kBook,     // one quadrilateral around both pages of an open book
};

struct PageQuad {
  // Top left, top right, bottom right, bottom left, in frame pixels (the
  // pixel grid's outer edges, so a whole w x h frame is 0,0 .. w,h).
  std::array<cv::Point2f, 4> corners{};
  // The region found bright, filled, in the detection image's pixels; what
  // lies inside the quadrilateral but outside this is desk.
  cv::Mat detectionMask;
  double detectionScale = 1.0;  // detection pixels per frame pixel
};

// Pages in image (CV_8UC3 BGR or CV_8UC1), in reading order: top to bottom,
// then left to right. Empty when the frame holds no page clearly brighter
// than its surroundings.
std::vector<PageQuad> FindPages(const cv::Mat& image, PageSearch search);

// The page's width and height in frame pixels: the longer of each pair of
// opposite sides.
cv::Size2d PageSideLengths(const PageQuad& quad);

struct WarpRequest {
  double scaleX = 1.0;  // output pixels per page pixel (DPI resampling)
  double scaleY = 1.0;
  // Output pixels cut from the shorter sides (the longer ones lose
  // proportionally more, keeping the page's shape), so that the blur between
  // page and desk does not show as a dark rim.
  double insetPixels = 0.0;
  bool restoreEdges = false;  // fill what is desk inside the quad with the page colour
};

// The page straightened to a rectangle in one perspective warp.
cv::Mat WarpPage(const cv::Mat& image, const PageQuad& quad, const WarpRequest& request);

}  // namespace tavrin::lens
