// The straightening half of page_detect.h: one perspective warp from the
// found quadrilateral, with the desk inside it painted as paper on request.
#include "lens/src/stages/page_detect.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "lens/src/memory/large_picture.h"
#include "lens/src/stages/area.h"
#include "lens/src/stages/geometry.h"

namespace tavrin::lens {

namespace {

// A warp that shrinks by more than this samples too sparsely (aliasing
// in text); it straightens at full size first and then averages down.
constexpr double kMinDirectWarpScale = 0.7;
// The paper's shading is worked out on a copy this many times smaller.
constexpr int kShadingStep = 8;

// Fills where weight is 0 from where it is 1, smoothly: each coarser level
// of a pyramid averages what is known, and the holes take the coarser
// level's value (push-pull). values is CV_32F of any channel count.
cv::Mat FillHoles(const cv::Mat& values, const cv::Mat& weight) {
  if (std::min(values.cols, values.rows) <= 2) {
    // The coarsest level: the mean of what is known, or white.
    const double known = cv::sum(weight)[0];
    cv::Scalar mean = cv::Scalar::all(255);
    if (known > 0) {
      std::vector<cv::Mat> channels;
      cv::split(values, channels);
      for (size_t c = 0; c < channels.size(); ++c) {
        mean[static_cast<int>(c)] = cv::sum(channels[c].mul(weight))[0] / known;
      }
    }
    return cv::Mat(values.size(), values.type(), mean);
  }
  cv::Mat w3 = weight;
  if (values.channels() == 3) cv::cvtColor(weight, w3, cv::COLOR_GRAY2BGR);
  cv::Mat weighted = values.mul(w3);
  cv::Mat coarseWeighted;
  cv::Mat coarseWeight;
  cv::pyrDown(weighted, coarseWeighted);
  cv::pyrDown(weight, coarseWeight);
  cv::Mat known = coarseWeight > 1e-3F;
  cv::Mat coarseValues = cv::Mat::zeros(coarseWeighted.size(), coarseWeighted.type());
  cv::Mat divisor = cv::max(coarseWeight, 1e-3F);
  if (values.channels() == 3) cv::cvtColor(divisor, divisor, cv::COLOR_GRAY2BGR);
  cv::divide(coarseWeighted, divisor, coarseValues);
  cv::Mat coarseMask;
  known.convertTo(coarseMask, CV_32F, 1.0 / 255);
  cv::Mat filled = FillHoles(coarseValues, coarseMask);
  cv::Mat up;
  cv::pyrUp(filled, up, values.size());
  cv::Mat unknown;
  cv::subtract(cv::Scalar::all(1.0), w3, unknown);
  return weighted + up.mul(unknown);
}

// What the page's paper looks like at every output pixel, text left out:
// a closing removes the strokes, and the push-pull carries the shading
// into what is desk. CV_8U of the image's channels, full size.
cv::Mat PaperShading(const cv::Mat& image, const cv::Mat& pageMask) {
  const cv::Size small(std::max(1, image.cols / kShadingStep),
                       std::max(1, image.rows / kShadingStep));
  cv::Mat values;
  cv::resize(image, values, small, 0, 0, cv::INTER_AREA);
  cv::Mat mask;
  cv::resize(pageMask, mask, small, 0, 0, cv::INTER_AREA);
  // Only wholly page pixels tell the paper's colour; the closing then
  // wipes text out of them.
  mask = mask >= 250;
  const int reach = std::max(2, std::min(small.width, small.height) / 40);
  const cv::Mat kernel =
      cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * reach + 1, 2 * reach + 1));
  cv::Mat deskDark = values.clone();
  // The desk must not darken the closing near the edge: it is lifted to
  // white first, and left out of the fill anyway.
  deskDark.setTo(cv::Scalar::all(255), ~mask);
  cv::morphologyEx(deskDark, values, cv::MORPH_CLOSE, kernel);
  cv::erode(mask, mask, kernel);
  cv::Mat valuesF;
  values.convertTo(valuesF, CV_32F);
  cv::Mat weight;
  mask.convertTo(weight, CV_32F, 1.0 / 255);
  cv::Mat filled = FillHoles(valuesF, weight);
  cv::Mat shading;
  filled.convertTo(shading, image.type());
  cv::resize(shading, shading, image.size(), 0, 0, cv::INTER_LINEAR);
  return shading;
}

// The page's outline from the detection mask, carried to output pixels by
// toOutput and filled there with an antialiased edge: straight where the
// page is straight, with no staircase of the detection pixels.
cv::Mat SmoothPageMask(const cv::Mat& detectionMask, const cv::Mat& toOutput, cv::Size outSize,
                       double insetPixels) {
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(detectionMask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
  std::vector<std::vector<cv::Point>> polygons;
  constexpr int kSubPixel = 4;  // fillPoly's fractional bits
  for (const auto& contour : contours) {
    std::vector<cv::Point> simple;
    cv::approxPolyDP(contour, simple, 0.9, true);
    std::vector<cv::Point2f> points(simple.begin(), simple.end());
    std::vector<cv::Point2f> mapped;
    cv::perspectiveTransform(points, mapped, toOutput);
    std::vector<cv::Point> fixed;
    for (const auto& p : mapped) {
      fixed.emplace_back(cvRound(p.x * (1 << kSubPixel)), cvRound(p.y * (1 << kSubPixel)));
    }
    polygons.push_back(std::move(fixed));
  }
  cv::Mat mask = cv::Mat::zeros(outSize, CV_8UC1);
  cv::fillPoly(mask, polygons, cv::Scalar(255), cv::LINE_AA, kSubPixel);
  const int inset = static_cast<int>(std::ceil(insetPixels));
  if (inset > 0) {
    cv::erode(mask, mask,
              cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * inset + 1, 2 * inset + 1)));
  }
  return mask;
}

// Pixel-centre coordinates: OpenCV samples integer coordinates at pixel
// centres, the quad is given on the pixel edges.
cv::Mat Homography(const PageQuad& quad, cv::Size2d fullSize, cv::Point2d insets) {
  std::array<cv::Point2f, 4> source{};
  for (size_t i = 0; i < 4; ++i) source[i] = quad.corners[i] - cv::Point2f(0.5F, 0.5F);
  const auto w = static_cast<float>(fullSize.width);
  const auto h = static_cast<float>(fullSize.height);
  const auto dx = static_cast<float>(insets.x) + 0.5F;
  const auto dy = static_cast<float>(insets.y) + 0.5F;
  const std::array<cv::Point2f, 4> target{cv::Point2f(-dx, -dy), cv::Point2f(w - dx, -dy),
                                          cv::Point2f(w - dx, h - dy), cv::Point2f(-dx, h - dy)};
  return cv::getPerspectiveTransform(source.data(), target.data());
}

#if defined(__x86_64__) && defined(__GNUC__)
// cv::warpPerspective's bilinear warp of a grey or colour picture with
// the edge pixels repeated, the same to the last bit, eight pixels at a
// time with the processor's gathers. Each output pixel's source position
// is worked out as OpenCV does: in steps of 1/32 pixel, in double
// precision from the start of its block (of 1024 pixels, 16 rows high
// where the output is so high), rounded to the nearest; the four pixels
// about it are weighted by whole 1/1024ths and the sum rounded (every
// weight of OpenCV's 15-bit table a multiple of 32).
constexpr int kWarpBlockPixels = 1024;
constexpr int kWarpBlockRows = 16;
constexpr int kSubSteps = 32;

struct WarpSource {
  const uchar* pixels;
  size_t step;
  int cols;
  int rows;
};

// One pixel's C values at source position (x, y) in 1/32 pixels, the four
// pixels about it taken from within the picture.
template <int C>
inline void WarpPixel(const WarpSource& source, int x, int y, uchar* out) {
  const int sx = std::clamp(x >> 5, SHRT_MIN, SHRT_MAX);
  const int sy = std::clamp(y >> 5, SHRT_MIN, SHRT_MAX);
  const int ax = x & (kSubSteps - 1);
  const int ay = y & (kSubSteps - 1);
  const int x0 = std::clamp(sx, 0, source.cols - 1) * C;
  const int x1 = std::clamp(sx + 1, 0, source.cols - 1) * C;
  const uchar* row0 =
      source.pixels + static_cast<size_t>(std::clamp(sy, 0, source.rows - 1)) * source.step;
  const uchar* row1 =
      source.pixels + static_cast<size_t>(std::clamp(sy + 1, 0, source.rows - 1)) * source.step;
  for (int c = 0; c < C; ++c) {
    const int sum = row0[x0 + c] * (kSubSteps - ax) * (kSubSteps - ay) +
                    row0[x1 + c] * ax * (kSubSteps - ay) + row1[x0 + c] * (kSubSteps - ax) * ay +
                    row1[x1 + c] * ax * ay;
    out[c] = static_cast<uchar>((sum + 512) >> 10);
  }
}

// The source position, in 1/32 pixels, of pixel x1 of a block whose first
// pixel's are x0, y0 over w0.
inline void WarpPosition(const double* m, double x0, double y0, double w0, int x1, int& x, int& y) {
  double w = w0 + m[6] * x1;
  w = w != 0.0 ? kSubSteps / w : 0.0;
  const double fx = std::max(static_cast<double>(INT_MIN),
                             std::min(static_cast<double>(INT_MAX), (x0 + m[0] * x1) * w));
  const double fy = std::max(static_cast<double>(INT_MIN),
                             std::min(static_cast<double>(INT_MAX), (y0 + m[3] * x1) * w));
  x = static_cast<int>(std::nearbyint(fx));
  y = static_cast<int>(std::nearbyint(fy));
}

// Four positions from x1 on, as one vector of their X and one of their Y.
__attribute__((target("avx2"), always_inline)) inline void WarpPositions4(const double* m,
                                                                          __m256d x0, __m256d y0,
                                                                          __m256d w0, __m256d x1,
                                                                          __m128i& x, __m128i& y) {
  const __m256d zero = _mm256_setzero_pd();
  __m256d w = _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(m[6]), x1), w0);
  w = _mm256_andnot_pd(_mm256_cmp_pd(w, zero, _CMP_EQ_OQ),
                       _mm256_div_pd(_mm256_set1_pd(kSubSteps), w));
  const __m256d low = _mm256_set1_pd(static_cast<double>(INT_MIN));
  const __m256d high = _mm256_set1_pd(static_cast<double>(INT_MAX));
  const __m256d fx = _mm256_max_pd(
      low, _mm256_min_pd(
               high, _mm256_mul_pd(_mm256_add_pd(x0, _mm256_mul_pd(_mm256_set1_pd(m[0]), x1)), w)));
  const __m256d fy = _mm256_max_pd(
      low, _mm256_min_pd(
               high, _mm256_mul_pd(_mm256_add_pd(y0, _mm256_mul_pd(_mm256_set1_pd(m[3]), x1)), w)));
  x = _mm256_cvtpd_epi32(fx);
  y = _mm256_cvtpd_epi32(fy);
}

// C values of 8-bit samples bilinear from the four gathered neighbours
// (top and its next pixel, bottom and its next, each as 32-bit lanes whose
// low bytes hold them).
__attribute__((target("avx2"), always_inline)) inline __m256i Bilinear(__m256i top, __m256i topNext,
                                                                       __m256i bottom,
                                                                       __m256i bottomNext,
                                                                       int shift, __m256i ax,
                                                                       __m256i ay) {
  const __m256i byteMask = _mm256_set1_epi32(0xFF);
  const __m256i subSteps = _mm256_set1_epi32(kSubSteps);
  const __m256i bx = _mm256_sub_epi32(subSteps, ax);
  const __m256i by = _mm256_sub_epi32(subSteps, ay);
  const __m128i count = _mm_cvtsi32_si128(shift);
  const __m256i p00 = _mm256_and_si256(_mm256_srl_epi32(top, count), byteMask);
  const __m256i p01 = _mm256_and_si256(_mm256_srl_epi32(topNext, count), byteMask);
  const __m256i p10 = _mm256_and_si256(_mm256_srl_epi32(bottom, count), byteMask);
  const __m256i p11 = _mm256_and_si256(_mm256_srl_epi32(bottomNext, count), byteMask);
  const __m256i upper = _mm256_add_epi32(_mm256_mullo_epi32(p00, bx), _mm256_mullo_epi32(p01, ax));
  const __m256i lower = _mm256_add_epi32(_mm256_mullo_epi32(p10, bx), _mm256_mullo_epi32(p11, ax));
  const __m256i sum =
      _mm256_add_epi32(_mm256_mullo_epi32(upper, by), _mm256_mullo_epi32(lower, ay));
  return _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(512)), 10);
}

template <int C>
__attribute__((target("avx2"))) void WarpRows(const WarpSource& source, cv::Mat& out,
                                              const double* m, int firstRow, int endRow) {
  // A gather reads four bytes from a pixel on: up to two past the pair.
  const __m256i lastX = _mm256_set1_epi32(source.cols - (C == 1 ? 4 : 3));
  const __m256i lastY = _mm256_set1_epi32(source.rows - 2);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i subMask = _mm256_set1_epi32(kSubSteps - 1);
  const __m256i stepVector = _mm256_set1_epi32(static_cast<int>(source.step));
  const auto* base = reinterpret_cast<const int*>(source.pixels);
  const auto* below = reinterpret_cast<const int*>(source.pixels + source.step);
  const int blockWidth = std::min(kWarpBlockPixels / std::min(kWarpBlockRows, out.rows), out.cols);
  for (int y = firstRow; y < endRow; ++y) {
    uchar* row = out.ptr<uchar>(y);
    for (int block = 0; block < out.cols; block += blockWidth) {
      const int width = std::min(blockWidth, out.cols - block);
      const double x0 = m[0] * block + m[1] * y + m[2];
      const double y0 = m[3] * block + m[4] * y + m[5];
      const double w0 = m[6] * block + m[7] * y + m[8];
      const __m256d x0v = _mm256_set1_pd(x0);
      const __m256d y0v = _mm256_set1_pd(y0);
      const __m256d w0v = _mm256_set1_pd(w0);
      int x1 = 0;
      for (; x1 + 8 <= width; x1 += 8) {
        __m128i xa;
        __m128i ya;
        __m128i xb;
        __m128i yb;
        const auto at = static_cast<double>(x1);
        WarpPositions4(m, x0v, y0v, w0v, _mm256_setr_pd(at, at + 1, at + 2, at + 3), xa, ya);
        WarpPositions4(m, x0v, y0v, w0v, _mm256_setr_pd(at + 4, at + 5, at + 6, at + 7), xb, yb);
        const __m256i xs = _mm256_set_m128i(xb, xa);
        const __m256i ys = _mm256_set_m128i(yb, ya);
        const __m256i sx = _mm256_srai_epi32(xs, 5);
        const __m256i sy = _mm256_srai_epi32(ys, 5);
        // Every pixel's four neighbours (and the two bytes a gather reads
        // past them) inside the picture, or one at a time.
        const __m256i outside = _mm256_or_si256(
            _mm256_or_si256(_mm256_cmpgt_epi32(zero, sx), _mm256_cmpgt_epi32(sx, lastX)),
            _mm256_or_si256(_mm256_cmpgt_epi32(zero, sy), _mm256_cmpgt_epi32(sy, lastY)));
        if (!_mm256_testz_si256(outside, outside)) {
          alignas(32) int xv[8];
          alignas(32) int yv[8];
          _mm256_store_si256(reinterpret_cast<__m256i*>(xv), xs);
          _mm256_store_si256(reinterpret_cast<__m256i*>(yv), ys);
          for (int k = 0; k < 8; ++k) {
            WarpPixel<C>(source, xv[k], yv[k], row + (block + x1 + k) * C);
          }
          continue;
        }
        const __m256i offset = _mm256_add_epi32(_mm256_mullo_epi32(sy, stepVector),
                                                _mm256_mullo_epi32(sx, _mm256_set1_epi32(C)));
        const __m256i ax = _mm256_and_si256(xs, subMask);
        const __m256i ay = _mm256_and_si256(ys, subMask);
        const __m256i top = _mm256_i32gather_epi32(base, offset, 1);
        const __m256i bottom = _mm256_i32gather_epi32(below, offset, 1);
        if constexpr (C == 1) {
          const __m256i level = Bilinear(top, _mm256_srli_epi32(top, 8), bottom,
                                         _mm256_srli_epi32(bottom, 8), 0, ax, ay);
          const __m256i words = _mm256_packus_epi32(level, level);
          const __m256i bytes = _mm256_packus_epi16(words, words);
          const auto low = static_cast<uint32_t>(_mm256_extract_epi32(bytes, 0));
          const auto high = static_cast<uint32_t>(_mm256_extract_epi32(bytes, 4));
          const uint64_t eight = low | (static_cast<uint64_t>(high) << 32);
          std::memcpy(row + block + x1, &eight, sizeof eight);
        } else {
          const __m256i next = _mm256_add_epi32(offset, _mm256_set1_epi32(C));
          const __m256i topNext = _mm256_i32gather_epi32(base, next, 1);
          const __m256i bottomNext = _mm256_i32gather_epi32(below, next, 1);
          alignas(32) std::array<std::array<int, 8>, C> levels{};
          for (int c = 0; c < C; ++c) {
            _mm256_store_si256(reinterpret_cast<__m256i*>(levels[static_cast<size_t>(c)].data()),
                               Bilinear(top, topNext, bottom, bottomNext, 8 * c, ax, ay));
          }
          uchar* pixel = row + (block + x1) * C;
          for (size_t k = 0; k < 8; ++k) {
            for (size_t c = 0; c < C; ++c) pixel[k * C + c] = static_cast<uchar>(levels[c][k]);
          }
        }
      }
      for (; x1 < width; ++x1) {
        int x = 0;
        int yy = 0;
        WarpPosition(m, x0, y0, w0, x1, x, yy);
        WarpPixel<C>(source, x, yy, row + (block + x1) * C);
      }
    }
  }
}

bool WarpFast(const cv::Mat& image, cv::Mat& out, const cv::Mat& homography) {
  const int channels = image.channels();
  if (image.depth() != CV_8U || (channels != 1 && channels != 3) || !WideVectors() || out.empty() ||
      out.type() != image.type() || image.cols < 4 || image.rows < 2 ||
      image.step > static_cast<size_t>(INT32_MAX) / static_cast<size_t>(image.rows)) {
    return false;
  }
  cv::Matx33d inverse;
  cv::invert(homography, inverse);
  const WarpSource source{image.data, image.step, image.cols, image.rows};
  cv::parallel_for_(
      cv::Range(0, out.rows),
      [&](const cv::Range& rows) {
        if (channels == 1) {
          WarpRows<1>(source, out, inverse.val, rows.start, rows.end);
        } else {
          WarpRows<3>(source, out, inverse.val, rows.start, rows.end);
        }
      },
      std::max(1.0, static_cast<double>(out.total()) / 65536));
  return true;
}
#else
bool WarpFast(const cv::Mat&, cv::Mat&, const cv::Mat&) {
  return false;
}
#endif

}  // namespace

void WarpPerspective(const cv::Mat& image, cv::Mat& out, const cv::Mat& homography) {
  if (!WarpFast(image, out, homography)) {
    cv::warpPerspective(image, out, homography, out.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  }
}

cv::Mat WarpPage(const cv::Mat& image, const PageQuad& quad, const WarpRequest& request) {
  const bool twoSteps = std::min(request.scaleX, request.scaleY) < kMinDirectWarpScale;
  const double warpScaleX = twoSteps ? 1.0 : request.scaleX;
  const double warpScaleY = twoSteps ? 1.0 : request.scaleY;
  const double inset = twoSteps ? request.insetPixels / std::min(request.scaleX, request.scaleY)
                                : request.insetPixels;
  const cv::Size2d sides = PageSideLengths(quad);
  const cv::Size2d fullSize(sides.width * warpScaleX, sides.height * warpScaleY);
  // The longer side loses proportionally more, so the page keeps its shape.
  const double shorter = std::max(1.0, std::min(fullSize.width, fullSize.height));
  const cv::Point2d insets(inset * fullSize.width / shorter, inset * fullSize.height / shorter);
  const cv::Size outSize(
      std::max(1, static_cast<int>(std::lround(fullSize.width - 2 * insets.x))),
      std::max(1, static_cast<int>(std::lround(fullSize.height - 2 * insets.y))));
  const cv::Mat homography = Homography(quad, fullSize, insets);
  cv::Mat out = NewPicture(outSize, image.type());
  WarpPerspective(image, out, homography);

  if (request.restoreEdges && !quad.detectionMask.empty()) {
    // The mask is in detection pixels: take its centres to frame centres
    // first, then through the same homography.
    const double sc = quad.detectionScale;
    const cv::Matx33d detectionToFrame(1 / sc, 0, 0.5 / sc - 0.5, 0, 1 / sc, 0.5 / sc - 0.5, 0, 0,
                                       1);
    const cv::Mat maskHomography = homography * cv::Mat(detectionToFrame);
    // The outline's own pixels mix page and desk: a detection pixel and a
    // frame pixel more are painted over, which is what makes the edge clean.
    const double inset = (1.0 / sc + 1.0) * std::max(warpScaleX, warpScaleY);
    const cv::Mat pageMask = SmoothPageMask(quad.detectionMask, maskHomography, outSize, inset);
    if (cv::countNonZero(pageMask) > 0) {
      const cv::Mat paper = PaperShading(out, pageMask);
      // Desk becomes paper; only the antialiased band of the outline mixes.
      paper.copyTo(out, pageMask == 0);
      const int channels = out.channels();
      for (int y = 0; y < out.rows; ++y) {
        const uchar* a = pageMask.ptr<uchar>(y);
        const uchar* q = paper.ptr<uchar>(y);
        uchar* p = out.ptr<uchar>(y);
        for (int x = 0; x < out.cols; ++x) {
          if (a[x] == 0 || a[x] == 255) continue;
          for (int c = 0; c < channels; ++c) {
            const int i = x * channels + c;
            p[i] = static_cast<uchar>((p[i] * a[x] + q[i] * (255 - a[x]) + 127) / 255);
          }
        }
      }
    }
  }
  if (twoSteps) {
    out = Resample(out, request.scaleX, request.scaleY);
  }
  return out;
}

}  // namespace tavrin::lens
