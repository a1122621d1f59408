#include "lens/src/stages/color.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

namespace tavrin::lens {

namespace {

// Text strokes are a few pixels wide; the neighbourhood must be clearly
// wider than a stroke yet small enough to follow a shadow across the page.
int DocumentBlockSize(cv::Size size) {
  int block = std::clamp(std::min(size.width, size.height) / 40, 15, 101);
  if (block % 2 == 0) ++block;
  return block;
}

// How much darker than its neighbourhood a pixel must be to count as ink.
// Paper grain and sensor noise stay below it, so flat paper stays white.
constexpr double kDocumentInkOffset = 12.0;

}  // namespace

int NormalizeColorMode(int mode) {
  switch (mode) {
    case kColorModeDocument:
    case kColorModeGrey:
    case kColorModeOtsu:
      return mode;
    default:
      return kColorModeColor;
  }
}

bool IsSingleChannelMode(int mode) {
  return NormalizeColorMode(mode) != kColorModeColor;
}

cv::Mat ToGrey(const cv::Mat& image) {
  if (image.channels() == 1) return image;
  cv::Mat grey;
  cv::cvtColor(image, grey, image.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
  return grey;
}

cv::Mat ApplyColorMode(const cv::Mat& image, int mode) {
  switch (NormalizeColorMode(mode)) {
    case kColorModeGrey:
      return ToGrey(image);
    case kColorModeDocument: {
      cv::Mat out;
      cv::adaptiveThreshold(ToGrey(image), out, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY,
                            DocumentBlockSize(image.size()), kDocumentInkOffset);
      return out;
    }
    case kColorModeOtsu: {
      cv::Mat out;
      cv::threshold(ToGrey(image), out, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
      return out;
    }
    default:
      return image;
  }
}

}  // namespace tavrin::lens
