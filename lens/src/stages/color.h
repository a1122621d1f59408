// The colour modes of a capture.
// Threads: any; no state between calls.
#pragma once

#include <opencv2/core.hpp>

#include "lens/include/TavrinLens.h"

namespace tavrin::lens {

constexpr int kColorModeColor = kTavrinColorColour;
constexpr int kColorModeDocument = kTavrinColorDocument;  // threshold following the paper
constexpr int kColorModeGrey = kTavrinColorGrey;
constexpr int kColorModeOtsu = kTavrinColorBlackWhite;  // one global threshold

// Any mode other than 1, 3 and 4 is colour.
int NormalizeColorMode(int mode);
bool IsSingleChannelMode(int mode);

// image is CV_8UC3 (BGR) or CV_8UC1. Colour returns the image as it is (a
// grey input stays grey); the other modes return CV_8UC1, the two
// black-and-white ones holding only 0 and 255.
cv::Mat ApplyColorMode(const cv::Mat& image, int mode);

// CV_8UC1 of either input kind; a grey input is returned shared.
cv::Mat ToGrey(const cv::Mat& image);

}  // namespace tavrin::lens
