#include "lens/src/stages/area.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

namespace tavrin::lens {

namespace {

// The cells the evened-out light estimates the light on, whose width the
// whole-fraction averaging spells out.
constexpr int kUsualCell = 8;

// The means over cells exactly as cv::resize's area averaging gives them,
// so that what is estimated from them stays what it was to the last bit,
// but several times faster. To a size that is no
// whole fraction of the picture it adds the same terms in the same order:
// cv::resize adds each pixel's share into memory, every addition waiting
// for the one before, where here each cell's sum stays in a register and
// the cells of a row are added side by side.
struct AreaTerm {
  int pixel;
  float weight;
};

// Along one axis: cell d takes terms first[d] to first[d + 1].
struct AreaAxis {
  std::vector<AreaTerm> terms;
  std::vector<int> first;
};

AreaAxis AreaTerms(int pixels, int cells, double scale) {
  AreaAxis axis;
  axis.first.reserve(static_cast<size_t>(cells) + 1);
  for (int d = 0; d < cells; ++d) {
    axis.first.push_back(static_cast<int>(axis.terms.size()));
    const double start = d * scale;
    const double end = start + scale;
    const double width = std::min(scale, pixels - start);
    const int last = std::min(cvFloor(end), pixels - 1);
    const int whole = std::min(cvCeil(start), last);
    if (whole - start > 1e-3) {
      axis.terms.push_back({whole - 1, static_cast<float>((whole - start) / width)});
    }
    for (int s = whole; s < last; ++s) axis.terms.push_back({s, static_cast<float>(1.0 / width)});
    if (end - last > 1e-3) {
      axis.terms.push_back(
          {last, static_cast<float>(std::min(std::min(end - last, 1.0), width) / width)});
    }
  }
  axis.first.push_back(static_cast<int>(axis.terms.size()));
  return axis;
}

// The terms of an axis laid out term by term: the j-th term of every cell
// side by side (cells with fewer terms padded with weight 0 on the last
// pixel, which leaves the sum as it is), so that one pass adds the j-th
// term of all cells at once, without one cell waiting on another.
struct AreaColumns {
  int cells = 0;
  int depth = 0;  // terms a cell
  std::vector<int> pixel;
  std::vector<float> weight;
};

AreaColumns ByColumn(const AreaAxis& axis, int channels) {
  AreaColumns columns;
  columns.cells = static_cast<int>(axis.first.size()) - 1;
  for (int d = 0; d < columns.cells; ++d) {
    columns.depth = std::max(
        columns.depth, axis.first[static_cast<size_t>(d) + 1] - axis.first[static_cast<size_t>(d)]);
  }
  const auto size = static_cast<size_t>(columns.cells) * static_cast<size_t>(columns.depth);
  columns.pixel.resize(size);
  columns.weight.resize(size);
  for (int d = 0; d < columns.cells; ++d) {
    const int first = axis.first[static_cast<size_t>(d)];
    const int count = axis.first[static_cast<size_t>(d) + 1] - first;
    for (int j = 0; j < columns.depth; ++j) {
      const AreaTerm term = axis.terms[static_cast<size_t>(first + std::min(j, count - 1))];
      const auto at =
          static_cast<size_t>(j) * static_cast<size_t>(columns.cells) + static_cast<size_t>(d);
      columns.pixel[at] = term.pixel * channels;
      columns.weight[at] = j < count ? term.weight : 0.0F;
    }
  }
  return columns;
}

// One pixel row's sums for every cell, channel by channel: row holds C
// times the cells' sums.
template <int C>
void AreaAcross(const uchar* pixels, const AreaColumns& across, float* row) {
  const int cells = across.cells;
  for (int c = 0; c < C; ++c) {
    float* __restrict sum = row + c * cells;
    const uchar* channel = pixels + c;
    for (int d = 0; d < cells; ++d) sum[d] = 0.0F;
    for (int j = 0; j < across.depth; ++j) {
      const int* __restrict pixel = across.pixel.data() + static_cast<size_t>(j) * cells;
      const float* __restrict weight = across.weight.data() + static_cast<size_t>(j) * cells;
      for (int d = 0; d < cells; ++d) sum[d] = sum[d] + channel[pixel[d]] * weight[d];
    }
  }
}

#if defined(__x86_64__) && defined(__GNUC__)

// One cell's terms for eight rows laid across (see below), in order.
__attribute__((target("avx2"), always_inline)) inline __m256 CellSum(const uchar* scratch,
                                                                     const AreaColumns& across,
                                                                     int c, int d) {
  const int cells = across.cells;
  __m256 sum = _mm256_setzero_ps();
  for (int j = 0; j < across.depth; ++j) {
    const size_t at = static_cast<size_t>(j) * static_cast<size_t>(cells) + static_cast<size_t>(d);
    const uchar* eight = scratch + static_cast<size_t>(across.pixel[at] + c) * 8;
    const __m256 value = _mm256_cvtepi32_ps(
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(eight))));
    sum = _mm256_add_ps(sum, _mm256_mul_ps(value, _mm256_set1_ps(across.weight[at])));
  }
  return sum;
}

// CellSum for eight cells from d on, their terms taken in turn: each cell's
// sum waits for its own previous term only, not for the other cells'.
__attribute__((target("avx2"), always_inline)) inline void EightCellSums(const uchar* scratch,
                                                                         const AreaColumns& across,
                                                                         int c, int d,
                                                                         __m256* sums) {
  const auto cells = static_cast<size_t>(across.cells);
  for (int q = 0; q < 8; ++q) sums[q] = _mm256_setzero_ps();
  for (int j = 0; j < across.depth; ++j) {
    const size_t at = static_cast<size_t>(j) * cells + static_cast<size_t>(d);
    const int* pixel = across.pixel.data() + at;
    const float* weight = across.weight.data() + at;
    for (int q = 0; q < 8; ++q) {
      const uchar* eight = scratch + static_cast<size_t>(pixel[q] + c) * 8;
      const __m256 value = _mm256_cvtepi32_ps(
          _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(eight))));
      sums[q] = _mm256_add_ps(sums[q], _mm256_mul_ps(value, _mm256_set1_ps(weight[q])));
    }
  }
}

// AreaAcross for eight pixel rows at once (rows[r], values bytes each;
// sums[r] takes row r's, laid out as AreaAcross lays them): each cell's
// terms are added in the same order for the eight rows side by side. The
// rows are first laid byte by byte across (scratch holds eight bytes a
// value, the eight rows' values of it), so that a term's eight pixels are
// one load, not eight.
__attribute__((target("avx2"))) void AreaAcrossEightRows(const std::array<const uchar*, 8>& rows,
                                                         int values, const AreaColumns& across,
                                                         int channels, uchar* scratch,
                                                         const std::array<float*, 8>& sums) {
  int i = 0;
  for (; i + 16 <= values; i += 16) {
    __m128i r[8];
    for (size_t k = 0; k < 8; ++k) {
      r[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k] + i));
    }
    // Pairs of rows, then fours, then all eight interleaved.
    const __m128i a0 = _mm_unpacklo_epi8(r[0], r[1]);
    const __m128i a1 = _mm_unpackhi_epi8(r[0], r[1]);
    const __m128i b0 = _mm_unpacklo_epi8(r[2], r[3]);
    const __m128i b1 = _mm_unpackhi_epi8(r[2], r[3]);
    const __m128i c0 = _mm_unpacklo_epi8(r[4], r[5]);
    const __m128i c1 = _mm_unpackhi_epi8(r[4], r[5]);
    const __m128i d0 = _mm_unpacklo_epi8(r[6], r[7]);
    const __m128i d1 = _mm_unpackhi_epi8(r[6], r[7]);
    const __m128i ab[4] = {_mm_unpacklo_epi16(a0, b0), _mm_unpackhi_epi16(a0, b0),
                           _mm_unpacklo_epi16(a1, b1), _mm_unpackhi_epi16(a1, b1)};
    const __m128i cd[4] = {_mm_unpacklo_epi16(c0, d0), _mm_unpackhi_epi16(c0, d0),
                           _mm_unpacklo_epi16(c1, d1), _mm_unpackhi_epi16(c1, d1)};
    auto* into = reinterpret_cast<__m128i*>(scratch + static_cast<size_t>(i) * 8);
    for (size_t q = 0; q < 4; ++q) {
      _mm_storeu_si128(into + 2 * q, _mm_unpacklo_epi32(ab[q], cd[q]));
      _mm_storeu_si128(into + 2 * q + 1, _mm_unpackhi_epi32(ab[q], cd[q]));
    }
  }
  for (; i < values; ++i) {
    for (size_t k = 0; k < 8; ++k) scratch[static_cast<size_t>(i) * 8 + k] = rows[k][i];
  }
  const int cells = across.cells;
  alignas(32) std::array<float, 8> lanes{};
  for (int c = 0; c < channels; ++c) {
    float* const* into = sums.data();
    const int offset = c * cells;
    int d = 0;
    // Eight cells at a time, turned from a vector a cell into a vector a
    // row, so each row takes its eight sums in one store.
    for (; d + 8 <= cells; d += 8) {
      __m256 v[8];
      EightCellSums(scratch, across, c, d, v);
      const __m256 t0 = _mm256_unpacklo_ps(v[0], v[1]);
      const __m256 t1 = _mm256_unpackhi_ps(v[0], v[1]);
      const __m256 t2 = _mm256_unpacklo_ps(v[2], v[3]);
      const __m256 t3 = _mm256_unpackhi_ps(v[2], v[3]);
      const __m256 t4 = _mm256_unpacklo_ps(v[4], v[5]);
      const __m256 t5 = _mm256_unpackhi_ps(v[4], v[5]);
      const __m256 t6 = _mm256_unpacklo_ps(v[6], v[7]);
      const __m256 t7 = _mm256_unpackhi_ps(v[6], v[7]);
      const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
      const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
      const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
      const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
      const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
      const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
      const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
      const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
      _mm256_storeu_ps(into[0] + offset + d, _mm256_permute2f128_ps(u0, u4, 0x20));
      _mm256_storeu_ps(into[1] + offset + d, _mm256_permute2f128_ps(u1, u5, 0x20));
      _mm256_storeu_ps(into[2] + offset + d, _mm256_permute2f128_ps(u2, u6, 0x20));
      _mm256_storeu_ps(into[3] + offset + d, _mm256_permute2f128_ps(u3, u7, 0x20));
      _mm256_storeu_ps(into[4] + offset + d, _mm256_permute2f128_ps(u0, u4, 0x31));
      _mm256_storeu_ps(into[5] + offset + d, _mm256_permute2f128_ps(u1, u5, 0x31));
      _mm256_storeu_ps(into[6] + offset + d, _mm256_permute2f128_ps(u2, u6, 0x31));
      _mm256_storeu_ps(into[7] + offset + d, _mm256_permute2f128_ps(u3, u7, 0x31));
    }
    for (; d < cells; ++d) {
      _mm256_store_ps(lanes.data(), CellSum(scratch, across, c, d));
      for (size_t k = 0; k < 8; ++k) into[k][offset + d] = lanes[k];
    }
  }
}
#endif

// Rounded to the nearest (a half to the even one) and clamped to 0..255,
// as saturate_cast does, eight at a time.
void ToBytes(const float* in, uchar* out, int count) {
  int i = 0;
#if defined(__x86_64__) && defined(__GNUC__)
  for (; i + 8 <= count; i += 8) {
    const __m128i low = _mm_cvtps_epi32(_mm_loadu_ps(in + i));
    const __m128i high = _mm_cvtps_epi32(_mm_loadu_ps(in + i + 4));
    const __m128i words = _mm_packs_epi32(low, high);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(words, words));
  }
#endif
  for (; i < count; ++i) out[i] = cv::saturate_cast<uchar>(in[i]);
}

// cv::resize's area averaging to a whole fraction of the picture: each
// cell's pixels added up as integers and the sum scaled by one over their
// count in single precision, as it does. Here the rows of a cell are added
// first, all of a row at once, in steps the vectoriser widens.
cv::Mat WholeCells(const cv::Mat& image, cv::Size cells) {
  const int channels = image.channels();
  const int across = image.cols / cells.width;
  const int down = image.rows / cells.height;
  const float scale = 1.0F / static_cast<float>(across * down);
  cv::Mat out(cells, image.type());
  const int values = image.cols * channels;
  cv::parallel_for_(cv::Range(0, cells.height), [&](const cv::Range& range) {
    // A cell's column of 8-bit values fits in 16 bits (see Cells).
    std::vector<uint16_t> sums(static_cast<size_t>(values));
    uint16_t* __restrict sum = sums.data();
    for (int r = range.start; r < range.end; ++r) {
      const uchar* __restrict first = image.ptr<uchar>(r * down);
      for (int i = 0; i < values; ++i) sum[i] = first[i];
      for (int k = 1; k < down; ++k) {
        const uchar* __restrict row = image.ptr<uchar>(r * down + k);
        for (int i = 0; i < values; ++i) sum[i] = static_cast<uint16_t>(sum[i] + row[i]);
      }
      uchar* cell = out.ptr<uchar>(r);
      if (across == kUsualCell && channels == 3) {
        // The usual case spelt out, so that the compiler unrolls it.
        for (int x = 0; x < cells.width; ++x) {
          const uint16_t* pixel = sum + x * kUsualCell * 3;
          std::array<int, 3> total{};
          for (int j = 0; j < kUsualCell; ++j) {
            for (size_t c = 0; c < 3; ++c) total[c] += pixel[j * 3 + static_cast<int>(c)];
          }
          for (size_t c = 0; c < 3; ++c) {
            cell[x * 3 + static_cast<int>(c)] =
                cv::saturate_cast<uchar>(static_cast<float>(total[c]) * scale);
          }
        }
        continue;
      }
      for (int x = 0; x < cells.width; ++x) {
        for (int c = 0; c < channels; ++c) {
          int total = 0;
          for (int j = 0; j < across; ++j) total += sum[(x * across + j) * channels + c];
          cell[x * channels + c] = cv::saturate_cast<uchar>(static_cast<float>(total) * scale);
        }
      }
    }
  });
  return out;
}

}  // namespace

bool WideVectors() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool wide = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return wide;
#else
  return false;
#endif
}

cv::Mat AreaAverage(const cv::Mat& image, cv::Size cells) {
  const double scaleX = 1.0 / (static_cast<double>(cells.width) / image.cols);
  const double scaleY = 1.0 / (static_cast<double>(cells.height) / image.rows);
  const int channels = image.channels();
  // Halving in both directions has a fast path of its own in cv::resize,
  // which rounds as integers do: it is left to it, as is growing.
  if ((channels != 1 && channels != 3) || image.depth() != CV_8U || cells.width > image.cols ||
      cells.height > image.rows || cells == image.size() ||
      (cells.width * 2 == image.cols && cells.height * 2 == image.rows)) {
    cv::Mat small;
    cv::resize(image, small, cells, 0, 0, cv::INTER_AREA);
    return small;
  }
  if (std::abs(scaleX - cv::saturate_cast<int>(scaleX)) < DBL_EPSILON &&
      std::abs(scaleY - cv::saturate_cast<int>(scaleY)) < DBL_EPSILON) {
    if (cv::saturate_cast<int>(scaleY) * 255 <= UINT16_MAX) return WholeCells(image, cells);
    cv::Mat small;
    cv::resize(image, small, cells, 0, 0, cv::INTER_AREA);
    return small;
  }
  const AreaColumns across = ByColumn(AreaTerms(image.cols, cells.width, scaleX), channels);
  const AreaAxis down = AreaTerms(image.rows, cells.height, scaleY);
  cv::Mat out(cells, image.type());
  const int values = cells.width * channels;
  const int bytes = image.cols * channels;
  const bool wide = WideVectors();
  // Cell rows are taken a block at a time, of about this many pixel rows,
  // whose sums across are worked out eight rows at once before the block's
  // cells add them up.
  constexpr double kBlockRows = 64.0;
  const int blockCells = std::max(1, static_cast<int>(kBlockRows / scaleY));
  cv::parallel_for_(cv::Range(0, cells.height), [&](const cv::Range& range) {
    std::vector<float> row(static_cast<size_t>(values));
    std::vector<float> sum(static_cast<size_t>(values));
    std::vector<float> rowSums;
    std::vector<uchar> bytesOut(static_cast<size_t>(values));
    std::vector<uchar> scratch(wide ? static_cast<size_t>(bytes) * 8 : 0);
    for (int top = range.start; top < range.end; top += blockCells) {
      const int bottom = std::min(range.end, top + blockCells);
      const int firstRow =
          down.terms[static_cast<size_t>(down.first[static_cast<size_t>(top)])].pixel;
      const int lastRow =
          down.terms[static_cast<size_t>(down.first[static_cast<size_t>(bottom)]) - 1].pixel;
#if defined(__x86_64__) && defined(__GNUC__)
      if (wide) {
        const int rows = (lastRow - firstRow + 1 + 7) / 8 * 8;
        rowSums.resize(static_cast<size_t>(rows) * static_cast<size_t>(values));
        for (int r = 0; r < rows; r += 8) {
          std::array<const uchar*, 8> pixels{};
          std::array<float*, 8> sums{};
          for (size_t k = 0; k < 8; ++k) {
            const int at = r + static_cast<int>(k);
            // Past the block's last row the last row again, whose sums
            // nobody reads.
            pixels[k] = image.ptr<uchar>(std::min(firstRow + at, lastRow));
            sums[k] = rowSums.data() + static_cast<size_t>(at) * static_cast<size_t>(values);
          }
          AreaAcrossEightRows(pixels, bytes, across, channels, scratch.data(), sums);
        }
      }
#endif
      for (int d = top; d < bottom; ++d) {
        const int first = down.first[static_cast<size_t>(d)];
        for (int k = first; k < down.first[static_cast<size_t>(d) + 1]; ++k) {
          const AreaTerm term = down.terms[static_cast<size_t>(k)];
          const float* sumsAcross = row.data();
          if (wide) {
            sumsAcross = rowSums.data() +
                         static_cast<size_t>(term.pixel - firstRow) * static_cast<size_t>(values);
          } else if (channels == 1) {
            AreaAcross<1>(image.ptr<uchar>(term.pixel), across, row.data());
          } else {
            AreaAcross<3>(image.ptr<uchar>(term.pixel), across, row.data());
          }
          float* __restrict total = sum.data();
          const float weight = term.weight;
          if (k == first) {
            for (int i = 0; i < values; ++i) total[i] = weight * sumsAcross[i];
          } else {
            for (int i = 0; i < values; ++i) total[i] = total[i] + weight * sumsAcross[i];
          }
        }
        // The sums lie channel by channel; the cells take them pixel by pixel.
        uchar* cell = out.ptr<uchar>(d);
        if (channels == 1) {
          ToBytes(sum.data(), cell, values);
          continue;
        }
        ToBytes(sum.data(), bytesOut.data(), values);
        // Read once: a byte written could be any of them.
        const int width = cells.width;
        const uchar* plane = bytesOut.data();
        for (int x = 0; x < width; ++x) {
          cell[3 * x] = plane[x];
          cell[3 * x + 1] = plane[width + x];
          cell[3 * x + 2] = plane[2 * width + x];
        }
      }
    }
  });
  return out;
}

}  // namespace tavrin::lens
