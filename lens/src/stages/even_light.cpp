#include "lens/src/stages/even_light.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "lens/src/memory/large_picture.h"
#include "lens/src/stages/area.h"
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
// The grain's median is taken this many rows at a time.
constexpr int kMedianRows = 32;
// The smallest page of memory the kernel hands out.
constexpr size_t kMemoryPage = 4096;

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

// Where each pixel of a row takes a cell row's values from: between cell
// from[x] and the next by share[x], the way cv::resize stretches a row
// (the same arithmetic, so the light is the same to the last bit as the
// field stretched whole).
struct Stretch {
  std::vector<int> from;
  std::vector<float> share;
  // From this pixel on, the last cell's value alone.
  int lastFrom = 0;
};

Stretch MakeStretch(int cols, int cells) {
  Stretch stretch;
  stretch.from.resize(static_cast<size_t>(cols));
  stretch.share.resize(static_cast<size_t>(cols));
  stretch.lastFrom = cols;
  const double scale = 1.0 / (static_cast<double>(cols) / cells);
  for (int x = 0; x < cols; ++x) {
    auto at = static_cast<float>((x + 0.5) * scale - 0.5);
    int from = cvFloor(at);
    at -= static_cast<float>(from);
    if (from < 0) {
      from = 0;
      at = 0.0F;
    }
    if (from + 1 >= cells) {
      stretch.lastFrom = std::min(stretch.lastFrom, x);
      from = cells - 1;
      at = 0.0F;
    }
    stretch.from[static_cast<size_t>(x)] = from;
    stretch.share[static_cast<size_t>(x)] = at;
  }
  return stretch;
}

// One cell row of a field (channels values a cell) stretched along a pixel
// row: out holds cols * channels values.
template <int C>
void StretchRow(const float* cells, const Stretch& stretch, int cols, float* out) {
  for (int x = 0; x < stretch.lastFrom; ++x) {
    const int from = stretch.from[static_cast<size_t>(x)] * C;
    const float share = stretch.share[static_cast<size_t>(x)];
    const float keep = 1.0F - share;
    for (int c = 0; c < C; ++c)
      out[x * C + c] = cells[from + c] * keep + cells[from + C + c] * share;
  }
  for (int x = stretch.lastFrom; x < cols; ++x) {
    const int from = stretch.from[static_cast<size_t>(x)] * C;
    for (int c = 0; c < C; ++c) out[x * C + c] = cells[from + c];
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
// StretchRow for three channels, a pixel's three values at a time in one
// vector, by the same operations. The vectors read one value past the
// cells' and write one past the pixel's: cells must have one value more
// than the row holds, and out room for one more.
__attribute__((target("avx2"))) void StretchColourWide(const float* cells, const Stretch& stretch,
                                                       int cols, float* out) {
  for (int x = 0; x < stretch.lastFrom; ++x) {
    const int from = stretch.from[static_cast<size_t>(x)] * 3;
    const float share = stretch.share[static_cast<size_t>(x)];
    const __m128 near = _mm_mul_ps(_mm_loadu_ps(cells + from), _mm_set1_ps(1.0F - share));
    const __m128 next = _mm_mul_ps(_mm_loadu_ps(cells + from + 3), _mm_set1_ps(share));
    _mm_storeu_ps(out + x * 3, _mm_add_ps(near, next));
  }
  for (int x = stretch.lastFrom; x < cols; ++x) {
    const int from = stretch.from[static_cast<size_t>(x)] * 3;
    for (int c = 0; c < 3; ++c) out[x * 3 + c] = cells[from + c];
  }
}

// StretchRow for one channel, eight pixels at a time, each taking its two
// cells' values by a gather and blending them by the same operations.
__attribute__((target("avx2"))) void StretchGreyWide(const float* cells, const Stretch& stretch,
                                                     int cols, float* out) {
  int x = 0;
  for (; x + 8 <= stretch.lastFrom; x += 8) {
    const __m256i from =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(stretch.from.data() + x));
    const __m256 share = _mm256_loadu_ps(stretch.share.data() + x);
    const __m256 keep = _mm256_sub_ps(_mm256_set1_ps(1.0F), share);
    const __m256 near = _mm256_i32gather_ps(cells, from, 4);
    const __m256 next = _mm256_i32gather_ps(cells + 1, from, 4);
    _mm256_storeu_ps(out + x, _mm256_add_ps(_mm256_mul_ps(near, keep), _mm256_mul_ps(next, share)));
  }
  for (; x < stretch.lastFrom; ++x) {
    const int from = stretch.from[static_cast<size_t>(x)];
    const float share = stretch.share[static_cast<size_t>(x)];
    out[x] = cells[from] * (1.0F - share) + cells[from + 1] * share;
  }
  for (; x < cols; ++x) out[x] = cells[stretch.from[static_cast<size_t>(x)]];
}
#endif

// The fields of one pixel row: each value's gain, offset and grain weight,
// blended by t between their stretched cell rows above (a) and below (b).
// offset is left out when there is no lift, grain where nothing is smoothed.
struct RowFields {
  const float* gainA;
  const float* gainB;
  const float* offsetA;
  const float* offsetB;
  const float* grainA;
  const float* grainB;
  float t;
};

// count values from value index at of one row: the grain smoothed by weight
// w towards the median, then (value - offset) * gain.
template <bool Smooth, bool Lift>
// in and out may be the same row (each value is read before it is written).
void EvenValuesPlain(const uchar* in, const uchar* __restrict median, uchar* out, int at, int count,
                     const RowFields& row) {
  const float* __restrict gA = row.gainA + at;
  const float* __restrict gB = row.gainB + at;
  const float* __restrict oA = Lift ? row.offsetA + at : nullptr;
  const float* __restrict oB = Lift ? row.offsetB + at : nullptr;
  const float* __restrict wA = Smooth ? row.grainA + at : nullptr;
  const float* __restrict wB = Smooth ? row.grainB + at : nullptr;
  const float t = row.t;
  for (int i = 0; i < count; ++i) {
    float v = in[i];
    if constexpr (Smooth) {
      const float w = wA[i] + t * (wB[i] - wA[i]);
      v += w * (static_cast<float>(median[i]) - v);
    }
    if constexpr (Lift) v -= oA[i] + t * (oB[i] - oA[i]);
    out[i] = ToByte(v * (gA[i] + t * (gB[i] - gA[i])));
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same, sixteen values a step in eight-wide vectors, on processors
// that have them: the same operations in the same order (no fused
// multiply-add), so the result is the same to the last bit. Adding a half
// and cutting the fraction rounds as ToByte does, and the saturating packs
// clamp to 0..255 as it does.
#define TAVRIN_WIDE __attribute__((target("avx2"), always_inline)) inline

// a + t (b - a), eight values at a time.
TAVRIN_WIDE __m256 BlendWide(const float* a, const float* b, __m256 t) {
  const __m256 first = _mm256_loadu_ps(a);
  return _mm256_add_ps(first, _mm256_mul_ps(t, _mm256_sub_ps(_mm256_loadu_ps(b), first)));
}

// Sixteen bytes as two times eight floats.
TAVRIN_WIDE void WidenWide(const uchar* bytes, __m256* values) {
  const __m128i packed = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
  values[0] = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(packed));
  values[1] = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(packed, 8)));
}

template <bool Smooth, bool Lift>
__attribute__((target("avx2"))) void EvenValuesWide(const uchar* in, const uchar* median,
                                                    uchar* out, int at, int count,
                                                    const RowFields& row) {
  const __m256 t = _mm256_set1_ps(row.t);
  const __m256 half = _mm256_set1_ps(0.5F);
  int i = 0;
  for (; i + 16 <= count; i += 16) {
    __m256 v[2];
    WidenWide(in + i, v);
    __m256 m[2];
    if constexpr (Smooth) WidenWide(median + i, m);
    __m256i levels[2];
    for (int h = 0; h < 2; ++h) {
      const int k = at + i + 8 * h;
      __m256 value = v[h];
      if constexpr (Smooth) {
        const __m256 w = BlendWide(row.grainA + k, row.grainB + k, t);
        value = _mm256_add_ps(value, _mm256_mul_ps(w, _mm256_sub_ps(m[h], value)));
      }
      if constexpr (Lift)
        value = _mm256_sub_ps(value, BlendWide(row.offsetA + k, row.offsetB + k, t));
      value = _mm256_mul_ps(value, BlendWide(row.gainA + k, row.gainB + k, t));
      levels[h] = _mm256_cvttps_epi32(_mm256_add_ps(value, half));
    }
    const __m256i words = _mm256_permute4x64_epi64(_mm256_packs_epi32(levels[0], levels[1]), 0xD8);
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(out + i),
        _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1)));
  }
  EvenValuesPlain<Smooth, Lift>(in + i, Smooth ? median + i : nullptr, out + i, at + i, count - i,
                                row);
}

#undef TAVRIN_WIDE

#endif

template <bool Smooth, bool Lift>
void EvenValues(const uchar* in, const uchar* median, uchar* out, int at, int count,
                const RowFields& row) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (WideVectors()) {
    EvenValuesWide<Smooth, Lift>(in, median, out, at, count, row);
    return;
  }
#endif
  EvenValuesPlain<Smooth, Lift>(in, median, out, at, count, row);
}

// One row, its values from from to to smoothed (median holds those).
template <bool Lift>
void EvenRow(const uchar* in, const uchar* median, int from, int to, uchar* out, int count,
             const RowFields& row) {
  if (median == nullptr || from >= to) {
    EvenValues<false, Lift>(in, nullptr, out, 0, count, row);
    return;
  }
  EvenValues<false, Lift>(in, nullptr, out, 0, from, row);
  EvenValues<true, Lift>(in + from, median, out + from, from, to - from, row);
  EvenValues<false, Lift>(in + to, nullptr, out + to, to, count - to, row);
}

// The pixel columns [from, to) whose grain is smoothed anywhere between
// cell rows first and last of a page cols wide (false: none): where the
// stretched grain of a cell that has any is not zero, with a pixel or two
// to spare (a value whose weight is zero comes out the same either way).
bool SmoothedColumns(const cv::Mat& grain, int first, int last, int cols, int& from, int& to) {
  int least = grain.cols;
  int most = -1;
  for (int r = first; r <= last; ++r) {
    const float* g = grain.ptr<float>(r);
    for (int x = 0; x < grain.cols; ++x) {
      if (g[x] > 0.0F) {
        least = std::min(least, x);
        most = std::max(most, x);
      }
    }
  }
  if (most < 0) return false;
  const double cellWidth = static_cast<double>(cols) / grain.cols;
  from = std::max(0, static_cast<int>((least - 1) * cellWidth) - 2);
  to = std::min(cols, static_cast<int>((most + 2) * cellWidth) + 3);
  return true;
}

// The paper's colour, which a lamp gives the whole page: each channel's
// median share of the grey level over the cells of blank paper.
std::array<float, 3> PaperColour(const cv::Mat& colourCells, const cv::Mat& greyCells,
                                 const cv::Mat& paper) {
  std::array<std::vector<float>, 3> shares;
  for (auto& share : shares) share.reserve(paper.total());
  for (int y = 0; y < paper.rows; ++y) {
    const float* p = paper.ptr<float>(y);
    const uchar* g = greyCells.ptr<uchar>(y);
    const cv::Vec3b* c = colourCells.ptr<cv::Vec3b>(y);
    for (int x = 0; x < paper.cols; ++x) {
      if (g[x] < kPaperCell * p[x] || g[x] == 0) continue;
      for (size_t k = 0; k < 3; ++k) shares[k].push_back(static_cast<float>(c[x][k]) / g[x]);
    }
  }
  std::array<float, 3> colour{1.0F, 1.0F, 1.0F};
  for (size_t k = 0; k < 3; ++k) {
    std::vector<float>& share = shares[k];
    if (share.empty()) continue;
    auto middle = share.begin() + static_cast<long>(share.size() / 2);
    std::nth_element(share.begin(), middle, share.end());
    colour[k] = std::max(*middle, 0.05F);
  }
  return colour;
}

// writable: page itself may take the result where each pixel's depends on
// its own value alone.
cv::Mat EvenOut(const cv::Mat& page, bool writable) {
  const int channels = page.channels();
  if (page.empty() || page.depth() != CV_8U || (channels != 1 && channels != 3) ||
      page.cols < 2 * kCell || page.rows < 2 * kCell) {
    return writable ? page : page.clone();
  }
  const cv::Size cells((page.cols + kCell - 1) / kCell, (page.rows + kCell - 1) / kCell);
  const cv::Mat grey = ToGrey(page);
  const int reach =
      std::max(2, static_cast<int>(kInkReach * std::min(grey.cols, grey.rows) / kCell));
  // Written once and soon encoded: large pages spare most of the faults of
  // fresh memory, and the rest are taken below while a core is free. A page
  // that may be written over needs none, unless its grain is smoothed.
  const auto newOutput = [&] {
    return NewPicture(page.rows, page.cols, page.type(), kLargeFrameBytes);
  };
  cv::Mat out = writable ? cv::Mat() : newOutput();
  // The darkest ink needs the grey page alone and the paper's level and
  // colour need no ink: the ink, the paper's level and the colour page's
  // cells (which also lays out the output's memory) are worked out side by
  // side, on whichever core is free.
  InkAndGrain ink;
  cv::Mat greyCells;
  cv::Mat paper;
  cv::Mat colourCells;
  cv::parallel_for_(
      cv::Range(0, 3),
      [&](const cv::Range& range) {
        for (int task = range.start; task < range.end; ++task) {
          if (task == 0) {
            ink = DarkestInk(grey, cells, reach);
          } else if (task == 1) {
            greyCells = AreaAverage(grey, cells);
            paper = PaperBackground(greyCells);
          } else {
            if (channels == 3) colourCells = AreaAverage(page, cells);
            for (size_t at = 0; at < out.total() * out.elemSize(); at += kMemoryPage) {
              out.data[at] = 0;
            }
          }
        }
      },
      3);
  std::array<float, 3> colour{1.0F, 1.0F, 1.0F};
  if (channels == 3) colour = PaperColour(colourCells, greyCells, paper);
  const cv::Mat lift = InkLift(paper, ink, reach);

  // Each channel's paper level, per cell: the grey one times the paper's
  // colour, which a lamp gives the whole page.
  std::vector<cv::Mat> channelPaper;
  for (int c = 0; c < channels; ++c) {
    channelPaper.push_back(channels == 3 ? cv::Mat(paper * colour[static_cast<size_t>(c)]) : paper);
  }
  std::vector<cv::Mat> offsets;
  std::vector<cv::Mat> gains;
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
  }
  const std::vector<cv::Mat> grains(static_cast<size_t>(channels), grain);
  const int values = page.cols * channels;

  // A page lit evenly enough (no highlight, no grain to smooth, every
  // channel's gain the same everywhere within a few levels) takes one gain
  // per channel, far cheaper than the per-pixel blend.
  double mostLift = 0;
  cv::minMaxLoc(lift, nullptr, &mostLift);
  // The median of the grain reads the rows about each one as they were.
  if (out.empty()) out = mostGrain > 0 ? newOutput() : page;
  bool uniform = mostLift <= 0 && mostGrain <= 0;
  for (size_t c = 0; c < gains.size() && uniform; ++c) {
    double least = 0;
    double most = 0;
    cv::minMaxLoc(gains[c], &least, &most);
    uniform = most <= kUniformGain * least;
  }
  if (uniform) {
    std::vector<float> gainRow(static_cast<size_t>(values));
    for (int c = 0; c < channels; ++c) {
      const auto gain = static_cast<float>(cv::mean(gains[static_cast<size_t>(c)])[0]);
      for (int x = c; x < values; x += channels) gainRow[static_cast<size_t>(x)] = gain;
    }
    const RowFields row{gainRow.data(), gainRow.data(), nullptr, nullptr, nullptr, nullptr, 0.0F};
    cv::parallel_for_(cv::Range(0, page.rows), [&](const cv::Range& range) {
      for (int y = range.start; y < range.end; ++y) {
        EvenValues<false, false>(page.ptr<uchar>(y), nullptr, out.ptr<uchar>(y), 0, values, row);
      }
    });
    return out;
  }

  cv::Mat gainCells;
  cv::Mat offsetCells;
  cv::Mat grainCells;
  cv::merge(gains, gainCells);
  cv::merge(offsets, offsetCells);
  cv::merge(grains, grainCells);
  const bool lifted = mostLift > 0;
  const bool smooth = mostGrain > 0;
  const Stretch stretch = MakeStretch(page.cols, cells.width);
  const double rowScale = static_cast<double>(cells.height) / page.rows;
  const auto cellRows = [&](int y, int& r0, int& r1) {
    const double at = std::max(0.0, (y + 0.5) * rowScale - 0.5);
    r0 = std::min(static_cast<int>(at), cells.height - 1);
    r1 = std::min(r0 + 1, cells.height - 1);
    return static_cast<float>(at - r0);
  };
  // Strips of rows for the two cores; a few each, so one that runs late
  // does not hold up the rest.
  const int strips = std::max(1, cv::getNumThreads()) * 4;
  cv::parallel_for_(
      cv::Range(0, page.rows),
      [&](const cv::Range& range) {
        // Two cell rows stretched along the row, the one above the pixel
        // row and the one below, kept while the pixel rows pass between
        // them.
        struct Stretched {
          int row = -1;
          bool grain = false;
          std::vector<float> gain;
          std::vector<float> offset;
          std::vector<float> grainWeight;
        };
        // One value more than a row holds, which the vectors may write.
        std::array<Stretched, 2> slots;
        for (Stretched& slot : slots) {
          slot.gain.resize(static_cast<size_t>(values) + 1);
          if (lifted) slot.offset.resize(static_cast<size_t>(values) + 1);
          if (smooth) slot.grainWeight.resize(static_cast<size_t>(values) + 1);
        }
        // A cell row with one value more, which they may read.
        std::vector<float> cellRow(static_cast<size_t>(cells.width) * 3 + 1);
        const auto stretched = [&](int r, int keep, bool withGrain) -> const Stretched& {
          for (Stretched& slot : slots) {
            if (slot.row == r && (slot.grain || !withGrain)) return slot;
          }
          Stretched& slot = slots[0].row == keep && keep != r ? slots[1] : slots[0];
          const auto fill = [&](const cv::Mat& field, std::vector<float>& into) {
#if defined(__x86_64__) && defined(__GNUC__)
            if (channels == 1 && WideVectors()) {
              StretchGreyWide(field.ptr<float>(r), stretch, page.cols, into.data());
              return;
            }
#endif
            if (channels == 1) {
              StretchRow<1>(field.ptr<float>(r), stretch, page.cols, into.data());
              return;
            }
#if defined(__x86_64__) && defined(__GNUC__)
            if (WideVectors()) {
              std::copy_n(field.ptr<float>(r), cells.width * 3, cellRow.begin());
              StretchColourWide(cellRow.data(), stretch, page.cols, into.data());
              return;
            }
#endif
            StretchRow<3>(field.ptr<float>(r), stretch, page.cols, into.data());
          };
          slot.row = r;
          fill(gainCells, slot.gain);
          if (lifted) fill(offsetCells, slot.offset);
          if (withGrain) fill(grainCells, slot.grainWeight);
          slot.grain = withGrain;
          return slot;
        };
        // The grain's median, a block of rows at a time and only over the
        // columns smoothed, into one small buffer that stays in the cache.
        cv::Mat medianStore;
        for (int top = range.start; top < range.end; top += kMedianRows) {
          const int bottom = std::min(range.end, top + kMedianRows);
          cv::Mat median;
          int from = 0;
          int to = 0;
          int r0 = 0;
          int r1 = 0;
          cellRows(top, r0, r1);
          const int first = r0;
          cellRows(bottom - 1, r0, r1);
          if (smooth && SmoothedColumns(grain, first, r1, page.cols, from, to)) {
            // One pixel more on each side, which the 3 x 3 window reaches.
            const cv::Range rows(std::max(0, top - 1), std::min(page.rows, bottom + 1));
            const cv::Range cols(std::max(0, from - 1), std::min(page.cols, to + 1));
            if (medianStore.empty()) medianStore.create(kMedianRows + 2, page.cols, page.type());
            cv::Mat into = medianStore(cv::Rect(0, 0, cols.size(), rows.size()));
            cv::medianBlur(page(rows, cols), into, 3);
            median = into(cv::Range(top - rows.start, bottom - rows.start),
                          cv::Range(from - cols.start, to - cols.start));
          }
          const bool withGrain = !median.empty();
          for (int y = top; y < bottom; ++y) {
            const float t = cellRows(y, r0, r1);
            const Stretched& above = stretched(r0, r1, withGrain);
            const Stretched& below = stretched(r1, r0, withGrain);
            const RowFields row{above.gain.data(),
                                below.gain.data(),
                                lifted ? above.offset.data() : nullptr,
                                lifted ? below.offset.data() : nullptr,
                                withGrain ? above.grainWeight.data() : nullptr,
                                withGrain ? below.grainWeight.data() : nullptr,
                                t};
            const uchar* medianRow = withGrain ? median.ptr<uchar>(y - top) : nullptr;
            if (lifted) {
              EvenRow<true>(page.ptr<uchar>(y), medianRow, from * channels, to * channels,
                            out.ptr<uchar>(y), values, row);
            } else {
              EvenRow<false>(page.ptr<uchar>(y), medianRow, from * channels, to * channels,
                             out.ptr<uchar>(y), values, row);
            }
          }
        }
      },
      strips);
  return out;
}

}  // namespace

cv::Mat EvenOutLight(const cv::Mat& page) {
  return EvenOut(page, false);
}

cv::Mat EvenOutLightOver(cv::Mat& page) {
  return EvenOut(page, true);
}

}  // namespace tavrin::lens
