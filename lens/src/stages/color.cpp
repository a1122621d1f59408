#include "lens/src/stages/color.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

namespace tavrin::lens {

namespace {

// The document mode compares each pixel with the paper around it. The
// paper's brightness is what a maximum filter leaves of the page once it is
// wider than any stroke, so bold type and solid blocks stay solid, where a
// local-mean threshold would hollow them out; it follows a shadow across
// the page because the filter is local. It is worked out on a copy this
// many times smaller: light changes slowly.
constexpr int kBackgroundStep = 8;
// The filter's width as a part of the page's shorter side: wider than a
// heading's strokes, narrower than a lamp's fall-off.
constexpr double kBackgroundShare = 1.0 / 6;
// Ink is darker than this part of the paper around it; paper grain and
// sensor noise stay far above it, so flat paper stays white.
constexpr double kInkShareOfPaper = 0.72;

cv::Mat DocumentThreshold(const cv::Mat& grey) {
  cv::Mat small;
  const cv::Size smallSize(std::max(1, grey.cols / kBackgroundStep),
                           std::max(1, grey.rows / kBackgroundStep));
  cv::resize(grey, small, smallSize, 0, 0, cv::INTER_AREA);
  const int reach = std::max(
      1, static_cast<int>(kBackgroundShare * std::min(grey.cols, grey.rows) / kBackgroundStep / 2));
  const cv::Mat kernel =
      cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * reach + 1, 2 * reach + 1));
  cv::Mat paper;
  cv::dilate(small, paper, kernel);
  cv::GaussianBlur(paper, paper, cv::Size(2 * reach + 1, 2 * reach + 1), 0);
  cv::Mat levels;
  paper.convertTo(levels, CV_8U, kInkShareOfPaper);
  cv::resize(levels, levels, grey.size(), 0, 0, cv::INTER_LINEAR);
  cv::Mat out;
  cv::compare(grey, levels, out, cv::CMP_GT);
  return out;
}

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
    case kColorModeDocument:
      return DocumentThreshold(ToGrey(image));
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
