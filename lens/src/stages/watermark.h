// The text watermark, drawn with QPainter into the final image.
// Threads: any thread, while a QGuiApplication exists (fonts need it).
#pragma once

#include <opencv2/core.hpp>

#include "lens/src/stages/pipeline.h"

namespace tavrin::lens {

enum class WatermarkResult {
  kDrawn,
  kNothingToDraw,  // switched off, empty text, or fully transparent
  kNoFonts,        // no QGuiApplication: the image is left as it is
};

// Draws the watermark into image (CV_8UC3 BGR or CV_8UC1) in place. dpiX and
// dpiY are the image's own, so that a size in points is that size on paper.
// A single-channel image gets the colour's grey level.
WatermarkResult DrawWatermark(cv::Mat& image, const WatermarkOptions& options, int dpiX, int dpiY);

// The font family drawn for a requested one: the request itself when it
// exists, else a sans-serif family that does. Needs a QGuiApplication.
std::string ResolveFontFamily(const std::string& requested);

// The cell of the 3 x 3 grid that position names (row by row from the top
// left); positions outside 0..8 are the middle.
int NormalizeWatermarkPosition(int position);

}  // namespace tavrin::lens
