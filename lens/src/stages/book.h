// The book crop: an open book's spread split at its spine into the left and
// the right page, each unrolled flat with its true proportions and its
// gutter shadow lifted.
// Threads: any; no state between calls.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "lens/src/stages/page_detect.h"

namespace tavrin::lens {

struct BookRequest {
  double scaleX = 1.0;  // output pixels per page pixel at the desk (DPI resampling)
  double scaleY = 1.0;
  double insetPixels = 0.0;  // output pixels cut from every side, as WarpPage does
};

// image is CV_8UC3 or CV_8UC1, spread what the book search found in it.
// The left page, then the right one; empty when spread shows no spine
// between two pages (a single page, flat or not), which the caller crops
// as one page.
std::vector<cv::Mat> FlattenBookSpread(const cv::Mat& image, const PageQuad& spread,
                                       const PageCamera& camera, const BookRequest& request);

// Lifts the shading that varies across a page's width (the gutter's
// shadow, the light falling off a curved sheet): each column is scaled so
// its paper is as bright as the brightest paper of the page. In place.
void FlattenColumnShading(cv::Mat& page);

}  // namespace tavrin::lens
