// Puts a second picture inside or beside a first one and writes the result.
// Threads: any; no state between calls.
#pragma once

#include <string>

namespace tavrin::lens {

constexpr int kCombineWritten = 0;
constexpr int kCombineFirstUnreadable = 1;
constexpr int kCombineSecondUnreadable = 2;
constexpr int kCombineBadPlacement = 3;   // mode outside 0..8, or no size for mode 0
constexpr int kCombineBadOutputType = 4;  // an extension other than .bmp .jpg .jpeg .png
constexpr int kCombineWriteFailed = 5;

// mode 0: second drawn inside first at x, y, scaled to w x h (pixels of the
// first; what falls outside the first is cut off).
// modes 1..8: second put beside first, clockwise from the upper part of the
// left side: 1 left/upper, 2 above/left, 3 above/right, 4 right/upper,
// 5 right/lower, 6 below/right, 7 below/left, 8 left/lower. It is scaled
// to w x h when both are positive, else to the first's height (sides) or
// width (above, below). The canvas grows to hold both; the free area is
// white.
// The output format follows output's extension (none: JPEG); the first
// picture's DPI is written. The file appears complete or not at all.
// Returns kCombineWritten or one of the failure codes; on failure nothing
// is written.
int CombineImages(const std::string& first, const std::string& second, const std::string& output,
                  int mode, int x, int y, int w, int h);

}  // namespace tavrin::lens
