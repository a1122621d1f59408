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

// Sheets edge to edge: the hairline between them is looked for across
// the middle half of the region, in rows running across it.
constexpr float kSeamBandFrom = 0.25F;
constexpr float kSeamBandTo = 0.75F;
constexpr int kSeamRows = 40;
// The outermost rows lie this share of the region's side in from its
// edges: nearer than a printer reaches (4 mm of 210), still on paper.
constexpr float kSeamEndRow = 0.01F;
// Each row is the mean of this many lines a pixel apart along the seam,
// which keeps the line and quietens the grain.
constexpr int kSeamLines = 5;
// A hairline is darker than the paper this far to either side (pixels):
// a fold's or a gutter's shading is far broader.
constexpr int kFlankNear = 3;
constexpr int kFlankFar = 7;
// The share of its depth a hairline has regained at the near flank.
constexpr double kHairlineBack = 0.75;
// How much darker, against the row's own grain, and at least.
constexpr double kSeamGrainFactor = 3.5;
constexpr double kSeamMinDepth = 3.0;
// The line holds in this share of the rows, the outermost two at each end
// among them: it runs the whole way across, as no print does.
constexpr double kSeamRowShare = 0.9;
// A peak this near (pixels) where the line crosses a row is on it.
constexpr float kSeamSlack = 1.5F;
// The seam runs along the sides it lies between, turned no more than this.
constexpr double kSeamMaxTurnDegrees = 3.0;

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

double DirectionDegrees(cv::Point2f v) {
  // Undirected: a line and its reverse point the same way.
  double degrees = std::atan2(v.y, v.x) * 180.0 / CV_PI;
  if (degrees < 0) degrees += 180.0;
  return degrees;
}

double AngleBetween(cv::Point2f u, cv::Point2f v) {
  const double d = std::abs(DirectionDegrees(u) - DirectionDegrees(v));
  return std::min(d, 180.0 - d);
}

// A thin dark line's place in one row across the seam.
struct Dip {
  float at;  // samples from the row's start
  double depth;
};

// Where a row (grey levels along it) dips into a hairline: darker than the
// paper on both sides, by more than its grain and more than any step
// between the sides.
std::vector<Dip> Dips(const float* row, int n) {
  std::vector<Dip> dips;
  if (n < 2 * kFlankFar + 3) return dips;
  std::vector<double> sum(static_cast<size_t>(n) + 1, 0.0);
  // Steps between neighbours, counted in bins of a sixteenth of a grey
  // level.
  constexpr int kBinsPerLevel = 16;
  constexpr int kBins = 64 * kBinsPerLevel;
  std::array<int, kBins> steps{};
  for (int x = 0; x < n; ++x) {
    sum[static_cast<size_t>(x) + 1] = sum[static_cast<size_t>(x)] + row[x];
    if (x > 0) {
      const int bin = static_cast<int>(kBinsPerLevel * std::abs(row[x] - row[x - 1]));
      ++steps[static_cast<size_t>(std::min(bin, kBins - 1))];
    }
  }
  // The grain's deviation from the smaller steps: print crossing the row
  // makes many large ones, but leaves a quarter of the row's steps to the
  // paper (a quarter of pure grain's steps are under half its
  // deviation).
  int quarter = 0;
  for (int counted = 0; quarter < kBins - 1; ++quarter) {
    counted += steps[static_cast<size_t>(quarter)];
    if (counted > (n - 1) / 4) break;
  }
  const double grain = 2.2 * (quarter + 0.5) / kBinsPerLevel;
  const double least = std::max(kSeamMinDepth, kSeamGrainFactor * grain);
  const auto mean = [&](int from, int to) {
    return (sum[static_cast<size_t>(to)] - sum[static_cast<size_t>(from)]) / (to - from);
  };
  std::vector<double> depth(static_cast<size_t>(n), 0.0);
  for (int x = kFlankFar; x < n - kFlankFar; ++x) {
    const double left = mean(x - kFlankFar, x - kFlankNear + 1);
    const double right = mean(x + kFlankNear, x + kFlankFar + 1);
    const double d = std::min(left, right) - row[x];
    // Nearly back to the paper's level already at the near flank: a crease
    // shades off over a millimetre or so, a hairline of desk is gone
    // within the lens's blur.
    const double back = std::min(row[x - kFlankNear], row[x + kFlankNear]) - row[x];
    if (d > std::abs(left - right) && back >= kHairlineBack * d) {
      depth[static_cast<size_t>(x)] = d;
    }
  }
  for (int x = kFlankFar + 1; x < n - kFlankFar - 1; ++x) {
    const double d = depth[static_cast<size_t>(x)];
    const double before = depth[static_cast<size_t>(x) - 1];
    const double after = depth[static_cast<size_t>(x) + 1];
    if (d < least || d < before || d < after) continue;
    const double curve = before - 2 * d + after;
    const double offset = curve < 0 ? 0.5 * (before - after) / curve : 0.0;
    dips.push_back({static_cast<float>(x + std::clamp(offset, -0.5, 0.5)), d});
  }
  return dips;
}

}  // namespace

std::optional<std::array<Corners, 2>> SplitAtSeam(const cv::Mat& image, const Corners& corners) {
  if (image.empty()) return std::nullopt;
  for (int turn = 0; turn < 2; ++turn) {
    // Rows run from side a-d to side b-c; the seam from side a-b to d-c.
    const cv::Point2f a = corners[static_cast<size_t>(turn)];
    const cv::Point2f b = corners[static_cast<size_t>(turn + 1)];
    const cv::Point2f c = corners[static_cast<size_t>(turn + 2)];
    const cv::Point2f d = corners[static_cast<size_t>((turn + 3) % 4)];
    const double along = 0.5 * (cv::norm(d - a) + cv::norm(c - b));
    const double across = std::max(cv::norm(b - a), cv::norm(c - d));
    const int n = static_cast<int>(std::ceil((kSeamBandTo - kSeamBandFrom) * across));
    if (along < 8 * kSeamRows || n < 4 * kFlankFar) continue;
    const auto rowStart = [&](float s) { return a + (d - a) * s; };
    const auto rowEnd = [&](float s) { return b + (c - b) * s; };
    const auto rowAt = [&](int k) {
      return kSeamEndRow + (1.0F - 2.0F * kSeamEndRow) * static_cast<float>(k) / (kSeamRows - 1);
    };
    cv::Mat mapX(kSeamRows * kSeamLines, n, CV_32F);
    cv::Mat mapY(kSeamRows * kSeamLines, n, CV_32F);
    for (int k = 0; k < kSeamRows; ++k) {
      for (int j = 0; j < kSeamLines; ++j) {
        const float s =
            rowAt(k) + static_cast<float>(j - kSeamLines / 2) / static_cast<float>(along);
        const cv::Point2f from = rowStart(s);
        const cv::Point2f step = rowEnd(s) - from;
        float* xs = mapX.ptr<float>(k * kSeamLines + j);
        float* ys = mapY.ptr<float>(k * kSeamLines + j);
        for (int x = 0; x < n; ++x) {
          const float u = kSeamBandFrom + (kSeamBandTo - kSeamBandFrom) * static_cast<float>(x) /
                                              static_cast<float>(n - 1);
          // Corners lie on the pixel grid's edges, samples at centres.
          xs[x] = from.x + u * step.x - 0.5F;
          ys[x] = from.y + u * step.y - 0.5F;
        }
      }
    }
    cv::Mat sampled;
    cv::remap(image, sampled, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    if (sampled.channels() == 3) cv::cvtColor(sampled, sampled, cv::COLOR_BGR2GRAY);
    if (sampled.channels() == 4) cv::cvtColor(sampled, sampled, cv::COLOR_BGRA2GRAY);
    cv::Mat rows(kSeamRows, n, CV_32F, cv::Scalar(0));
    for (int k = 0; k < kSeamRows; ++k) {
      float* mean = rows.ptr<float>(k);
      for (int j = 0; j < kSeamLines; ++j) {
        const uchar* line = sampled.ptr<uchar>(k * kSeamLines + j);
        for (int x = 0; x < n; ++x) mean[x] += line[x] * (1.0F / kSeamLines);
      }
    }

    std::vector<std::vector<Dip>> dips(kSeamRows);
    for (int k = 0; k < kSeamRows; ++k) dips[static_cast<size_t>(k)] = Dips(rows.ptr<float>(k), n);
    // A dip's place in the frame.
    const auto point = [&](int k, float at) {
      const float s = rowAt(k);
      const float u =
          kSeamBandFrom + (kSeamBandTo - kSeamBandFrom) * at / static_cast<float>(n - 1);
      return rowStart(s) + (rowEnd(s) - rowStart(s)) * u;
    };
    // Where the line through p and q crosses row k, in samples.
    const auto crossing = [&](cv::Point2f p, cv::Point2f q, int k) -> std::optional<float> {
      const float s = rowAt(k);
      const cv::Point2f from = rowStart(s);
      const cv::Point2f to = rowEnd(s);
      const auto hit = Intersect(p, q, from, to);
      if (!hit) return std::nullopt;
      const float u = (*hit - from).dot(to - from) / (to - from).dot(to - from);
      return (u - kSeamBandFrom) / (kSeamBandTo - kSeamBandFrom) * static_cast<float>(n - 1);
    };
    const cv::Point2f sideDirection = (d - a) + (c - b);
    const double sideSpread = 0.5 * AngleBetween(d - a, c - b);
    const int needed = static_cast<int>(std::ceil(kSeamRowShare * kSeamRows));
    // Lines through a dip near one end and a dip near the other, and the
    // rows that agree with each.
    std::vector<cv::Point2f> best;
    float bestAt = 0;
    std::vector<float> holding;  // where each line that holds crosses the first row
    for (const int k1 : {0, 1}) {
      for (const int k2 : {kSeamRows - 1, kSeamRows - 2}) {
        for (const Dip& first : dips[static_cast<size_t>(k1)]) {
          for (const Dip& last : dips[static_cast<size_t>(k2)]) {
            const cv::Point2f p = point(k1, first.at);
            const cv::Point2f q = point(k2, last.at);
            if (AngleBetween(q - p, sideDirection) > kSeamMaxTurnDegrees + sideSpread) continue;
            std::vector<cv::Point2f> on;
            bool holds = true;
            for (int k = 0; k < kSeamRows && holds; ++k) {
              const auto at = crossing(p, q, k);
              const auto& row = dips[static_cast<size_t>(k)];
              const auto hit =
                  !at ? row.end() : std::find_if(row.begin(), row.end(), [&](const Dip& dip) {
                    return std::abs(dip.at - *at) <= kSeamSlack;
                  });
              if (hit != row.end()) {
                on.push_back(point(k, hit->at));
              } else {
                // Missing at an end, or too often.
                holds = k >= 2 && k < kSeamRows - 2 &&
                        k + 1 - static_cast<int>(on.size()) <= kSeamRows - needed;
              }
            }
            if (!holds || static_cast<int>(on.size()) < needed) continue;
            const float at = crossing(p, q, 0).value_or(first.at);
            holding.push_back(at);
            if (on.size() > best.size()) {
              best = std::move(on);
              bestAt = at;
            }
          }
        }
      }
    }
    if (best.empty()) continue;
    // Ruled or squared paper: many such lines side by side, where two
    // sheets meet at one.
    const bool ruled = std::any_of(holding.begin(), holding.end(),
                                   [&](float at) { return std::abs(at - bestAt) > kFlankFar; });
    if (ruled) continue;
    cv::Vec4f line;
    cv::fitLine(best, line, cv::DIST_L2, 0, 0.01, 0.01);
    const cv::Point2f p(line[2], line[3]);
    const cv::Point2f q = p + cv::Point2f(line[0], line[1]);
    const auto top = Intersect(p, q, a, b);
    const auto bottom = Intersect(p, q, d, c);
    if (!top || !bottom) continue;
    std::array<Corners, 2> pieces{Ordered({a, *top, *bottom, d}), Ordered({*top, b, c, *bottom})};
    bool sound = true;
    for (const Corners& piece : pieces) {
      const std::vector<cv::Point2f> polygon(piece.begin(), piece.end());
      sound = sound && cv::isContourConvex(polygon);
    }
    if (sound) return pieces;
  }
  return std::nullopt;
}

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
