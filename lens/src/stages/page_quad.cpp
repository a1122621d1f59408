#include "lens/src/stages/page_quad.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <opencv2/imgproc.hpp>

#include "lens/src/stages/page_detect.h"

namespace tavrin::lens {

namespace {

// Corners of a polygon closer than this part of its perimeter are merged.
constexpr double kPolygonTolerance = 0.01;
// A ragged outline with more corners than this is no page-like polygon;
// its bounding box is the best guess.
constexpr size_t kMaxPolygonCorners = 16;

double Cross(cv::Point2f a, cv::Point2f b) {
  return a.x * b.y - a.y * b.x;
}

}  // namespace

std::optional<cv::Point2f> Intersect(cv::Point2f p1, cv::Point2f p2, cv::Point2f q1,
                                     cv::Point2f q2) {
  const cv::Point2f r = p2 - p1;
  const cv::Point2f s = q2 - q1;
  const double denominator = Cross(r, s);
  if (std::abs(denominator) < 1e-6) return std::nullopt;
  const double t = Cross(q1 - p1, s) / denominator;
  return p1 + r * static_cast<float>(t);
}

namespace {

// Corners in cyclic order starting at the top left, going clockwise on
// screen.
std::array<cv::Point2f, 4> OrderCorners(const std::array<cv::Point2f, 4>& corners) {
  cv::Point2f centre(0, 0);
  for (const auto& c : corners) centre += c * 0.25F;
  std::array<cv::Point2f, 4> ordered = corners;
  std::sort(ordered.begin(), ordered.end(), [&](cv::Point2f a, cv::Point2f b) {
    return std::atan2(a.y - centre.y, a.x - centre.x) < std::atan2(b.y - centre.y, b.x - centre.x);
  });
  const auto topLeft = std::min_element(ordered.begin(), ordered.end(),
                                        [](auto a, auto b) { return a.x + a.y < b.x + b.y; });
  std::rotate(ordered.begin(), topLeft, ordered.end());
  return ordered;
}

// The quadrilateral of largest area with its corners among the polygon's.
std::array<cv::Point2f, 4> LargestInscribedQuad(const std::vector<cv::Point>& polygon) {
  const size_t n = polygon.size();
  std::array<size_t, 4> best{0, 1, 2, 3};
  double bestArea = -1;
  for (size_t a = 0; a < n; ++a) {
    for (size_t b = a + 1; b < n; ++b) {
      for (size_t c = b + 1; c < n; ++c) {
        for (size_t d = c + 1; d < n; ++d) {
          const double area = cv::contourArea(
              std::vector<cv::Point>{polygon[a], polygon[b], polygon[c], polygon[d]});
          if (area > bestArea) {
            bestArea = area;
            best = {a, b, c, d};
          }
        }
      }
    }
  }
  std::array<cv::Point2f, 4> corners{};
  for (size_t i = 0; i < 4; ++i) corners[i] = polygon[best[i]];
  return corners;
}

// For a polygon with a cut or dog-eared corner: its four longest sides,
// extended until they meet, bring the missing corner back. Nothing when
// they do not make a plausible page (a curved edge split into pieces).
std::optional<std::array<cv::Point2f, 4>> CompletedQuad(const std::vector<cv::Point>& polygon,
                                                        double hullArea, cv::Size bounds) {
  const size_t n = polygon.size();
  std::vector<size_t> sides(n);
  std::iota(sides.begin(), sides.end(), 0);
  const auto length = [&](size_t i) { return cv::norm(polygon[(i + 1) % n] - polygon[i]); };
  std::partial_sort(sides.begin(), sides.begin() + 4, sides.end(),
                    [&](size_t a, size_t b) { return length(a) > length(b); });
  sides.resize(4);
  std::sort(sides.begin(), sides.end());
  const cv::Rect2f allowed(-0.25F * bounds.width, -0.25F * bounds.height, 1.5F * bounds.width,
                           1.5F * bounds.height);
  std::array<cv::Point2f, 4> corners{};
  for (size_t i = 0; i < 4; ++i) {
    const size_t a = sides[i];
    const size_t b = sides[(i + 1) % 4];
    const auto corner =
        Intersect(polygon[a], polygon[(a + 1) % n], polygon[b], polygon[(b + 1) % n]);
    if (!corner || !allowed.contains(*corner)) return std::nullopt;
    corners[i] = *corner;
  }
  const std::vector<cv::Point2f> quad(corners.begin(), corners.end());
  const double area = cv::contourArea(quad);
  if (!cv::isContourConvex(quad) || area < hullArea * 0.98 || area > hullArea * 1.25) {
    return std::nullopt;
  }
  return corners;
}

// Moves each side onto the line that best fits the outline points along
// its middle, which places corners to a fraction of a detection pixel;
// the polygon's corners are outline points picked with some tolerance.
std::array<cv::Point2f, 4> RefineSidesOnce(const std::array<cv::Point2f, 4>& corners,
                                           const std::vector<cv::Point>& outline,
                                           double sideShare) {
  std::array<cv::Vec4f, 4> lines{};
  for (size_t i = 0; i < 4; ++i) {
    const cv::Point2f from = corners[i];
    const cv::Point2f to = corners[(i + 1) % 4];
    const cv::Point2f along = to - from;
    const double sideLength = cv::norm(along);
    lines[i] = cv::Vec4f(along.x / static_cast<float>(sideLength),
                         along.y / static_cast<float>(sideLength), from.x, from.y);
    if (sideLength < 8) continue;
    const double nearEnough = 1.5 + sideShare * sideLength;
    std::vector<cv::Point2f> onSide;
    for (const cv::Point& p : outline) {
      const cv::Point2f offset = cv::Point2f(p) - from;
      const double t = offset.dot(along) / (sideLength * sideLength);
      const double distance = std::abs(Cross(along, offset)) / sideLength;
      if (t > 0.1 && t < 0.9 && distance <= nearEnough) onSide.push_back(p);
    }
    if (onSide.size() < 8) continue;
    cv::fitLine(onSide, lines[i], cv::DIST_HUBER, 0, 0.01, 0.01);
  }
  std::array<cv::Point2f, 4> refined = corners;
  const double diagonal = cv::norm(corners[2] - corners[0]);
  for (size_t i = 0; i < 4; ++i) {
    const cv::Vec4f& before = lines[(i + 3) % 4];
    const cv::Vec4f& after = lines[i];
    const cv::Point2f p1(before[2], before[3]);
    const cv::Point2f q1(after[2], after[3]);
    const auto corner = Intersect(p1, p1 + cv::Point2f(before[0], before[1]), q1,
                                  q1 + cv::Point2f(after[0], after[1]));
    if (corner && cv::norm(*corner - corners[i]) < 0.03 * diagonal) refined[i] = *corner;
  }
  return refined;
}

// A polygon corner can sit well off the true edge (the start of a cut
// corner); a wide band first pulls the side onto the edge, narrower ones
// then leave out what is not edge.
std::array<cv::Point2f, 4> RefineSides(std::array<cv::Point2f, 4> corners,
                                       const std::vector<cv::Point>& outline) {
  for (double sideShare : {0.04, 0.02, 0.01, 0.005}) {
    corners = RefineSidesOnce(corners, outline, sideShare);
  }
  return corners;
}

}  // namespace

std::array<cv::Point2f, 4> FitQuad(const std::vector<cv::Point>& outline, cv::Size bounds) {
  std::vector<cv::Point> hull;
  cv::convexHull(outline, hull);
  const double hullArea = cv::contourArea(hull);
  std::vector<cv::Point> polygon;
  cv::approxPolyDP(hull, polygon, kPolygonTolerance * cv::arcLength(hull, true), true);

  std::array<cv::Point2f, 4> corners{};
  if (polygon.size() == 4) {
    for (size_t i = 0; i < 4; ++i) corners[i] = polygon[i];
  } else if (polygon.size() > 4 && polygon.size() <= kMaxPolygonCorners) {
    const auto completed = CompletedQuad(polygon, hullArea, bounds);
    corners = completed ? *completed : LargestInscribedQuad(polygon);
  } else {
    cv::Point2f box[4];
    cv::minAreaRect(hull).points(box);
    for (size_t i = 0; i < 4; ++i) corners[i] = box[i];
  }
  return RefineSides(OrderCorners(corners), outline);
}

double DefaultFocalPixels(int frameWidth) {
  return 0.5 * frameWidth / std::tan(0.5 * kDefaultFieldOfViewDegrees * CV_PI / 180.0);
}

PageCamera ResolvedCamera(const PageCamera& camera, cv::Size frameSize) {
  PageCamera resolved = camera;
  if (camera.principalPoint.x < 0 || camera.principalPoint.y < 0) {
    resolved.principalPoint = cv::Point2d(frameSize.width / 2.0, frameSize.height / 2.0);
  }
  if (camera.focalPixels <= 0) resolved.focalPixels = DefaultFocalPixels(frameSize.width);
  return resolved;
}

double RectangleAspect(const std::array<cv::Point2f, 4>& corners, cv::Point2d principalPoint,
                       double focalPixels) {
  // The corners as rays of a camera at the origin: the page's sides are
  // parallel in space, and each pair's vanishing direction n follows from
  // the cross ratios of the four corners. Two such directions of a
  // rectangle are perpendicular, which gives the focal length; their
  // lengths in space give the ratio.
  const auto ray = [&](size_t i) {
    return cv::Vec3d(corners[i].x - principalPoint.x, corners[i].y - principalPoint.y, 1.0);
  };
  const cv::Vec3d m1 = ray(0);  // top left
  const cv::Vec3d m2 = ray(1);  // top right
  const cv::Vec3d m3 = ray(3);  // bottom left
  const cv::Vec3d m4 = ray(2);  // bottom right
  const double k2 = m1.cross(m4).dot(m3) / m2.cross(m4).dot(m3);
  const double k3 = m1.cross(m4).dot(m2) / m3.cross(m4).dot(m2);
  const cv::Vec3d n2 = k2 * m2 - m1;  // along the width
  const cv::Vec3d n3 = k3 * m3 - m1;  // along the height
  double focal = focalPixels;
  // Each vanishing point lies |(nx, ny)| / |nz| from the axis; a far one
  // (sides nearly parallel in the image) says nothing certain about the
  // focal length, and the field of view's value is taken.
  const double reach = 10.0 * focalPixels;
  const double far2 = std::hypot(n2[0], n2[1]);
  const double far3 = std::hypot(n3[0], n3[1]);
  if (std::abs(n2[2]) * reach > far2 && std::abs(n3[2]) * reach > far3) {
    const double focal2 = -(n2[0] * n3[0] + n2[1] * n3[1]) / (n2[2] * n3[2]);
    if (focal2 > 0) {
      const double estimate = std::sqrt(focal2);
      if (estimate > 0.5 * focalPixels && estimate < 2.0 * focalPixels) focal = estimate;
    }
  }
  const double f2 = focal * focal;
  const double width2 = n2[0] * n2[0] + n2[1] * n2[1] + f2 * n2[2] * n2[2];
  const double height2 = n3[0] * n3[0] + n3[1] * n3[1] + f2 * n3[2] * n3[2];
  if (!(width2 > 0) || !(height2 > 0) || !std::isfinite(width2 / height2)) {
    const double w = 0.5 * (cv::norm(corners[1] - corners[0]) + cv::norm(corners[2] - corners[3]));
    const double h = 0.5 * (cv::norm(corners[3] - corners[0]) + cv::norm(corners[2] - corners[1]));
    return w / std::max(1e-9, h);
  }
  return std::sqrt(width2 / height2);
}

cv::Size2d PageSideLengths(const PageQuad& quad) {
  if (quad.size.width > 0 && quad.size.height > 0) return quad.size;
  const auto& c = quad.corners;
  const double width = std::max(cv::norm(c[1] - c[0]), cv::norm(c[2] - c[3]));
  const double height = std::max(cv::norm(c[3] - c[0]), cv::norm(c[2] - c[1]));
  return {width, height};
}

}  // namespace tavrin::lens
