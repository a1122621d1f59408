// The text watermark, stamped into the final image. With a
// QGuiApplication the text is drawn by Qt; without one (a host program
// that loads the library without a GUI) by FreeType with fontconfig.
// Threads: any.
#pragma once

#include <opencv2/core.hpp>

#include "lens/src/stages/pipeline.h"

namespace tavrin::lens {

enum class WatermarkResult {
  kDrawn,
  kNothingToDraw,  // switched off, empty text, or fully transparent
  kNoFonts,        // no font could be loaded: the image is left as it is
};

enum class WatermarkInk {
  kColour,         // the chosen colour, blended by the transparency
  kHalftoneBlack,  // black-and-white pictures: black, the transparency as a dot pattern
};

// Draws the watermark into image (CV_8UC3 BGR or CV_8UC1) in place. dpiX and
// dpiY are the image's own, so that a size in points is that size on paper.
// A single-channel image gets the colour's grey level. With kHalftoneBlack
// the image stays two-level: a share of the text's pixels equal to its
// opacity turns black, whatever the colour, so a light or transparent mark
// still shows on a black-and-white page.
WatermarkResult DrawWatermark(cv::Mat& image, const WatermarkOptions& options, int dpiX, int dpiY,
                              WatermarkInk ink = WatermarkInk::kColour);

// The font family drawn for a requested one: the request itself when it
// exists, else a sans-serif family that does. Needs a QGuiApplication.
// Without one the family is handed to fontconfig, which does its own
// falling back.
std::string ResolveFontFamily(const std::string& requested);

// The cell of the 3 x 3 grid that position names (row by row from the top
// left); positions outside 0..8 are the middle.
int NormalizeWatermarkPosition(int position);

}  // namespace tavrin::lens
