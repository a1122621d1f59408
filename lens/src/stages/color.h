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

// The paper's brightness under the light it had, on a copy of a page
// several times smaller (CV_8UC1): what is narrower than text strokes and
// lines is closed over, and nothing is taken for paper in shadow that is
// much darker than the brightest paper nearby. CV_32F, never below 1.
cv::Mat PaperBackground(const cv::Mat& small);

// What a page's text looks like near each cell of a grid over grey
// (cells: the grid's size), both in grey levels (CV_32F): the darkest ink
// within reach cells, from a half-size copy so that a single noisy pixel is
// no ink, and the grain of the quietest paper there (the mean difference of the
// half-size copy from its own local mean). Darkest ink that is not
// many grains below the paper is grain, not ink.
struct InkAndGrain {
  cv::Mat dark;
  cv::Mat grain;
};
InkAndGrain DarkestInk(const cv::Mat& grey, cv::Size cells, int reach);

// How sure a cell is to hold text, 0 to 1, from the paper level, the
// darkest ink and the grain (the same units): the ink must stand out from
// the paper by both a share of the paper and many grains.
float TextEvidence(float paper, float dark, float grain, float lowShare, float highShare);

// CV_8UC1 of either input kind; a grey input is returned shared.
cv::Mat ToGrey(const cv::Mat& image);

}  // namespace tavrin::lens
