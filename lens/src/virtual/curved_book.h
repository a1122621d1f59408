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
};

// Draws the book's cover and pages onto frame (CV_8UC3, holding the desk).
// The pages darken into the spine as the gutter's shadow does.
void DrawCurvedBook(cv::Mat& frame, const CurvedBook& book);

// The size a page of book has in frame pixels at the desk's height (its
// true size as the book crop should give it back at the camera's own DPI).
cv::Size2d CurvedBookPageSize(cv::Size frameSize, const CurvedBook& book);

}  // namespace tavrin::lens
