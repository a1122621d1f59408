#include "lens/src/stages/color.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

namespace tavrin::lens {

namespace {

// The document mode first works out the paper's own brightness under the
// light it had (the background), divides it out so that shadows and a
// lamp's fall-off become plain white paper, and then thresholds locally
// against the flattened page, Sauvola's way: a pixel is ink when it is
// darker than the local mean by a margin that shrinks where the local
// contrast is high (text) and grows where it is low (blank paper, so grain
// and noise stay white).
//
// The background is worked out on a copy this many times smaller: light
// changes slowly.
constexpr int kBackgroundStep = 8;
// A closing (largest, then smallest, over this part of the shorter side)
// removes what is narrower than strokes and keeps the steps of shadows.
constexpr double kClosingShare = 1.0 / 24;
// Nothing darker than this share of the brightest paper nearby is taken
// for paper in shadow: a heading bar or a black block wider than the
// closing stays ink, while a shadow darkens paper by less.
constexpr double kDeepestShadow = 0.4;
// The wide look-around for that brightest paper, as a part of the shorter
// side.
constexpr double kPaperShare = 1.0 / 6;
// The Sauvola window, as a part of the shorter side (a few lines of text),
// worked out on a copy this many times smaller; its sensitivity k and the
// dynamic range R of the standard deviation.
constexpr int kWindowStep = 4;
constexpr double kWindowShare = 1.0 / 24;
constexpr double kSauvolaK = 0.3;
constexpr double kSauvolaRange = 128.0;
// Darker than this share of the paper is ink whatever the window says:
// inside a solid block the local mean is the ink itself.
constexpr int kSureInk = 128;

cv::Mat Kernel(int reach) {
  return cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * reach + 1, 2 * reach + 1));
}

cv::Mat PaperBackground(const cv::Mat& grey) {
  cv::Mat small;
  const cv::Size smallSize(std::max(1, grey.cols / kBackgroundStep),
                           std::max(1, grey.rows / kBackgroundStep));
  cv::resize(grey, small, smallSize, 0, 0, cv::INTER_AREA);
  const int shorter = std::min(small.cols, small.rows);
  const int reach = std::max(3, static_cast<int>(kClosingShare * shorter));
  cv::Mat closed;
  cv::morphologyEx(small, closed, cv::MORPH_CLOSE, Kernel(reach));
  const int wide = std::max(reach + 1, static_cast<int>(kPaperShare * shorter / 2));
  cv::Mat brightest;
  cv::dilate(small, brightest, Kernel(wide));
  cv::GaussianBlur(brightest, brightest, cv::Size(2 * wide + 1, 2 * wide + 1), 0);
  cv::Mat floor;
  brightest.convertTo(floor, CV_8U, kDeepestShadow);
  cv::Mat paper = cv::max(closed, floor);
  cv::GaussianBlur(paper, paper, cv::Size(5, 5), 0);
  paper = cv::max(paper, 1);
  cv::Mat full;
  cv::resize(paper, full, grey.size(), 0, 0, cv::INTER_LINEAR);
  return full;
}

cv::Mat DocumentThreshold(const cv::Mat& grey) {
  // Flat: paper at 255 wherever it is, ink at its share of the paper.
  cv::Mat flat;
  cv::divide(grey, PaperBackground(grey), flat, 255.0, CV_8U);

  // The local mean and deviation over the window, from block averages of
  // the value and its square (the square fits 16 bits).
  cv::Mat square;
  cv::multiply(flat, flat, square, 1.0, CV_16U);
  const cv::Size blocks(std::max(1, grey.cols / kWindowStep), std::max(1, grey.rows / kWindowStep));
  cv::Mat mean;
  cv::Mat meanSquare;
  cv::resize(flat, mean, blocks, 0, 0, cv::INTER_AREA);
  cv::resize(square, meanSquare, blocks, 0, 0, cv::INTER_AREA);
  mean.convertTo(mean, CV_32F);
  meanSquare.convertTo(meanSquare, CV_32F);
  const int window =
      std::max(3, static_cast<int>(kWindowShare * std::min(blocks.width, blocks.height)) | 1);
  cv::blur(mean, mean, cv::Size(window, window), cv::Point(-1, -1), cv::BORDER_REPLICATE);
  cv::blur(meanSquare, meanSquare, cv::Size(window, window), cv::Point(-1, -1),
           cv::BORDER_REPLICATE);
  cv::Mat variance = meanSquare - mean.mul(mean);
  variance = cv::max(variance, 0.0F);
  cv::Mat deviation;
  cv::sqrt(variance, deviation);
  cv::Mat level = mean.mul(1.0 + kSauvolaK * (deviation / kSauvolaRange - 1.0));
  cv::Mat levels;
  level.convertTo(levels, CV_8U);
  levels = cv::max(levels, kSureInk);
  cv::resize(levels, levels, grey.size(), 0, 0, cv::INTER_LINEAR);
  cv::Mat out;
  cv::compare(flat, levels, out, cv::CMP_GT);
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
