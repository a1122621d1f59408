// Evened-out light for a colour or grey page: what a flatbed would have
// given instead of the desk lamp's light.
// Threads: any; no state between calls.
#pragma once

#include <opencv2/core.hpp>

namespace tavrin::lens {

// page is CV_8UC3 (BGR) or CV_8UC1, a crop of one page. The paper's
// illumination is estimated (each channel's, so a warm cast goes with it)
// and divided out: the paper comes out white, the ink keeps its own colour,
// and where the light was low the grain that the division would raise is
// smoothed. A glossy highlight's added light is taken off where text shows
// through it, so faint words under it come back to the page's own ink.
// Returns a new picture of the same size and type; page is not written.
cv::Mat EvenOutLight(const cv::Mat& page);

// The same, written over page itself where each pixel's result depends on
// its own value alone (no grain to smooth), which spares a second picture's
// memory; else into a new one. page must be no view of a picture that is
// still to be read. Returns the picture written.
cv::Mat EvenOutLightOver(cv::Mat& page);

}  // namespace tavrin::lens
