#include "lens/src/stages/color.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "lens/src/memory/large_picture.h"
#include "lens/src/stages/area.h"

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
// The strokes' own contrast: where the darkest ink nearby is lighter than
// black (a thermal receipt's grey print, words under a glossy highlight),
// the window works between that ink and the paper instead of between black
// and the paper, so thin light strokes stay ink. From this contrast (the
// ink's against the paper, as a part of the paper) the stretch starts, fully
// at the second, where that ink also stands out from the paper's grain; the
// stretch never goes past the last (the ink's level over the paper's).
constexpr float kStrokeContrastLow = 0.08F;
constexpr float kStrokeContrastHigh = 0.14F;
constexpr float kFaintestInk = 0.8F;
// Ink darker than the first share of the paper is left to the window as it
// is (it stands out already, and a stretch would only thicken it); from
// the second the stretch is full.
constexpr float kDarkInk = 0.45F;
constexpr float kFaintInk = 0.6F;

cv::Mat Kernel(int reach) {
  return cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * reach + 1, 2 * reach + 1));
}

cv::Mat DocumentThreshold(const cv::Mat& grey) {
  // Block averages give the local mean and deviation over the window
  // (text and the paper between its lines differ from block to block);
  // the paper background comes from the coarser copy. The light changes slowly, so within a block
  // the flattened page is the grey page over one paper level: everything is worked out in flattened
  // units on the blocks, and the threshold is taken back to grey levels for the one full-size
  // comparison.
  const cv::Size blocks(std::max(1, grey.cols / kWindowStep), std::max(1, grey.rows / kWindowStep));
  cv::Mat mean = AreaAverage(grey, blocks);
  const cv::Mat coarse = AreaAverage(mean, cv::Size(std::max(1, grey.cols / kBackgroundStep),
                                                    std::max(1, grey.rows / kBackgroundStep)));
  cv::Mat paper;
  cv::resize(PaperBackground(coarse), paper, blocks, 0, 0, cv::INTER_LINEAR);

  mean.convertTo(mean, CV_32F);
  cv::Mat meanSquare = mean.mul(mean);
  const int window =
      std::max(3, static_cast<int>(kWindowShare * std::min(blocks.width, blocks.height)) | 1);
  cv::blur(mean, mean, cv::Size(window, window), cv::Point(-1, -1), cv::BORDER_REPLICATE);
  cv::blur(meanSquare, meanSquare, cv::Size(window, window), cv::Point(-1, -1),
           cv::BORDER_REPLICATE);
  cv::Mat variance = meanSquare - mean.mul(mean);
  variance = cv::max(variance, 0.0F);
  cv::Mat deviation;
  cv::sqrt(variance, deviation);
  // In flattened units: the mean and deviation over the paper level.
  cv::Mat flatMean;
  cv::Mat flatDeviation;
  cv::divide(mean, paper, flatMean, 255.0);
  cv::divide(deviation, paper, flatDeviation, 255.0);
  const InkAndGrain ink = DarkestInk(grey, blocks, window / 2);
  cv::Mat floorLevel(blocks, CV_32F);
  for (int y = 0; y < blocks.height; ++y) {
    const float* d = ink.dark.ptr<float>(y);
    const float* g = ink.grain.ptr<float>(y);
    const float* p = paper.ptr<float>(y);
    float* f = floorLevel.ptr<float>(y);
    for (int x = 0; x < blocks.width; ++x) {
      const float stroke = TextEvidence(p[x], d[x], g[x], kStrokeContrastLow, kStrokeContrastHigh);
      const float share = d[x] / p[x];
      const float faint = std::clamp((share - kDarkInk) / (kFaintInk - kDarkInk), 0.0F, 1.0F);
      f[x] = stroke * faint * 255.0F * std::min(share, kFaintestInk);
    }
  }
  cv::Mat gain = 255.0F / (255.0F - floorLevel);
  cv::Mat stretchedMean = (flatMean - floorLevel).mul(gain);
  cv::Mat stretchedDeviation = flatDeviation.mul(gain);
  cv::Mat level = stretchedMean.mul(1.0 + kSauvolaK * (stretchedDeviation / kSauvolaRange - 1.0));
  level = cv::max(level, static_cast<float>(kSureInk));
  cv::divide(level, gain, level);
  level += floorLevel;
  // Back to grey levels: paper at 255 in flattened units is the paper
  // level itself.
  cv::Mat greyLevel = level.mul(paper) / 255.0;
  cv::Mat blockLevels;
  greyLevel.convertTo(blockLevels, CV_8U);
  cv::Mat levels = NewPicture(grey.size(), CV_8UC1);
  cv::resize(blockLevels, levels, grey.size(), 0, 0, cv::INTER_LINEAR);
  cv::Mat out = NewPicture(grey.size(), CV_8UC1);
  cv::compare(grey, levels, out, cv::CMP_GT);
  return out;
}

}  // namespace

cv::Mat PaperBackground(const cv::Mat& small) {
  const int shorter = std::min(small.cols, small.rows);
  const int reach = std::max(3, static_cast<int>(kClosingShare * shorter));
  cv::Mat closed;
  cv::morphologyEx(small, closed, cv::MORPH_CLOSE, Kernel(reach));
  // The floor is a share of a blurred brightest paper, which is never
  // brighter than the brightest pixel: where the closing stands above that
  // share of it everywhere (no deep shadow, no wide black block), the floor
  // would change nothing and is not worked out.
  double lowest = 0;
  double highest = 0;
  cv::minMaxLoc(closed, &lowest, nullptr);
  cv::minMaxLoc(small, nullptr, &highest);
  cv::Mat paper = closed;
  if (lowest <= std::ceil(kDeepestShadow * highest) + 1) {
    const int wide = std::max(reach + 1, static_cast<int>(kPaperShare * shorter / 2));
    cv::Mat brightest;
    cv::dilate(small, brightest, Kernel(wide));
    cv::GaussianBlur(brightest, brightest, cv::Size(2 * wide + 1, 2 * wide + 1), 0);
    cv::Mat floor;
    brightest.convertTo(floor, CV_8U, kDeepestShadow);
    paper = cv::max(closed, floor);
  }
  cv::GaussianBlur(paper, paper, cv::Size(5, 5), 0);
  cv::Mat out;
  paper.convertTo(out, CV_32F);
  return cv::max(out, 1.0F);
}

InkAndGrain DarkestInk(const cv::Mat& grey, cv::Size cells, int reach) {
  const cv::Mat half =
      AreaAverage(grey, cv::Size(std::max(1, grey.cols / 2), std::max(1, grey.rows / 2)));
  cv::Mat local;
  cv::blur(half, local, cv::Size(3, 3));
  cv::Mat difference;
  cv::absdiff(half, local, difference);
  // Every half-size pixel of a cell is looked at: the erosion covers the
  // cell's span before one of them is picked.
  const int span = std::max(1, (half.cols + cells.width - 1) / cells.width);
  cv::Mat eroded;
  cv::erode(half, eroded, Kernel(span / 2 + 1));
  InkAndGrain out;
  cv::resize(eroded, out.dark, cells, 0, 0, cv::INTER_NEAREST);
  cv::erode(out.dark, out.dark, Kernel(reach));
  out.dark.convertTo(out.dark, CV_32F);
  // In eighths of a level, so that averaging keeps the fraction; over
  // patches of 8 x 8 half-size pixels, which a JPEG cannot leave all flat,
  // and the quietest patch within reach: between lines of text there is
  // blank paper.
  constexpr double kEighths = 8.0;
  constexpr int kPatch = 8;
  difference.convertTo(difference, CV_8U, kEighths);
  cv::Mat patches = AreaAverage(
      difference, cv::Size(std::max(1, half.cols / kPatch), std::max(1, half.rows / kPatch)));
  const int patchReach = std::max(
      1, static_cast<int>(std::lround(reach * static_cast<double>(patches.cols) / cells.width)));
  cv::erode(patches, patches, Kernel(patchReach));
  cv::Mat grain;
  cv::resize(patches, grain, cells, 0, 0, cv::INTER_LINEAR);
  grain.convertTo(out.grain, CV_32F, 1.0 / kEighths);
  return out;
}

float TextEvidence(float paper, float dark, float grain, float lowShare, float highShare) {
  // The darkest of many grainy pixels lies about four times their mean
  // difference below the paper.
  constexpr float kGrainLow = 8.0F;
  constexpr float kGrainHigh = 12.0F;
  const float step = paper - dark;
  const float byShare = (step / std::max(paper, 1.0F) - lowShare) / (highShare - lowShare);
  // Paper clipped white by a highlight has no grain left at all.
  constexpr float kLeastGrain = 1.0F;
  grain = std::max(grain, kLeastGrain);
  const float byGrain = (step - kGrainLow * grain) / ((kGrainHigh - kGrainLow) * grain);
  return std::clamp(std::min(byShare, byGrain), 0.0F, 1.0F);
}

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
  cv::Mat grey = NewPicture(image.size(), CV_8UC1);
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
      cv::Mat out = NewPicture(image.size(), CV_8UC1);
      cv::threshold(ToGrey(image), out, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
      return out;
    }
    default:
      return image;
  }
}

}  // namespace tavrin::lens
