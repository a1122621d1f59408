#include "lens/src/stages/even_light.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "lens/src/memory/large_picture.h"
#include "lens/src/stages/color.h"

namespace tavrin::lens {

// The light on a page is a product and a sum: paper of reflectance r under
// illumination L gives r L, and a glossy sheet adds the lamp's mirrored
// light S on top of that, the same for ink and paper. The paper level P =
// L + S comes from the paper between the words (the closing the document
// mode also uses). Where text is near, the darkest ink D = a L + S says how
// much of P is S, given the ink's own reflectance a, which is taken from the
// page as a whole (the ink is the same ink under the highlight as outside
// it). Each pixel then becomes (v - S) / L, in each channel with that
// channel's paper level, so a warm lamp's cast goes as well.
//
// Everything is estimated on cells of this many pixels: light changes
// slowly.
namespace {

constexpr int kCell = 8;
// The paper comes out white from this share of its level up, so the grain
// on it is clipped rather than shown.
constexpr float kWhite = 0.94F;
// The darkest ink around a cell is looked for this far, as a part of the
// page's shorter side: farther than half the space between lines, so the
// paper between two lines knows the text is there.
constexpr double kInkReach = 1.0 / 48;
// A cell is taken to have text nearby from this contrast (the darkest ink
// against the paper, as a part of the paper) up to full at the second, and
// only where that ink stands out from the paper's grain too.
constexpr float kTextContrastLow = 0.07F;
constexpr float kTextContrastHigh = 0.12F;
// The page's ink level: this quantile of the darkest ink over the cells
// with text, and no lift at all when fewer cells than this share have any.
constexpr double kInkQuantile = 0.2;
constexpr double kMinTextCells = 0.01;
// Ink lighter than this share of the paper (a thermal receipt's grey
// print, thin strokes the lens blurred) is brought down to it: a flatbed's
// sharper look would have seen it about that dark.
constexpr float kInkTarget = 0.35F;
// The highlight's light is never taken for more than this share of the
// paper level: the gain on what is left stays bounded.
constexpr float kMaxLift = 0.8F;
// A cell is taken for blank paper when it is at least this share of the
// paper level; the paper's colour comes from such cells.
constexpr float kPaperCell = 0.9F;
// Gains that differ by less than this ratio over the page are taken as one:
// two per cent is a level or two of the paper's 255.
constexpr double kUniformGain = 1.02;
// Where the division raised the level by more than this, the grain it
// raised with it is smoothed, fully from twice that.
constexpr float kGrainGain = 2.0F;

cv::Mat Cells(const cv::Mat& image, cv::Size cells) {
  cv::Mat small;
  cv::resize(image, small, cells, 0, 0, cv::INTER_AREA);
  return small;
}

// The added light S per cell, in grey levels, that brings the darkest ink
// near each cell with text to the page's own ink level, or to kInkTarget
// when the page's ink as a whole is lighter than that.
cv::Mat InkLift(const cv::Mat& paper, const InkAndGrain& ink, int reach) {
  cv::Mat lift(paper.size(), CV_32F, cv::Scalar(0));
  // The crop's rim (and what the ink search carried in from it) is left
  // alone: a sliver of desk there is no ink.
  const int rim = reach + 2;
  cv::Mat text(paper.size(), CV_32F, cv::Scalar(0));
  std::vector<float> inkLevels;
  for (int y = 0; y < paper.rows; ++y) {
    const float* p = paper.ptr<float>(y);
    const float* d = ink.dark.ptr<float>(y);
    const float* g = ink.grain.ptr<float>(y);
    float* t = text.ptr<float>(y);
    if (y < rim || y >= paper.rows - rim) continue;
    for (int x = rim; x < paper.cols - rim; ++x) {
      t[x] = TextEvidence(p[x], d[x], g[x], kTextContrastLow, kTextContrastHigh);
      if (t[x] >= 1.0F) inkLevels.push_back(d[x] / p[x]);
    }
  }
  if (inkLevels.size() < kMinTextCells * static_cast<double>(paper.total())) return lift;
  auto nth = inkLevels.begin() + static_cast<long>(kInkQuantile * (inkLevels.size() - 1));
  std::nth_element(inkLevels.begin(), nth, inkLevels.end());
  const float target = std::min(*nth, kInkTarget);
  for (int y = 0; y < paper.rows; ++y) {
    const float* p = paper.ptr<float>(y);
    const float* d = ink.dark.ptr<float>(y);
    const float* t = text.ptr<float>(y);
    float* s = lift.ptr<float>(y);
    for (int x = 0; x < paper.cols; ++x) {
      // d = target L + S and p = L + S.
      const float light = (p[x] - d[x]) / (1.0F - target);
      s[x] = std::clamp(t[x] * (p[x] - light), 0.0F, kMaxLift * p[x]);
    }
  }
  cv::GaussianBlur(lift, lift, cv::Size(5, 5), 0);
  return lift;
}

// Rounded and clamped, written as selects the vectoriser maps to min and max.
inline uchar ToByte(float level) {
  level = level < 0.0F ? 0.0F : level;
  level = level > 255.0F ? 255.0F : level;
  return static_cast<uchar>(static_cast<int>(level + 0.5F));
}

// One row: the grain smoothed by weight w towards the median m, then
// (value - offset) * gain, each of w, offset and gain blended between the
// two cell rows around it by t. Plain loops over restrict pointers, which
// the vectoriser turns into wide instructions (this file is built for it).
void EvenRow(const uchar* __restrict in, const uchar* __restrict m, const float* __restrict w0,
             const float* __restrict w1, const float* __restrict o0, const float* __restrict o1,
             const float* __restrict g0, const float* __restrict g1, float t, uchar* __restrict out,
             int length) {
  if (m != nullptr) {
    for (int i = 0; i < length; ++i) {
      float v = in[i];
      const float w = w0[i] + t * (w1[i] - w0[i]);
      v += w * (static_cast<float>(m[i]) - v);
      const float offset = o0[i] + t * (o1[i] - o0[i]);
      const float gain = g0[i] + t * (g1[i] - g0[i]);
      out[i] = ToByte((v - offset) * gain);
    }
    return;
  }
  for (int i = 0; i < length; ++i) {
    const float offset = o0[i] + t * (o1[i] - o0[i]);
    const float gain = g0[i] + t * (g1[i] - g0[i]);
    out[i] = ToByte((static_cast<float>(in[i]) - offset) * gain);
  }
}

}  // namespace

cv::Mat EvenOutLight(const cv::Mat& page) {
  const int channels = page.channels();
  if (page.empty() || page.depth() != CV_8U || (channels != 1 && channels != 3) ||
      page.cols < 2 * kCell || page.rows < 2 * kCell) {
    return page.clone();
  }
  const cv::Size cells((page.cols + kCell - 1) / kCell, (page.rows + kCell - 1) / kCell);
  const cv::Mat grey = ToGrey(page);
  const cv::Mat paper = PaperBackground(Cells(grey, cells));
  const int reach =
      std::max(2, static_cast<int>(kInkReach * std::min(grey.cols, grey.rows) / kCell));
  const cv::Mat lift = InkLift(paper, DarkestInk(grey, cells, reach), reach);

  // Each channel's paper level, per cell: the grey one times the paper's
  // colour, which a lamp gives the whole page.
  std::vector<cv::Mat> channelPaper;
  if (channels == 3) {
    const cv::Mat colourCells = Cells(page, cells);
    const cv::Mat greyCells = Cells(grey, cells);
    std::array<std::vector<float>, 3> shares;
    for (int y = 0; y < cells.height; ++y) {
      const float* p = paper.ptr<float>(y);
      const uchar* g = greyCells.ptr<uchar>(y);
      const cv::Vec3b* c = colourCells.ptr<cv::Vec3b>(y);
      for (int x = 0; x < cells.width; ++x) {
        if (g[x] < kPaperCell * p[x] || g[x] == 0) continue;
        for (size_t k = 0; k < 3; ++k) shares[k].push_back(static_cast<float>(c[x][k]) / g[x]);
      }
    }
    for (auto& share : shares) {
      float colour = 1.0F;
      if (!share.empty()) {
        auto middle = share.begin() + static_cast<long>(share.size() / 2);
        std::nth_element(share.begin(), middle, share.end());
        colour = std::max(*middle, 0.05F);
      }
      channelPaper.push_back(paper * colour);
    }
  } else {
    channelPaper.push_back(paper);
  }
  std::vector<cv::Mat> offsets;
  std::vector<cv::Mat> gains;
  std::vector<cv::Mat> smoothing;
  cv::Mat greyLight = (paper - lift) * kWhite;
  cv::Mat grain = (255.0F / greyLight - kGrainGain) / kGrainGain;
  grain = cv::max(grain, 0.0F);
  grain = cv::min(grain, 1.0F);
  double mostGrain = 0;
  cv::minMaxLoc(grain, nullptr, &mostGrain);
  for (const cv::Mat& level : channelPaper) {
    cv::Mat share;
    cv::divide(level, paper, share);
    cv::Mat offset = lift.mul(share);
    cv::Mat left = level - offset;
    left = cv::max(left, 1.0F) * kWhite;
    cv::Mat gain = 255.0F / left;
    offsets.push_back(offset);
    gains.push_back(gain);
    smoothing.push_back(grain);
  }
  // A page lit evenly enough (no highlight, no grain to smooth, every
  // channel's gain the same everywhere within a few levels) takes one
  // table per channel, far cheaper than the per-pixel blend.
  double mostLift = 0;
  cv::minMaxLoc(lift, nullptr, &mostLift);
  bool uniform = mostLift <= 0 && mostGrain <= 0;
  for (size_t c = 0; c < gains.size() && uniform; ++c) {
    double least = 0;
    double most = 0;
    cv::minMaxLoc(gains[c], &least, &most);
    uniform = most <= kUniformGain * least;
  }
  if (uniform) {
    cv::Mat table(1, 256, CV_8UC(channels));
    for (int c = 0; c < channels; ++c) {
      const auto gain = static_cast<float>(cv::mean(gains[static_cast<size_t>(c)])[0]);
      for (int v = 0; v < 256; ++v) table.ptr<uchar>()[v * channels + c] = ToByte(v * gain);
    }
    cv::Mat out = NewPicture(page.size(), page.type());
    cv::LUT(page, table, out);
    return out;
  }
  // Stretched across the width here; the rows are blended as they are used.
  const cv::Size wide(page.cols, cells.height);
  cv::Mat offsetRows;
  cv::Mat gainRows;
  cv::Mat grainRows;
  cv::Mat merged;
  cv::merge(offsets, merged);
  cv::resize(merged, offsetRows, wide, 0, 0, cv::INTER_LINEAR);
  cv::merge(gains, merged);
  cv::resize(merged, gainRows, wide, 0, 0, cv::INTER_LINEAR);
  const bool smooth = mostGrain > 0;
  if (smooth) {
    cv::merge(smoothing, merged);
    cv::resize(merged, grainRows, wide, 0, 0, cv::INTER_LINEAR);
  }

  cv::Mat out = NewPicture(page.size(), page.type());
  const double rowScale = static_cast<double>(cells.height) / page.rows;
  const int length = page.cols * channels;
  cv::parallel_for_(cv::Range(0, page.rows), [&](const cv::Range& range) {
    // The median of this strip's rows (and one more on each side, which
    // the 3 x 3 window reaches), strip by strip so that it runs in parallel.
    cv::Mat median;
    int medianTop = 0;
    if (smooth) {
      medianTop = std::max(0, range.start - 1);
      const int bottom = std::min(page.rows, range.end + 1);
      cv::medianBlur(page.rowRange(medianTop, bottom), median, 3);
    }
    for (int y = range.start; y < range.end; ++y) {
      const double at = std::max(0.0, (y + 0.5) * rowScale - 0.5);
      const int r0 = std::min(static_cast<int>(at), cells.height - 1);
      const int r1 = std::min(r0 + 1, cells.height - 1);
      const auto t = static_cast<float>(at - r0);
      EvenRow(page.ptr<uchar>(y), smooth ? median.ptr<uchar>(y - medianTop) : nullptr,
              smooth ? grainRows.ptr<float>(r0) : nullptr,
              smooth ? grainRows.ptr<float>(r1) : nullptr, offsetRows.ptr<float>(r0),
              offsetRows.ptr<float>(r1), gainRows.ptr<float>(r0), gainRows.ptr<float>(r1), t,
              out.ptr<uchar>(y), length);
    }
  });
  return out;
}

}  // namespace tavrin::lens
