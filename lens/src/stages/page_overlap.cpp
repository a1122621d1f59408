#include "lens/src/stages/page_overlap.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include <opencv2/imgproc.hpp>

#include "lens/src/stages/page_quad.h"

namespace tavrin::lens {

namespace {

// The outline is simplified to within this part of its length: fine
// enough to keep the bend where one page's edge runs under another's.
constexpr double kPolygonTolerance = 0.004;
// Neighbouring stretches turning by less than this are one side.
constexpr double kSameSideDegrees = 4.0;
// A stretch shorter than this part of the outline's length is a corner's
// rounding or noise, not a side.
constexpr double kMinSideShare = 0.03;
// More stretches than this: a ragged outline, no pages of straight sides.
constexpr size_t kMaxSides = 12;
// A page may take in this much that is not paper (its blurred rim, the
// sliver between two pages that barely touch).
constexpr double kMinPaperShare = 0.97;
// A stretch must cover this part of the page's side it lies on.
constexpr double kMinSideCover = 0.1;
// The pages must cover this much of the region.
constexpr double kMinRegionCover = 0.95;

struct Stretch {
  cv::Point2f from;
  cv::Point2f to;
  double Length() const { return cv::norm(to - from); }
};

double Cross(cv::Point2f a, cv::Point2f b) {
  return a.x * b.y - a.y * b.x;
}

double TurnDegrees(const Stretch& a, const Stretch& b) {
  const cv::Point2f u = a.to - a.from;
  const cv::Point2f v = b.to - b.from;
  return std::abs(std::atan2(Cross(u, v), u.dot(v))) * 180.0 / CV_PI;
}

// Whether b carries on the line of a: turned little, and starting close
// to where a's line runs.
bool InLine(const Stretch& a, const Stretch& b) {
  if (TurnDegrees(a, b) >= kSameSideDegrees) return false;
  const cv::Point2f along = a.to - a.from;
  const double off = std::abs(Cross(along, b.from - a.from)) / std::max(1e-6, a.Length());
  return off <= 2.0 + 0.02 * a.Length();
}

// The outline's straight stretches, in order along it.
std::vector<Stretch> Stretches(const std::vector<cv::Point>& outline) {
  const double length = cv::arcLength(outline, true);
  std::vector<cv::Point> polygon;
  cv::approxPolyDP(outline, polygon, std::max(1.5, kPolygonTolerance * length), true);
  std::vector<Stretch> raw;
  for (size_t i = 0; i < polygon.size(); ++i) {
    raw.push_back({cv::Point2f(polygon[i]), cv::Point2f(polygon[(i + 1) % polygon.size()])});
  }
  if (raw.size() < 4) return {};
  // Start after a real turn, so that no side is split at the list's ends.
  size_t start = 0;
  while (start < raw.size() &&
         TurnDegrees(raw[(start + raw.size() - 1) % raw.size()], raw[start]) < kSameSideDegrees) {
    ++start;
  }
  if (start == raw.size()) return {};
  std::vector<Stretch> merged;
  for (size_t k = 0; k < raw.size(); ++k) {
    const Stretch& s = raw[(start + k) % raw.size()];
    if (!merged.empty() && TurnDegrees(merged.back(), s) < kSameSideDegrees) {
      merged.back().to = s.to;
    } else {
      merged.push_back(s);
    }
  }
  // A ragged outline (a busy desk) breaks a side into pieces with short
  // jogs between them: without the jogs, pieces in line are one side.
  std::vector<Stretch> sides;
  for (const Stretch& s : merged) {
    if (s.Length() < kMinSideShare * length) continue;
    if (!sides.empty() && InLine(sides.back(), s)) {
      sides.back().to = s.to;
    } else {
      sides.push_back(s);
    }
  }
  if (sides.size() > 1 && InLine(sides.back(), sides.front())) {
    sides.front().from = sides.back().from;
    sides.pop_back();
  }
  return sides;
}

std::optional<Corners> QuadOf(const std::array<const Stretch*, 4>& sides, cv::Size bounds) {
  Corners corners{};
  const cv::Rect2f allowed(-0.25F * bounds.width, -0.25F * bounds.height, 1.5F * bounds.width,
                           1.5F * bounds.height);
  for (size_t i = 0; i < 4; ++i) {
    const Stretch& a = *sides[(i + 3) % 4];
    const Stretch& b = *sides[i];
    const auto corner = Intersect(a.from, a.to, b.from, b.to);
    if (!corner || !allowed.contains(*corner)) return std::nullopt;
    corners[i] = *corner;
  }
  const std::vector<cv::Point2f> polygon(corners.begin(), corners.end());
  if (!cv::isContourConvex(polygon)) return std::nullopt;
  // Each stretch lies within the side between its corners, and covers a
  // fair part of it.
  for (size_t i = 0; i < 4; ++i) {
    const cv::Point2f from = corners[i];
    const cv::Point2f along = corners[(i + 1) % 4] - from;
    const double side = cv::norm(along);
    if (side < 4) return std::nullopt;
    const double slack = 2.0 + 0.02 * side;
    const double t1 = (sides[i]->from - from).dot(along) / side;
    const double t2 = (sides[i]->to - from).dot(along) / side;
    if (std::min(t1, t2) < -slack || std::max(t1, t2) > side + slack) return std::nullopt;
    if (std::abs(t2 - t1) < kMinSideCover * side) return std::nullopt;
  }
  return corners;
}

// Corners clockwise on screen from the top left, as the rest of the
// search has them.
Corners Ordered(Corners c) {
  const std::vector<cv::Point2f> polygon(c.begin(), c.end());
  if (cv::contourArea(polygon, true) < 0) std::reverse(c.begin(), c.end());
  const auto topLeft =
      std::min_element(c.begin(), c.end(), [](auto a, auto b) { return a.x + a.y < b.x + b.y; });
  std::rotate(c.begin(), topLeft, c.end());
  return c;
}

}  // namespace

cv::Mat QuadMask(const Corners& corners, cv::Size size) {
  cv::Mat mask = cv::Mat::zeros(size, CV_8UC1);
  std::vector<cv::Point> polygon;
  for (const auto& c : corners) polygon.emplace_back(cvRound(c.x), cvRound(c.y));
  cv::fillConvexPoly(mask, polygon, cv::Scalar(255));
  return mask;
}

std::vector<Corners> SplitRegion(const std::vector<cv::Point>& outline, const cv::Mat& paper,
                                 double minArea) {
  const std::vector<Stretch> sides = Stretches(outline);
  if (sides.size() < 4 || sides.size() > kMaxSides) return {};
  const cv::Size size = paper.size();
  cv::Mat region = cv::Mat::zeros(size, CV_8UC1);
  cv::drawContours(region, std::vector<std::vector<cv::Point>>{outline}, 0, cv::Scalar(255),
                   cv::FILLED);
  const double regionArea = cv::countNonZero(region);
  if (regionArea <= 0) return {};
  // Regions bounded by edges leave the edge's own pixels out: between two
  // sheets, and along a crack where a line of print meets an edge.
  cv::Mat closedPaper;
  cv::morphologyEx(paper, closedPaper, cv::MORPH_CLOSE,
                   cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5)));

  // Every four stretches, in their order along the outline, that make a
  // page lying on paper.
  struct Page {
    Corners corners;
    double area;
    cv::Mat mask;
  };
  std::vector<Page> pages;
  const size_t n = sides.size();
  for (size_t a = 0; a < n; ++a) {
    for (size_t b = a + 1; b < n; ++b) {
      for (size_t c = b + 1; c < n; ++c) {
        for (size_t d = c + 1; d < n; ++d) {
          const auto corners = QuadOf({&sides[a], &sides[b], &sides[c], &sides[d]}, size);
          if (!corners) continue;
          const std::vector<cv::Point2f> polygon(corners->begin(), corners->end());
          const double area = cv::contourArea(polygon);
          if (area < minArea) continue;
          cv::Mat mask = QuadMask(*corners, size);
          const double inside = cv::countNonZero(mask);
          if (inside <= 0 || cv::countNonZero(mask & closedPaper) < kMinPaperShare * inside)
            continue;
          pages.push_back({Ordered(*corners), area, std::move(mask)});
        }
      }
    }
  }
  std::sort(pages.begin(), pages.end(),
            [](const Page& x, const Page& y) { return x.area > y.area; });
  // The largest first; a smaller one only for region the chosen ones
  // leave.
  std::vector<Corners> chosen;
  cv::Mat covered = cv::Mat::zeros(size, CV_8UC1);
  for (const Page& page : pages) {
    const cv::Mat own = page.mask & region;
    const double mine = cv::countNonZero(own);
    if (mine <= 0 || cv::countNonZero(own & ~covered) < 0.3 * mine) continue;
    chosen.push_back(page.corners);
    covered |= page.mask;
    if (cv::countNonZero(covered & region) >= kMinPaperShare * regionArea) break;
  }
  if (cv::countNonZero(covered & region) < kMinRegionCover * regionArea) return {};
  return chosen;
}

}  // namespace tavrin::lens
