#include "lens/src/stages/page_detect.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>

#include <opencv2/imgproc.hpp>

#include "lens/src/stages/color.h"
#include "lens/src/stages/geometry.h"

namespace tavrin::lens {

namespace {

// Detection only needs the outline of a page; a long side of this many
// pixels keeps corners within a few frame pixels while the search itself
// costs next to nothing next to the warp.
constexpr int kDetectLongSide = 720;
// Page and desk must differ by this many grey levels on average, or the
// frame is taken to hold no page (a blank desk, a page filling the frame).
constexpr double kMinContrast = 28.0;
// A page covers at least this part of the frame; a card of the multiple
// crop at least the smaller part.
constexpr double kMinPageFraction = 0.04;
constexpr double kMinCardFraction = 0.01;
// Beside the largest document, smaller bright things count as documents
// only when they are at least this part of it (not a pen, not a glare).
constexpr double kMinCardOfLargest = 0.12;
// Both halves of a book spread are of similar size.
constexpr double kMinBookPageOfLargest = 0.3;
// Corners of a polygon closer than this part of its perimeter are merged.
constexpr double kPolygonTolerance = 0.01;
// A ragged outline with more corners than this is no page-like polygon;
// its bounding box is the best guess.
constexpr size_t kMaxPolygonCorners = 16;

struct Candidate {
  std::vector<cv::Point> contour;
  double area = 0.0;
};

double Cross(cv::Point2f a, cv::Point2f b) {
  return a.x * b.y - a.y * b.x;
}

std::optional<cv::Point2f> Intersect(cv::Point2f p1, cv::Point2f p2, cv::Point2f q1,
                                     cv::Point2f q2) {
  const cv::Point2f r = p2 - p1;
  const cv::Point2f s = q2 - q1;
  const double denominator = Cross(r, s);
  if (std::abs(denominator) < 1e-6) return std::nullopt;
  const double t = Cross(q1 - p1, s) / denominator;
  return p1 + r * static_cast<float>(t);
}

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

// A quadrilateral around an outline (one contour, or both pages of a book).
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

bool TouchesAllBorders(const std::vector<cv::Point>& contour, cv::Size size) {
  const cv::Rect box = cv::boundingRect(contour);
  return box.x <= 1 && box.y <= 1 && box.x + box.width >= size.width - 1 &&
         box.y + box.height >= size.height - 1;
}

// Reading order: rows from the top, each row left to right. Two documents
// are in one row when their centres are less than half the lower one's
// height apart vertically.
void SortReadingOrder(std::vector<PageQuad>& quads) {
  const auto centre = [](const PageQuad& q) {
    cv::Point2f c(0, 0);
    for (const auto& p : q.corners) c += p * 0.25F;
    return c;
  };
  std::sort(quads.begin(), quads.end(),
            [&](const PageQuad& a, const PageQuad& b) { return centre(a).y < centre(b).y; });
  std::vector<PageQuad> ordered;
  size_t rowStart = 0;
  while (rowStart < quads.size()) {
    size_t rowEnd = rowStart + 1;
    const double rowHeight = PageSideLengths(quads[rowStart]).height;
    while (rowEnd < quads.size() &&
           centre(quads[rowEnd]).y - centre(quads[rowStart]).y < 0.5 * rowHeight) {
      ++rowEnd;
    }
    std::sort(quads.begin() + static_cast<long>(rowStart),
              quads.begin() + static_cast<long>(rowEnd),
              [&](const PageQuad& a, const PageQuad& b) { return centre(a).x < centre(b).x; });
    rowStart = rowEnd;
  }
}

PageQuad MakeQuad(const std::vector<const Candidate*>& parts, cv::Size detectSize, double scale) {
  std::vector<cv::Point> points;
  std::vector<std::vector<cv::Point>> contours;
  for (const Candidate* part : parts) {
    points.insert(points.end(), part->contour.begin(), part->contour.end());
    contours.push_back(part->contour);
  }
  PageQuad quad;
  quad.detectionScale = scale;
  quad.detectionMask = cv::Mat::zeros(detectSize, CV_8UC1);
  cv::drawContours(quad.detectionMask, contours, -1, cv::Scalar(255), cv::FILLED);
  const auto corners = FitQuad(points, detectSize);
  cv::Point2f centre(0, 0);
  for (const auto& c : corners) centre += c * 0.25F;
  for (size_t i = 0; i < 4; ++i) {
    // Contour points are the centres of the outermost bright pixels; the
    // page's edge lies half a pixel further out along each axis.
    const cv::Point2f outward(corners[i].x < centre.x ? -0.5F : 0.5F,
                              corners[i].y < centre.y ? -0.5F : 0.5F);
    const cv::Point2f edge = corners[i] + cv::Point2f(0.5F, 0.5F) + outward;
    quad.corners[i] = edge * static_cast<float>(1.0 / scale);
  }
  return quad;
}

}  // namespace

cv::Size2d PageSideLengths(const PageQuad& quad) {
  const auto& c = quad.corners;
  const double width = std::max(cv::norm(c[1] - c[0]), cv::norm(c[2] - c[3]));
  const double height = std::max(cv::norm(c[3] - c[0]), cv::norm(c[2] - c[1]));
  return {width, height};
}

std::vector<PageQuad> FindPages(const cv::Mat& image, PageSearch search) {
  std::vector<PageQuad> found;
  if (image.empty()) return found;
  const double scale =
      std::min(1.0, static_cast<double>(kDetectLongSide) / std::max(image.cols, image.rows));
  const cv::Mat grey = ToGrey(image);
  cv::Mat small;
  if (scale < 1.0) {
    cv::resize(grey, small, ScaledSize(grey.size(), scale, scale), 0, 0, cv::INTER_AREA);
  } else {
    small = grey.clone();
  }
  cv::GaussianBlur(small, small, cv::Size(5, 5), 0);

  cv::Mat mask;
  cv::threshold(small, mask, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  const double brightShare = cv::countNonZero(mask) / static_cast<double>(mask.total());
  if (brightShare < kMinCardFraction || brightShare > 0.98) return found;
  const double contrast = cv::mean(small, mask)[0] - cv::mean(small, ~mask)[0];
  if (contrast < kMinContrast) return found;

  // Opening cuts thin bright bridges (a glare line, touching card corners)
  // that would join separate documents.
  cv::morphologyEx(mask, mask, cv::MORPH_OPEN,
                   cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5)));
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);

  const double frameArea = static_cast<double>(small.total());
  const double minFraction = search == PageSearch::kEvery ? kMinCardFraction : kMinPageFraction;
  std::vector<Candidate> candidates;
  for (auto& contour : contours) {
    const double area = cv::contourArea(contour);
    if (area < minFraction * frameArea || TouchesAllBorders(contour, small.size())) continue;
    candidates.push_back({std::move(contour), area});
  }
  if (candidates.empty()) return found;
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& a, const Candidate& b) { return a.area > b.area; });
  const double largest = candidates.front().area;

  switch (search) {
    case PageSearch::kLargest:
      found.push_back(MakeQuad({&candidates.front()}, small.size(), scale));
      break;
    case PageSearch::kEvery:
      for (const Candidate& candidate : candidates) {
        if (candidate.area < kMinCardOfLargest * largest) break;
        found.push_back(MakeQuad({&candidate}, small.size(), scale));
      }
      SortReadingOrder(found);
      break;
    case PageSearch::kBook: {
      std::vector<const Candidate*> pages{&candidates.front()};
      if (candidates.size() > 1 && candidates[1].area >= kMinBookPageOfLargest * largest) {
        pages.push_back(&candidates[1]);
      }
      found.push_back(MakeQuad(pages, small.size(), scale));
      break;
    }
  }
  return found;
}

}  // namespace tavrin::lens

namespace tavrin::lens {

namespace {

// A warp that shrinks by more than this samples too sparsely (aliasing
// in text); it straightens at full size first and then averages down.
constexpr double kMinDirectWarpScale = 0.7;
// Below this mask level an output pixel is not wholly page.
constexpr int kWholePageLevel = 250;

cv::Scalar MedianColour(const cv::Mat& image, const cv::Mat& mask) {
  cv::Scalar median(255, 255, 255, 0);
  const int histSize = 256;
  const float range[] = {0, 256};
  const float* ranges[] = {range};
  for (int channel = 0; channel < image.channels(); ++channel) {
    cv::Mat hist;
    cv::calcHist(&image, 1, &channel, mask, hist, 1, &histSize, ranges);
    const double total = cv::sum(hist)[0];
    if (total <= 0) continue;
    double running = 0;
    for (int level = 0; level < histSize; ++level) {
      running += hist.at<float>(level);
      if (running >= total / 2) {
        median[channel] = level;
        break;
      }
    }
  }
  return median;
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

}  // namespace

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
  cv::Mat out;
  cv::warpPerspective(image, out, homography, outSize, cv::INTER_LINEAR, cv::BORDER_REPLICATE);

  if (request.restoreEdges && !quad.detectionMask.empty()) {
    // The mask is in detection pixels: take its centres to frame centres
    // first, then through the same homography.
    const double s = quad.detectionScale;
    const cv::Matx33d detectionToFrame(1 / s, 0, 0.5 / s - 0.5, 0, 1 / s, 0.5 / s - 0.5, 0, 0, 1);
    const cv::Mat maskHomography = homography * cv::Mat(detectionToFrame);
    // One detection pixel less all round: the mask's edge pixels mix page
    // and desk, and the band painted over them is what makes the edge clean.
    cv::Mat innerMask;
    cv::erode(quad.detectionMask, innerMask, cv::Mat());
    cv::Mat pageMask;
    cv::warpPerspective(innerMask, pageMask, maskHomography, outSize, cv::INTER_LINEAR,
                        cv::BORDER_CONSTANT, cv::Scalar(0));
    cv::Mat wholePage = pageMask >= kWholePageLevel;
    const cv::Scalar pageColour = MedianColour(out, wholePage);
    out.setTo(pageColour, ~wholePage);
  }
  if (twoSteps) {
    out = Resample(out, request.scaleX, request.scaleY);
  }
  return out;
}

}  // namespace tavrin::lens
