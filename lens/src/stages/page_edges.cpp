#include "lens/src/stages/page_edges.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "lens/src/stages/page_quad.h"

namespace tavrin::lens {

namespace {

// How far either side of a page's side the two colours are compared,
// in detection pixels: past the blur of the edge, short of the text.
constexpr float kStepReach = 2.5F;
// Samples along each side.
constexpr int kSideSamples = 48;
// How much darker or brighter than both sides a thin edge line must be.
constexpr double kMinLineDepth = 5.0;
constexpr float kLineReach = 4.0F;

// Where part of a side lies hidden, it is sampled this many times more
// densely, and a side showing fewer samples than this shows no edge.
constexpr int kHiddenDensity = 2;
constexpr int kMinVisibleSamples = 8;

bool InsideImage(const cv::Mat& image, cv::Point2f p) {
  return p.x >= 0 && p.y >= 0 && p.x <= image.cols - 1.001F && p.y <= image.rows - 1.001F;
}

bool IsSet(const cv::Mat& mask, cv::Point2f p) {
  if (mask.empty()) return false;
  const int x = cvRound(p.x);
  const int y = cvRound(p.y);
  return x >= 0 && y >= 0 && x < mask.cols && y < mask.rows && mask.at<uchar>(y, x) != 0;
}

// Bilinear samples of every channel at p, which must lie inside.
cv::Vec3f SampleAt(const cv::Mat& image, cv::Point2f p) {
  const int x = static_cast<int>(p.x);
  const int y = static_cast<int>(p.y);
  const float fx = p.x - x;
  const float fy = p.y - y;
  cv::Vec3f out;
  const int channels = image.channels();
  const uchar* row0 = image.ptr<uchar>(y);
  const uchar* row1 = image.ptr<uchar>(std::min(y + 1, image.rows - 1));
  const int x1 = std::min(x + 1, image.cols - 1);
  for (int c = 0; c < 3; ++c) {
    const int k = std::min(c, channels - 1);
    const float top = row0[x * channels + k] * (1 - fx) + row0[x1 * channels + k] * fx;
    const float bottom = row1[x * channels + k] * (1 - fx) + row1[x1 * channels + k] * fx;
    out[c] = top * (1 - fy) + bottom * fy;
  }
  return out;
}

double Step(const cv::Vec3f& a, const cv::Vec3f& b) {
  return std::max({std::abs(a[0] - b[0]), std::abs(a[1] - b[1]), std::abs(a[2] - b[2])});
}

cv::Point2f OutwardNormal(cv::Point2f from, cv::Point2f to) {
  const cv::Point2f along = to - from;
  const float length = std::max(1e-6F, static_cast<float>(cv::norm(along)));
  // Corners go clockwise on screen, so the outside is to the left of the
  // direction of travel in y-down coordinates.
  return {along.y / length, -along.x / length};
}

// Paper as bright as the desk beside it still shows its edge as a thin
// line: the shadow the sheet casts, or its lit rim. A sample counts as
// edge when the side itself is darker (or brighter) than both sides of it.
bool IsLine(const cv::Mat& colour, cv::Point2f p, cv::Point2f normal) {
  // The line may sit a pixel or two off the side, and be as wide as the
  // comparison's reach: both sides are looked at further out.
  const cv::Point2f inner = p - normal * kLineReach;
  const cv::Point2f outer = p + normal * kLineReach;
  if (!InsideImage(colour, inner) || !InsideImage(colour, outer)) return false;
  const cv::Vec3f in = SampleAt(colour, inner);
  const cv::Vec3f out = SampleAt(colour, outer);
  double darker = 0;
  double brighter = 0;
  for (float s = -1.0F; s <= 2.0F; s += 0.5F) {
    const cv::Point2f q = p + normal * s;
    if (!InsideImage(colour, q)) return false;
    const cv::Vec3f v = SampleAt(colour, q);
    for (int c = 0; c < 3; ++c) {
      darker = std::max(darker, static_cast<double>(std::min(in[c], out[c]) - v[c]));
      brighter = std::max(brighter, static_cast<double>(v[c] - std::max(in[c], out[c])));
    }
  }
  return std::max(darker, brighter) >= kMinLineDepth;
}

bool EdgeAt(const cv::Mat& colour, cv::Point2f p, cv::Point2f normal) {
  const cv::Point2f inner = p - normal * kStepReach;
  const cv::Point2f outer = p + normal * kStepReach;
  if (!InsideImage(colour, inner) || !InsideImage(colour, outer)) return false;
  return Step(SampleAt(colour, inner), SampleAt(colour, outer)) >= kMinEdgeStep ||
         IsLine(colour, p, normal);
}

// For each side, the samples that count and those of them on an edge.
// where: a sample counts where it is set (all when empty); skip: a sample
// does not count where it is set.
std::array<cv::Point2i, 4> SideSamples(const std::array<cv::Point2f, 4>& corners,
                                       const cv::Mat& colour, const cv::Mat& where,
                                       const cv::Mat& skip) {
  std::array<cv::Point2i, 4> counts{};
  const int samples = where.empty() && skip.empty() ? kSideSamples : kHiddenDensity * kSideSamples;
  for (size_t i = 0; i < 4; ++i) {
    const cv::Point2f from = corners[i];
    const cv::Point2f to = corners[(i + 1) % 4];
    const cv::Point2f normal = OutwardNormal(from, to);
    for (int k = 0; k < samples; ++k) {
      const float t = 0.08F + 0.84F * (k + 0.5F) / samples;
      const cv::Point2f p = from + (to - from) * t;
      if ((!where.empty() && !IsSet(where, p)) || IsSet(skip, p)) continue;
      ++counts[i].x;
      if (EdgeAt(colour, p, normal)) ++counts[i].y;
    }
  }
  return counts;
}

}  // namespace

double WeakestSideSupport(const std::array<cv::Point2f, 4>& corners, const cv::Mat& colour,
                          const cv::Mat& hidden) {
  double weakest = 1.0;
  for (const cv::Point2i& side : SideSamples(corners, colour, cv::Mat(), hidden)) {
    // Without a hidden part every sample counts, off the image too.
    const int counted = hidden.empty() ? kSideSamples : side.x;
    if (counted < kMinVisibleSamples) return 0.0;
    weakest = std::min(weakest, static_cast<double>(side.y) / counted);
  }
  return weakest;
}

double SupportWithin(const std::array<cv::Point2f, 4>& corners, const cv::Mat& colour,
                     const cv::Mat& inside) {
  int counted = 0;
  int strong = 0;
  for (const cv::Point2i& side : SideSamples(corners, colour, inside, cv::Mat())) {
    counted += side.x;
    strong += side.y;
  }
  return counted < kMinVisibleSamples ? -1.0 : static_cast<double>(strong) / counted;
}

// Moves each side onto the edge it runs along: across the side, the
// strongest change of colour within reach, to a fraction of a pixel; a
// robust line through those points; corners where the lines meet.
std::array<cv::Point2f, 4> RefineToEdges(const std::array<cv::Point2f, 4>& corners,
                                         const cv::Mat& colour, int reach, const cv::Mat& hidden) {
  std::array<cv::Vec4f, 4> lines{};
  std::array<bool, 4> fitted{};
  for (size_t i = 0; i < 4; ++i) {
    const cv::Point2f from = corners[i];
    const cv::Point2f to = corners[(i + 1) % 4];
    const cv::Point2f normal = OutwardNormal(from, to);
    const double length = cv::norm(to - from);
    if (length < 8) continue;
    const int samples = std::clamp(static_cast<int>(length / 2), 8, 160);
    std::vector<cv::Point2f> onEdge;
    std::vector<double> profile(static_cast<size_t>(2 * reach + 3));
    std::vector<cv::Vec3f> values(static_cast<size_t>(2 * reach + 3));
    for (int k = 0; k < samples; ++k) {
      const float t = 0.06F + 0.88F * (k + 0.5F) / samples;
      const cv::Point2f p = from + (to - from) * t;
      if (IsSet(hidden, p)) continue;
      bool inside = true;
      for (int s = -reach - 1; s <= reach + 1 && inside; ++s) {
        const cv::Point2f q = p + normal * static_cast<float>(s);
        inside = InsideImage(colour, q);
        if (inside) values[static_cast<size_t>(s + reach + 1)] = SampleAt(colour, q);
      }
      if (!inside) continue;
      int best = -1;
      double bestStep = 0;
      for (int s = -reach; s <= reach; ++s) {
        const size_t at = static_cast<size_t>(s + reach + 1);
        profile[at] = Step(values[at + 1], values[at - 1]) / 2;
        if (profile[at] > bestStep) {
          bestStep = profile[at];
          best = s;
        }
      }
      if (best < 0 && bestStep == 0) continue;
      if (bestStep < kMinEdgeStep / 3) continue;
      double offset = best;
      if (best > -reach && best < reach) {
        const size_t at = static_cast<size_t>(best + reach + 1);
        const double left = profile[at - 1];
        const double right = profile[at + 1];
        const double curvature = left - 2 * profile[at] + right;
        if (curvature < 0) offset += std::clamp(0.5 * (left - right) / curvature, -0.5, 0.5);
      }
      onEdge.push_back(p + normal * static_cast<float>(offset));
    }
    if (onEdge.size() < 8) continue;
    cv::fitLine(onEdge, lines[i], cv::DIST_HUBER, 0, 0.01, 0.01);
    fitted[i] = true;
  }
  std::array<cv::Point2f, 4> refined = corners;
  const double diagonal = cv::norm(corners[2] - corners[0]);
  for (size_t i = 0; i < 4; ++i) {
    const size_t before = (i + 3) % 4;
    if (!fitted[before] || !fitted[i]) continue;
    const cv::Vec4f& a = lines[before];
    const cv::Vec4f& b = lines[i];
    const cv::Point2f p1(a[2], a[3]);
    const cv::Point2f q1(b[2], b[3]);
    const auto corner =
        Intersect(p1, p1 + cv::Point2f(a[0], a[1]), q1, q1 + cv::Point2f(b[0], b[1]));
    if (corner && cv::norm(*corner - corners[i]) < 0.05 * diagonal) refined[i] = *corner;
  }
  return refined;
}

}  // namespace tavrin::lens
