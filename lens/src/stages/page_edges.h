// What a frame shows along a quadrilateral's sides: whether each side runs
// along a real edge between page and desk, and where exactly that edge is.
// colour is the detection copy (CV_8UC3, or CV_8UC1 for a grey frame);
// corners go clockwise from the top left, in its pixels.
// Threads: any; pure functions.
#pragma once

#include <array>

#include <opencv2/core.hpp>

namespace tavrin::lens {

// The least difference, in levels of the most different channel, that
// counts as an edge; the blurred copy's noise stays well below it.
constexpr double kMinEdgeStep = 9.0;

// The share of the weakest side's length along which the colours either
// side of it differ clearly. Samples off the image count as no edge.
// Where hidden (CV_8UC1 of colour's size, optional) is set, another page
// lies over the side: those samples are left out, and a side that shows
// too little of itself counts as no edge.
double WeakestSideSupport(const std::array<cv::Point2f, 4>& corners, const cv::Mat& colour,
                          const cv::Mat& hidden = cv::Mat());

// Each side moved onto the strongest change of colour within reach pixels
// across it; a side that shows no edge stays where it is. Samples where
// hidden is set are left out.
std::array<cv::Point2f, 4> RefineToEdges(const std::array<cv::Point2f, 4>& corners,
                                         const cv::Mat& colour, int reach,
                                         const cv::Mat& hidden = cv::Mat());

// The share of a side's samples, of those lying where inside is set, that
// run along an edge: whether an outline crossing another page shows there
// (the upper sheet's edge does, the lower one's does not). -1 when fewer
// than a few samples lie there.
double SupportWithin(const std::array<cv::Point2f, 4>& corners, const cv::Mat& colour,
                     const cv::Mat& inside);

}  // namespace tavrin::lens
