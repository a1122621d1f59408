// Finding pages in a frame: quadrilaterals whose four sides are straight,
// clear edges against the desk, whether the desk is darker, lighter,
// textured or patterned. Several segmentations (edges, brightness, colour)
// each offer outlines; every outline's quadrilateral is scored by how much
// of each side runs along a real edge, and the best is taken.
// Detection runs on a downscaled copy; the corners come back in the frame's
// own pixels so that the single warp can run on the full image.
// Threads: any; no state between calls.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

namespace tavrin::lens {

enum class PageSearch {
  kLargest,  // the one page
  kEvery,    // every separate document
  kBook,     // one quadrilateral around both pages of an open book
};

// The search an automatic crop code (1 single, 2 multiple, 3 edge restore,
// 4 book) asks for; none for 0 and unknown codes.
std::optional<PageSearch> SearchForCrop(int autoCrop);

// The camera as far as the page's proportions need it: where its axis meets
// the image and its focal length, in the searched image's pixels.
struct PageCamera {
  cv::Point2d principalPoint{-1, -1};  // negative: the image's centre
  double focalPixels = 0.0;            // 0: from the usual field of view
};

// A document camera's usual horizontal field of view, which gives the
// focal length when the quadrilateral itself does not pin it down.
constexpr double kDefaultFieldOfViewDegrees = 60.0;

// The focal length of a camera of that field of view whose frame is
// frameWidth pixels wide.
double DefaultFocalPixels(int frameWidth);

// camera with what it leaves unset filled in for a frame of frameSize.
PageCamera ResolvedCamera(const PageCamera& camera, cv::Size frameSize);

struct PageQuad {
  // Top left, top right, bottom right, bottom left, in frame pixels (the
  // pixel grid's outer edges, so a whole w x h frame is 0,0 .. w,h).
  std::array<cv::Point2f, 4> corners{};
  // The region found bright, filled, in the detection image's pixels; what
  // lies inside the quadrilateral but outside this is desk.
  cv::Mat detectionMask;
  double detectionScale = 1.0;  // detection pixels per frame pixel
  // The page's width and height in frame pixels with its true proportions
  // (perspective undone); zero when not worked out.
  cv::Size2d size;
  // Another page lies over part of this one: what detectionMask leaves
  // out inside the quadrilateral is that page, not this one's paper.
  bool underAnother = false;
};

// Pages in image (CV_8UC3 BGR or CV_8UC1), in reading order: top to bottom,
// then left to right. Empty when the frame holds no page that stands out
// from its surroundings. kBook gives the single page when no two pages
// side by side make a spread. The camera is one pointed at the image's
// centre unless given.
std::vector<PageQuad> FindPages(const cv::Mat& image, PageSearch search);
std::vector<PageQuad> FindPages(const cv::Mat& image, PageSearch search, const PageCamera& camera);

// The width-to-height ratio of the rectangle whose image under a pinhole
// camera is the quadrilateral (corners as in PageQuad). The focal length
// comes from the quadrilateral's two vanishing points when they are near
// enough to tell it, else from focalPixels.
double RectangleAspect(const std::array<cv::Point2f, 4>& corners, cv::Point2d principalPoint,
                       double focalPixels);

// The page's width and height in frame pixels: its true size when found,
// else the longer of each pair of opposite sides.
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

// out, allocated at its size and type, takes image warped by homography
// (image pixels to out's), bilinear with the edge pixels repeated: what
// cv::warpPerspective gives, to the last bit, and for 8-bit grey and
// colour pictures faster (eight pixels at a time where the processor has
// the vectors for it).
void WarpPerspective(const cv::Mat& image, cv::Mat& out, const cv::Mat& homography);

}  // namespace tavrin::lens
