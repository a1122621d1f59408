#include "lens/src/stages/book.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include <opencv2/imgproc.hpp>

#include "lens/src/memory/large_picture.h"
#include "lens/src/stages/book_spine.h"
#include "lens/src/stages/color.h"
#include "lens/src/stages/geometry.h"

namespace tavrin::lens {

// The model of a page. An open book's page bends across its width only:
// every line parallel to the spine stays straight (the paper is pinned
// along the spine and cannot stretch), so the page is a general cylinder
// whose rulings run parallel to the spine, and its whole shape is one
// cross-section, the height z(s) at each distance s from the spine. Under
// a camera looking down on the book, a ruling at height z is seen
// f / (f - z) times larger than on the desk, so the page's top and bottom
// edges, the rulings' two ends, bow apart where the page rises: the height
// between them, h(s), gives z(s) = f (1 - H / h(s)), H being the height
// where the page lies lowest. The edges of the paper are the clearest thing
// in the picture of a book and are always there, while text lines need
// text and a reliable line finder; so the cross-section comes from the
// edges alone. Unrolling the cross-section (its arc length) gives the
// page's true width, each ruling's points are spaced evenly between its
// two ends (a ruling lies level, so the camera maps it affinely), and the
// page comes out rectangular with its true proportions: width the arc
// length, height H.
//
// Everything is worked out on an upright copy of the spread (the book
// search's quadrilateral mapped to a rectangle, then sheared so that the
// spine is vertical): there a ruling is a column.

namespace {

// The search copy's longer side: the edges are fitted over hundreds of
// columns, which places them to a fraction of its pixel.
constexpr int kSearchLongSide = 800;
// Room left around the quadrilateral: curved edges bow out of it.
constexpr double kCanvasMargin = 0.1;
// Next to the spine the shadow hides the edges; they are carried on from
// farther out over this part of the page's width.
constexpr double kGutterSkip = 0.05;
// The local fit's window, as a part of the page's width.
constexpr double kEdgeWindow = 0.06;
// A page must be at least this part of the spread's height and width.
constexpr double kMinPageHeight = 0.6;
constexpr double kMinPageWidth = 0.3;
// The narrower page at least this part of the wider one.
constexpr double kMinPageBalance = 0.8;
// The paper's brightness in a column: this quantile of it (text is
// darker and takes fewer of a column's pixels).
constexpr double kPaperQuantile = 0.98;
constexpr float kMaxShadingGain = 4.0F;
// A thick book's stacked page edges show beyond each fore-edge as a band
// darker than the page (the edges face the light less): a fall below this
// share of the page's paper, within a couple of columns, that lasts to the
// end, in the outer part of the page.
constexpr double kBandLevel = 0.86;
// An edge followed into the gutter's shadow moves at most this many rows
// from one column to the next, and must change the brightness by this
// much across it.
constexpr int kTrackReach = 2;
constexpr double kMinTrackStep = 6.0;
constexpr double kBandSearch = 0.75;

struct Upright {
  cv::Mat grey;           // CV_8U, the spread upright with a margin
  cv::Matx33d toFrame;    // upright pixel centres to frame pixel centres
  double perFrame = 1.0;  // upright pixels per frame pixel
  cv::Point2d principal;  // in upright pixels
  double focal = 0.0;     // in upright pixels
  cv::Rect2d spread;      // the quadrilateral's rectangle in upright pixels
};

cv::Matx33d Scaling(double s) {
  // Pixel centres of an image scaled by s.
  return {s, 0, 0.5 * s - 0.5, 0, s, 0.5 * s - 0.5, 0, 0, 1};
}

cv::Point2d Apply(const cv::Matx33d& h, cv::Point2d p) {
  const cv::Vec3d q = h * cv::Vec3d(p.x, p.y, 1.0);
  return {q[0] / q[2], q[1] / q[2]};
}

// frameToUpright maps frame pixel centres to the upright copy.
Upright MakeUpright(const cv::Mat& small, double smallPerFrame, const cv::Matx33d& frameToUpright,
                    cv::Size size, const cv::Rect2d& spread, const PageCamera& camera,
                    cv::Size frameSize) {
  Upright u;
  const cv::Matx33d smallToUpright = frameToUpright * Scaling(smallPerFrame).inv();
  cv::warpPerspective(small, u.grey, cv::Mat(smallToUpright), size, cv::INTER_LINEAR,
                      cv::BORDER_CONSTANT, cv::Scalar(0));
  u.toFrame = frameToUpright.inv();
  u.spread = spread;
  const cv::Point2d centre(spread.x + spread.width / 2, spread.y + spread.height / 2);
  const cv::Point2d c = Apply(u.toFrame, centre);
  const cv::Point2d right = Apply(u.toFrame, centre + cv::Point2d(1, 0));
  const cv::Point2d down = Apply(u.toFrame, centre + cv::Point2d(0, 1));
  const cv::Point2d dx = right - c;
  const cv::Point2d dy = down - c;
  u.perFrame = 1.0 / std::sqrt(std::max(1e-12, std::abs(dx.x * dy.y - dx.y * dy.x)));
  const PageCamera resolved = ResolvedCamera(camera, frameSize);
  u.principal = Apply(frameToUpright, resolved.principalPoint - cv::Point2d(0.5, 0.5));
  u.focal = resolved.focalPixels * u.perFrame;
  return u;
}

// An edge as a smooth curve: at each distance from the spine, a quadratic
// fitted to the edge points nearby, weighted by how near they are. One
// polynomial over the whole page smooths away the steep rise out of the
// gutter; the local fit follows it and still averages the search copy's
// pixels out over a window of columns. Twice: the second time without
// what lay far off the first fit (a finger, a bookmark).
struct EdgeCurve {
  std::vector<double> values;  // at distances 0, 1, 2, ...
  double operator()(double s) const {
    const double last = static_cast<double>(values.size() - 1);
    const double at = std::clamp(s, 0.0, last - 1e-9);
    const size_t i = static_cast<size_t>(at);
    const double t = at - static_cast<double>(i);
    double v = values[i] * (1 - t) + values[std::min(i + 1, values.size() - 1)] * t;
    if (s > last) v += (values.back() - values[values.size() - 2]) * (s - last);
    return v;
  }
};

std::optional<double> LocalQuadratic(const std::vector<cv::Point2d>& points, double s,
                                     double window) {
  cv::Matx33d normal = cv::Matx33d::zeros();
  cv::Vec3d right(0, 0, 0);
  int used = 0;
  for (const auto& p : points) {
    const double d = (p.x - s) / window;
    if (std::abs(d) >= 1) continue;
    const double w = std::pow(1 - std::pow(std::abs(d), 3), 3);
    const cv::Vec3d basis(1, d, d * d);
    normal += w * basis * basis.t();
    right += w * p.y * basis;
    ++used;
  }
  if (used < 6) return std::nullopt;
  cv::Vec3d solution;
  if (!cv::solve(normal, right, solution, cv::DECOMP_SVD)) return std::nullopt;
  return solution[0];
}

std::optional<EdgeCurve> FitEdge(std::vector<cv::Point2d> points, double outer) {
  const double window = std::max(8.0, kEdgeWindow * outer);
  const int count = static_cast<int>(std::ceil(outer)) + 1;
  EdgeCurve curve;
  for (int pass = 0; pass < 2; ++pass) {
    if (points.size() < 12) return std::nullopt;
    curve.values.assign(static_cast<size_t>(count), 0.0);
    for (int s = 0; s < count; ++s) {
      // Where the points do not reach (the gutter), the window grows until
      // it holds enough of them.
      std::optional<double> v;
      for (double reach = window; !v && reach < 8 * window; reach *= 1.5) {
        v = LocalQuadratic(points, s, reach);
      }
      if (!v) return std::nullopt;
      curve.values[static_cast<size_t>(s)] = *v;
    }
    std::vector<double> residuals;
    for (const auto& p : points) residuals.push_back(std::abs(curve(p.x) - p.y));
    std::vector<double> sorted = residuals;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2),
                     sorted.end());
    const double limit = std::max(1.0, 4.0 * sorted[sorted.size() / 2]);
    std::vector<cv::Point2d> kept;
    for (size_t i = 0; i < points.size(); ++i) {
      if (residuals[i] <= limit) kept.push_back(points[i]);
    }
    points = std::move(kept);
  }
  return curve;
}

// Where the paper's edge lies in a column near row, to a fraction of a
// pixel: the strongest step of the right sign within a few pixels.
double RefineEdge(const cv::Mat& grey, int column, int row, bool top) {
  int best = row;
  double bestStep = -1;
  std::array<double, 9> steps{};
  for (int d = -4; d <= 4; ++d) {
    const int y = row + d;
    double step = 0;
    if (y >= 1 && y < grey.rows - 1) {
      step = grey.at<uchar>(y + 1, column) - grey.at<uchar>(y - 1, column);
      if (!top) step = -step;
    }
    steps[static_cast<size_t>(d + 4)] = step;
    if (step > bestStep) {
      bestStep = step;
      best = y;
    }
  }
  double edge = best;
  const int at = best - row + 4;
  if (at > 0 && at < 8) {
    const double l = steps[static_cast<size_t>(at - 1)];
    const double m = steps[static_cast<size_t>(at)];
    const double r = steps[static_cast<size_t>(at + 1)];
    const double curvature = l - 2 * m + r;
    if (curvature < 0) edge += std::clamp(0.5 * (l - r) / curvature, -0.5, 0.5);
  }
  // In pixel-centre coordinates: a step from row 9 to row 10 peaks at
  // 9.5, where the paper's edge is.
  return edge;
}

// The paper's level in each column from the spine out to outer (the
// median between the column's top and bottom: print covers less than half
// of it); -1 where the column is no page.
std::vector<double> ColumnLevels(const cv::Mat& grey, const std::vector<int>& tops,
                                 const std::vector<int>& bottoms, int spine, int side, int outer) {
  std::vector<double> levels(static_cast<size_t>(outer + 1), -1.0);
  std::vector<uchar> column;
  for (int s = 1; s <= outer; ++s) {
    const int top = tops[static_cast<size_t>(s)];
    const int bottom = bottoms[static_cast<size_t>(s)];
    if (top < 0) continue;
    const int margin = (bottom - top) / 10;
    const int x = spine + side * s;
    column.clear();
    for (int y = top + margin; y <= bottom - margin; ++y) column.push_back(grey.at<uchar>(y, x));
    if (column.empty()) continue;
    auto middle = column.begin() + static_cast<long>(column.size() / 2);
    std::nth_element(column.begin(), middle, column.end());
    levels[static_cast<size_t>(s)] = *middle;
  }
  return levels;
}

// Where the page itself ends: before a band of stacked page edges when
// the book is thick enough to show one, else at outer.
int ForeEdge(const cv::Mat& grey, const std::vector<int>& tops, const std::vector<int>& bottoms,
             int spine, int side, int outer) {
  const std::vector<double> levels = ColumnLevels(grey, tops, bottoms, spine, side, outer);
  std::vector<double> paperLevels;
  for (int s = outer / 2; s < static_cast<int>(kBandSearch * outer); ++s) {
    if (levels[static_cast<size_t>(s)] >= 0) paperLevels.push_back(levels[static_cast<size_t>(s)]);
  }
  if (paperLevels.size() < 8) return outer;
  auto middle = paperLevels.begin() + static_cast<long>(paperLevels.size() / 2);
  std::nth_element(paperLevels.begin(), middle, paperLevels.end());
  const double band = kBandLevel * *middle;
  const double paper = 0.5 * (1.0 + kBandLevel) * *middle;
  // From the outer end inwards while the columns stay darker; the band
  // begins where the page's paper comes back within two columns.
  int s = outer;
  int dark = 0;
  while (s > kBandSearch * outer) {
    const double level = levels[static_cast<size_t>(s)];
    if (level >= band) break;
    if (level >= 0) ++dark;
    --s;
  }
  if (dark < 3) return outer;
  for (int k = 0; k <= 2; ++k) {
    if (s - k > 0 && levels[static_cast<size_t>(s - k)] >= paper) return s - k;
  }
  return outer;
}

// An edge followed from column first (where it lies at row) towards the
// spine through the gutter's shadow, which takes the paper too dark for
// the brightness split: in each column the strongest change of brightness
// next to where the edge was, of either sign (deep in the shadow the paper
// is darker than the cover beyond it). Stops where no change stands out.
// Points (distance from the spine, row), nearest the spine last.
std::vector<cv::Point2d> TrackIntoShadow(const cv::Mat& grey, int spine, int side, int first,
                                         int row) {
  std::vector<cv::Point2d> points;
  double at = row;
  double slope = 0.0;
  int lost = 0;
  const int maxLost = std::max(2, first / 3);
  for (int s = first - 1; s >= 1; --s) {
    const int x = spine + side * s;
    const int predicted = static_cast<int>(std::lround(at + slope));
    double best = 0;
    int bestY = -1;
    for (int y = predicted - kTrackReach; y <= predicted + kTrackReach; ++y) {
      if (y < 1 || y >= grey.rows - 1) continue;
      const double step = std::abs(grey.at<uchar>(y + 1, x) - grey.at<uchar>(y - 1, x));
      if (step > best) {
        best = step;
        bestY = y;
      }
    }
    if (bestY < 0 || best < kMinTrackStep) {
      // Where the shaded paper is as dark as what lies beyond it the edge
      // fades; it is carried on as it ran, and found again past there.
      if (++lost > maxLost) break;
      at += slope;
      continue;
    }
    lost = 0;
    // To a fraction of a row: the peak of a parabola through the steps.
    double edge = bestY;
    if (bestY > 1 && bestY < grey.rows - 2) {
      const auto stepAt = [&](int y) {
        return std::abs(grey.at<uchar>(y + 1, x) - grey.at<uchar>(y - 1, x));
      };
      const double l = stepAt(bestY - 1);
      const double r = stepAt(bestY + 1);
      const double curvature = l - 2 * best + r;
      if (curvature < 0) edge += std::clamp(0.5 * (l - r) / curvature, -0.5, 0.5);
    }
    slope = 0.7 * slope + 0.3 * (edge - at);
    at = edge;
    points.emplace_back(s, edge);
  }
  return points;
}

// One page's shape in the upright copy, whose column spine is the spine:
// side -1 the left page, +1 the right.
struct PageShape {
  int side = 1;
  double outer = 0.0;  // the outer edge's distance from the spine
  EdgeCurve top;
  EdgeCurve bottom;
  double skip = 0.0;  // below this distance the edges are carried on straight
  double Top(double s) const { return Carried(top, s); }
  double Bottom(double s) const { return Carried(bottom, s); }

 private:
  double Carried(const EdgeCurve& p, double s) const {
    if (s >= skip) return p(s);
    const double slope = (p(skip + 1.0) - p(skip)) / 1.0;
    return p(skip) + slope * (s - skip);
  }
};

std::optional<PageShape> FindPageShape(const cv::Mat& grey, const cv::Mat& mask, int spine,
                                       int side, const cv::Rect2d& spread) {
  PageShape shape;
  shape.side = side;
  const int maxReach = side < 0 ? spine : grey.cols - 1 - spine;
  std::vector<int> tops(static_cast<size_t>(maxReach + 1), -1);
  std::vector<int> bottoms(static_cast<size_t>(maxReach + 1), -1);
  const int minHeight = static_cast<int>(kMinPageHeight * spread.height);
  for (int s = 1; s <= maxReach; ++s) {
    const int x = spine + side * s;
    int first = -1;
    int last = -1;
    int run = 0;
    for (int y = 0; y < mask.rows; ++y) {
      if (mask.at<uchar>(y, x) != 0) {
        if (++run == 3 && first < 0) first = y - 2;
      } else {
        if (run >= 3) last = y - 1;
        run = 0;
      }
    }
    if (run >= 3) last = mask.rows - 1;
    // What lies between (text, pictures, a black block) does not matter.
    if (first < 0 || last - first < minHeight) continue;
    tops[static_cast<size_t>(s)] = first;
    bottoms[static_cast<size_t>(s)] = last;
  }
  // The outer edge: the farthest distance beyond which hardly a column is
  // page any more.
  int outer = 0;
  int valid = 0;
  for (int s = 1; s <= maxReach; ++s) {
    if (tops[static_cast<size_t>(s)] >= 0) {
      ++valid;
      outer = s;
    } else if (s - outer > 0.03 * spread.width && valid > 0) {
      break;
    }
  }
  if (outer < kMinPageWidth * spread.width / 2 || valid < 0.6 * outer) return std::nullopt;
  outer = ForeEdge(grey, tops, bottoms, spine, side, outer);
  shape.outer = outer + 0.5;
  // The edges are used from where the shadow lets the paper show, and
  // followed on into the shadow as far as they can be told from what lies
  // beyond them.
  int firstSeen = 1;
  while (firstSeen < outer && tops[static_cast<size_t>(firstSeen)] < 0) ++firstSeen;
  std::vector<cv::Point2d> topPoints;
  std::vector<cv::Point2d> bottomPoints;
  int tracked = firstSeen;
  if (firstSeen > 2 && firstSeen < outer) {
    topPoints = TrackIntoShadow(grey, spine, side, firstSeen, tops[static_cast<size_t>(firstSeen)]);
    bottomPoints =
        TrackIntoShadow(grey, spine, side, firstSeen, bottoms[static_cast<size_t>(firstSeen)]);
    // Both edges or neither: one alone would tilt the page's height.
    const size_t both = std::min(topPoints.size(), bottomPoints.size());
    topPoints.resize(both);
    bottomPoints.resize(both);
    if (both > 0) tracked = static_cast<int>(topPoints.back().x);
  }
  shape.skip = std::min<double>(tracked + 2, kGutterSkip * outer);
  for (int s = std::max(static_cast<int>(shape.skip), firstSeen); s <= outer - 2; ++s) {
    if (tops[static_cast<size_t>(s)] < 0) continue;
    const int x = spine + side * s;
    topPoints.emplace_back(s, RefineEdge(grey, x, tops[static_cast<size_t>(s)], true));
    bottomPoints.emplace_back(s, RefineEdge(grey, x, bottoms[static_cast<size_t>(s)], false));
  }
  const auto top = FitEdge(std::move(topPoints), shape.outer);
  const auto bottom = FitEdge(std::move(bottomPoints), shape.outer);
  if (!top || !bottom) return std::nullopt;
  shape.top = *top;
  shape.bottom = *bottom;
  return shape;
}

// The page's cross-section unrolled: the arc length from the spine at
// equal steps of distance, in upright pixels at the desk's height.
struct Unrolled {
  std::vector<double> distance;
  std::vector<double> arc;
  double height = 0.0;  // the page's true height, same units
};

Unrolled Unroll(const PageShape& shape, double spineX, const cv::Point2d& principal, double focal) {
  Unrolled u;
  const double step = 0.25;
  const int steps = std::max(2, static_cast<int>(std::ceil(shape.outer / step)));
  std::vector<double> heights(static_cast<size_t>(steps + 1));
  double lowest = 1e300;
  for (int i = 0; i <= steps; ++i) {
    const double s = shape.outer * i / steps;
    heights[static_cast<size_t>(i)] = std::max(1.0, shape.Bottom(s) - shape.Top(s));
    lowest = std::min(lowest, heights[static_cast<size_t>(i)]);
  }
  u.height = lowest;
  double arc = 0.0;
  double lastX = 0.0;
  double lastZ = 0.0;
  for (int i = 0; i <= steps; ++i) {
    const double s = shape.outer * i / steps;
    const double ratio = lowest / heights[static_cast<size_t>(i)];  // (f - z) / f
    const double x = (spineX + shape.side * s - principal.x) * ratio;
    const double z = focal * (1.0 - ratio);
    if (i > 0) arc += std::hypot(x - lastX, z - lastZ);
    lastX = x;
    lastZ = z;
    u.distance.push_back(s);
    u.arc.push_back(arc);
  }
  return u;
}

cv::Mat UnrollPage(const cv::Mat& image, const Upright& up, const PageShape& shape, double spineX,
                   const BookRequest& request) {
  const Unrolled u = Unroll(shape, spineX, up.principal, up.focal);
  const double totalArc = u.arc.back();
  // Output pixels per upright pixel at the desk.
  const double perUpX = request.scaleX / up.perFrame;
  const double perUpY = request.scaleY / up.perFrame;
  const double fullWidth = totalArc * perUpX;
  const double fullHeight = u.height * perUpY;
  const double shorter = std::max(1.0, std::min(fullWidth, fullHeight));
  const double insetX = request.insetPixels * fullWidth / shorter;
  const double insetY = request.insetPixels * fullHeight / shorter;
  const cv::Size outSize(std::max(1, static_cast<int>(std::lround(fullWidth - 2 * insetX))),
                         std::max(1, static_cast<int>(std::lround(fullHeight - 2 * insetY))));
  // Each output column is one ruling: where it lies, and its two ends.
  std::vector<double> rulingX(static_cast<size_t>(outSize.width));
  std::vector<double> rulingTop(rulingX.size());
  std::vector<double> rulingBottom(rulingX.size());
  size_t at = 0;
  for (int c = 0; c < outSize.width; ++c) {
    // Output columns run left to right: from the outer edge to the spine
    // on the left page, from the spine outwards on the right one.
    const double along = (c + 0.5 + insetX) / perUpX;
    const double arc = shape.side > 0 ? along : totalArc - along;
    // The arc grows with the distance; look it up.
    if (shape.side > 0) {
      while (at + 2 < u.arc.size() && u.arc[at + 1] < arc) ++at;
    } else {
      at = static_cast<size_t>(
          std::max<long>(0, std::lower_bound(u.arc.begin(), u.arc.end(), arc) - u.arc.begin() - 1));
      at = std::min(at, u.arc.size() - 2);
    }
    const double span = u.arc[at + 1] - u.arc[at];
    const double t = span > 1e-12 ? std::clamp((arc - u.arc[at]) / span, 0.0, 1.0) : 0.0;
    const double s = u.distance[at] + t * (u.distance[at + 1] - u.distance[at]);
    rulingX[static_cast<size_t>(c)] = spineX + shape.side * s;
    rulingTop[static_cast<size_t>(c)] = shape.Top(s);
    rulingBottom[static_cast<size_t>(c)] = shape.Bottom(s);
  }
  // The maps go block by block of rows: two maps of the whole page would
  // cost more in fresh memory than the sampling itself.
  constexpr int kBlockRows = 64;
  cv::Mat out = NewPicture(outSize, image.type());
  cv::Mat mapX(kBlockRows, outSize.width, CV_32F);
  cv::Mat mapY(kBlockRows, outSize.width, CV_32F);
  const cv::Matx33d& g = up.toFrame;
  for (int r0 = 0; r0 < outSize.height; r0 += kBlockRows) {
    const int rows = std::min(kBlockRows, outSize.height - r0);
    for (int r = 0; r < rows; ++r) {
      // top and bottom are the paper's edges; rows are sampled at their
      // centres.
      const double v = (r0 + r + 0.5 + insetY) / fullHeight;
      float* xs = mapX.ptr<float>(r);
      float* ys = mapY.ptr<float>(r);
      for (int c = 0; c < outSize.width; ++c) {
        const size_t i = static_cast<size_t>(c);
        const double x = rulingX[i];
        const double y = rulingTop[i] + v * (rulingBottom[i] - rulingTop[i]);
        const double w = g(2, 0) * x + g(2, 1) * y + g(2, 2);
        xs[c] = static_cast<float>((g(0, 0) * x + g(0, 1) * y + g(0, 2)) / w);
        ys[c] = static_cast<float>((g(1, 0) * x + g(1, 1) * y + g(1, 2)) / w);
      }
    }
    cv::Mat block = out.rowRange(r0, r0 + rows);
    cv::remap(image, block, mapX.rowRange(0, rows), mapY.rowRange(0, rows), cv::INTER_LINEAR,
              cv::BORDER_REPLICATE);
  }
  return out;
}

}  // namespace

void FlattenColumnShading(cv::Mat& page) {
  if (page.empty() || page.cols < 8 || page.rows < 8) return;
  const cv::Mat grey = ToGrey(page);
  constexpr int kStep = 4;
  cv::Mat small;
  // Full width: the shadow at the fold changes within a few columns.
  cv::resize(grey, small, cv::Size(grey.cols, std::max(8, grey.rows / kStep)), 0, 0,
             cv::INTER_AREA);
  std::vector<float> level(static_cast<size_t>(small.cols));
  std::vector<uchar> column(static_cast<size_t>(small.rows));
  for (int x = 0; x < small.cols; ++x) {
    for (int y = 0; y < small.rows; ++y) column[static_cast<size_t>(y)] = small.at<uchar>(y, x);
    auto nth = column.begin() + static_cast<long>(kPaperQuantile * (column.size() - 1));
    std::nth_element(column.begin(), nth, column.end());
    level[static_cast<size_t>(x)] = std::max<float>(1.0F, *nth);
  }
  // A vertical rule darkens a column or two all the way down; the light
  // changes more smoothly: the median of the columns nearby, which follows
  // a slope where it is and leaves the rule out.
  const int reach = 2;
  std::vector<float> median(level.size());
  std::vector<float> window;
  for (size_t x = 0; x < level.size(); ++x) {
    window.clear();
    for (long d = -reach; d <= reach; ++d) {
      const long at =
          std::clamp<long>(static_cast<long>(x) + d, 0, static_cast<long>(level.size()) - 1);
      window.push_back(level[static_cast<size_t>(at)]);
    }
    std::nth_element(window.begin(), window.begin() + reach, window.end());
    median[x] = window[static_cast<size_t>(reach)];
  }
  cv::Mat levels(1, small.cols, CV_32F, median.data());
  cv::blur(levels, levels, cv::Size(3, 1), cv::Point(-1, -1), cv::BORDER_REPLICATE);
  std::vector<float> sorted(levels.begin<float>(), levels.end<float>());
  auto nth = sorted.begin() + static_cast<long>(0.95 * (sorted.size() - 1));
  std::nth_element(sorted.begin(), nth, sorted.end());
  const float paper = *nth;
  cv::Mat gains;
  cv::resize(levels, gains, cv::Size(page.cols, 1), 0, 0, cv::INTER_LINEAR);
  std::vector<int> fixed(static_cast<size_t>(page.cols));
  for (int x = 0; x < page.cols; ++x) {
    const float gain = std::clamp(paper / gains.at<float>(0, x), 1.0F, kMaxShadingGain);
    fixed[static_cast<size_t>(x)] = static_cast<int>(gain * 256.0F + 0.5F);
  }
  const int channels = page.channels();
  for (int y = 0; y < page.rows; ++y) {
    uchar* row = page.ptr<uchar>(y);
    for (int x = 0; x < page.cols; ++x) {
      const int gain = fixed[static_cast<size_t>(x)];
      for (int ch = 0; ch < channels; ++ch) {
        uchar& v = row[x * channels + ch];
        v = static_cast<uchar>(std::min(255, (v * gain + 128) >> 8));
      }
    }
  }
}

namespace {

// The pages of the spread inside corners, when there is one.
std::vector<cv::Mat> TrySpread(const cv::Mat& image, const cv::Mat& small, double smallPerFrame,
                               const std::array<cv::Point2f, 4>& q, const PageCamera& camera,
                               const BookRequest& request) {
  const cv::Size frameSize = image.size();
  // The quadrilateral's sides in search pixels give the upright copy's size.
  const double width = 0.5 * (cv::norm(q[1] - q[0]) + cv::norm(q[2] - q[3])) * smallPerFrame;
  const double height = 0.5 * (cv::norm(q[3] - q[0]) + cv::norm(q[2] - q[1])) * smallPerFrame;
  if (width < 32 || height < 32) return {};
  const double mx = kCanvasMargin * width;
  const double my = kCanvasMargin * height;
  const cv::Size size(static_cast<int>(width + 2 * mx), static_cast<int>(height + 2 * my));
  const cv::Rect2d rect(mx, my, width, height);
  std::array<cv::Point2f, 4> from{};
  for (size_t i = 0; i < 4; ++i) from[i] = q[i] - cv::Point2f(0.5F, 0.5F);
  const std::array<cv::Point2f, 4> to{
      cv::Point2f(static_cast<float>(mx - 0.5), static_cast<float>(my - 0.5)),
      cv::Point2f(static_cast<float>(mx + width - 0.5), static_cast<float>(my - 0.5)),
      cv::Point2f(static_cast<float>(mx + width - 0.5), static_cast<float>(my + height - 0.5)),
      cv::Point2f(static_cast<float>(mx - 0.5), static_cast<float>(my + height - 0.5))};
  cv::Matx33d frameToUpright = cv::getPerspectiveTransform(from.data(), to.data());
  Upright up = MakeUpright(small, smallPerFrame, frameToUpright, size, rect, camera, frameSize);
  const auto spine = FindSpine(up.grey, rect);
  if (!spine) return {};
  // Shear so that the spine is the column at the middle.
  const double spineX = std::round(mx + width / 2);
  const cv::Matx33d shear(1, -(*spine)[0], spineX - (*spine)[1], 0, 1, 0, 0, 0, 1);
  frameToUpright = shear * frameToUpright;
  up = MakeUpright(small, smallPerFrame, frameToUpright, size, rect, camera, frameSize);

  cv::Mat mask;
  cv::threshold(up.grey, mask, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  cv::morphologyEx(mask, mask, cv::MORPH_OPEN,
                   cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3)));
  std::array<std::optional<PageShape>, 2> shapes;
  for (int side : {-1, 1}) {
    shapes[side < 0 ? 0 : 1] = FindPageShape(up.grey, mask, static_cast<int>(spineX), side, rect);
    if (!shapes[side < 0 ? 0 : 1]) return {};
  }
  // A book's two pages are as wide as each other; a dark line that splits
  // one page into unequal parts is no spine.
  const double narrower = std::min(shapes[0]->outer, shapes[1]->outer);
  const double wider = std::max(shapes[0]->outer, shapes[1]->outer);
  if (narrower < kMinPageBalance * wider) return {};
  std::vector<cv::Mat> pages;
  for (const auto& shape : shapes) {
    cv::Mat page = UnrollPage(image, up, *shape, spineX, request);
    FlattenColumnShading(page);
    pages.push_back(std::move(page));
  }
  return pages;
}

// corners widened by their own width to one side (-1 left, +1 right).
std::array<cv::Point2f, 4> Widened(const std::array<cv::Point2f, 4>& q, int side) {
  std::array<cv::Point2f, 4> w = q;
  if (side > 0) {
    w[1] = q[1] + (q[1] - q[0]);
    w[2] = q[2] + (q[2] - q[3]);
  } else {
    w[0] = q[0] - (q[1] - q[0]);
    w[3] = q[3] - (q[2] - q[3]);
  }
  return w;
}

}  // namespace

std::vector<cv::Mat> FlattenBookSpread(const cv::Mat& image, const PageQuad& spread,
                                       const PageCamera& camera, const BookRequest& request) {
  if (image.empty()) return {};
  const cv::Mat grey = ToGrey(image);
  const double smallPerFrame =
      std::min(1.0, static_cast<double>(kSearchLongSide) / std::max(grey.cols, grey.rows));
  cv::Mat small;
  if (smallPerFrame < 1.0) {
    cv::resize(grey, small, ScaledSize(grey.size(), smallPerFrame, smallPerFrame), 0, 0,
               cv::INTER_AREA);
  } else {
    small = grey;
  }
  auto pages = TrySpread(image, small, smallPerFrame, spread.corners, camera, request);
  // A strongly curved page has no straight sides, and the page search
  // may give only one of the two: the spread is then that page and its
  // neighbour on one side, whichever holds a spine and a second page.
  const float middle = 0.25F * (spread.corners[0].x + spread.corners[1].x + spread.corners[2].x +
                                spread.corners[3].x);
  const int first = middle < image.cols / 2.0F ? 1 : -1;
  for (int side : {first, -first}) {
    if (!pages.empty()) break;
    pages = TrySpread(image, small, smallPerFrame, Widened(spread.corners, side), camera, request);
  }
  return pages;
}

}  // namespace tavrin::lens
