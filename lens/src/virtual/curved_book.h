// An open book as a camera above it sees it: two pages that rise from the
// spine and bend back towards the desk, each a sheet curved only across its
// width, under a pinhole camera looking straight down at the spine's middle.
// Used by the virtual book scene and by the tests of the book crop, which
// need to know what the flat pages were.
// Threads: any; pure functions of their arguments.
#pragma once

#include <opencv2/core.hpp>

namespace tavrin::lens {

struct CurvedBook {
  cv::Mat left;  // the pages as printed: upright BGR sheets of one size
  cv::Mat right;
  // A page's width laid flat, as a part of the frame's width.
  double pageWidthShare = 0.42;
  // How high a page rises above the desk, as a part of its width.
  double lift = 0.08;
  // The camera's focal length in frame pixels (0: a 60 degree field of view).
  double focalPixels = 0.0;
  cv::Scalar cover{40, 38, 120};  // BGR
  // A thick book: the edges of the pages stacked under each page show
  // beyond its fore-edge as a striped band this part of a page's width
  // wide (0: none).
  double edgeBand = 0.0;
  // The gutter's shadow: how much light it takes at the spine and how far
  // it reaches, as a part of a page's width; the left page's may be
  // deeper, its steep wall turned from the light.
  double gutterDepth = 0.6;
  double gutterReach = 0.035;
  double leftGutterDepth = 0.6;
  double leftGutterReach = 0.035;
};

// Draws the book's cover and pages onto frame (CV_8UC3, holding the desk).
// The pages darken into the spine as the gutter's shadow does.
void DrawCurvedBook(cv::Mat& frame, const CurvedBook& book);

// The size a page of book has in frame pixels at the desk's height (its
// true size as the book crop should give it back at the camera's own DPI).
cv::Size2d CurvedBookPageSize(cv::Size frameSize, const CurvedBook& book);

}  // namespace tavrin::lens
