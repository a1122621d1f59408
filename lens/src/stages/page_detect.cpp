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

cv::Point2f Centre(const std::array<cv::Point2f, 4>& corners) {
  cv::Point2f c(0, 0);
  for (const auto& p : corners) c += p * 0.25F;
  return c;
}

// Reading order: rows from the top, each row left to right. Two documents
// are in one row when their centres are less than half the lower one's
// height apart vertically.
void SortReadingOrder(std::vector<PageQuad>& quads) {
  const auto centre = [](const PageQuad& q) { return Centre(q.corners); };
  std::sort(quads.begin(), quads.end(),
            [&](const PageQuad& a, const PageQuad& b) { return centre(a).y < centre(b).y; });
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

// What the search looks at: a small, lightly blurred copy of the frame, in
// colour where the frame has it (cream paper on a white desk differs in
// colour more than in brightness).
struct Detection {
  cv::Mat grey;
  cv::Mat colour;  // CV_8UC3, or the grey copy again for a grey frame
  double scale = 1.0;
};

Detection MakeDetection(const cv::Mat& image) {
  Detection d;
  d.scale = std::min(1.0, static_cast<double>(kDetectLongSide) / std::max(image.cols, image.rows));
  cv::Mat small;
  if (d.scale < 0.5) {
    // Halving first takes the fast path of area averaging; the odd last
    // row or column left out moves nothing by more than a frame pixel.
    const cv::Mat even = image(cv::Rect(0, 0, image.cols & ~1, image.rows & ~1));
    cv::Mat half;
    cv::resize(even, half, cv::Size(even.cols / 2, even.rows / 2), 0, 0, cv::INTER_AREA);
    cv::resize(half, small, ScaledSize(image.size(), d.scale, d.scale), 0, 0, cv::INTER_AREA);
  } else if (d.scale < 1.0) {
    cv::resize(image, small, ScaledSize(image.size(), d.scale, d.scale), 0, 0, cv::INTER_AREA);
  } else {
    small = image.clone();
  }
  if (small.channels() == 4) cv::cvtColor(small, small, cv::COLOR_BGRA2BGR);
  cv::GaussianBlur(small, small, cv::Size(5, 5), 0);
  d.colour = small;
  d.grey = ToGrey(small);
  return d;
}

// How far either side of a page's side the two colours are compared,
// in detection pixels: past the blur of the edge, short of the text.
constexpr float kStepReach = 2.5F;
// The least difference, in levels of the most different channel, that
// counts as an edge; the blurred copy's noise stays well below it.
constexpr double kMinEdgeStep = 9.0;
// A page's weakest side must run along an edge for this share of its
// length: a region that leaked into a lit patch of desk has a side that
// crosses plain desk and fails.
constexpr double kMinSideSupport = 0.6;
constexpr int kSideSamples = 48;
// How much darker or brighter than both sides a thin edge line must be.
constexpr double kMinLineDepth = 5.0;
constexpr float kLineReach = 4.0F;

bool InsideImage(const cv::Mat& image, cv::Point2f p) {
  return p.x >= 0 && p.y >= 0 && p.x <= image.cols - 1.001F && p.y <= image.rows - 1.001F;
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

// The share of the weakest side's length along which the colours either
// side of it differ clearly. Samples off the image count as no edge.
double WeakestSideSupport(const std::array<cv::Point2f, 4>& corners, const cv::Mat& colour) {
  double weakest = 1.0;
  for (size_t i = 0; i < 4; ++i) {
    const cv::Point2f from = corners[i];
    const cv::Point2f to = corners[(i + 1) % 4];
    const cv::Point2f normal = OutwardNormal(from, to);
    int strong = 0;
    for (int k = 0; k < kSideSamples; ++k) {
      const float t = 0.08F + 0.84F * (k + 0.5F) / kSideSamples;
      const cv::Point2f p = from + (to - from) * t;
      const cv::Point2f inner = p - normal * kStepReach;
      const cv::Point2f outer = p + normal * kStepReach;
      if (!InsideImage(colour, inner) || !InsideImage(colour, outer)) continue;
      const cv::Vec3f in = SampleAt(colour, inner);
      const cv::Vec3f out = SampleAt(colour, outer);
      if (Step(in, out) >= kMinEdgeStep || IsLine(colour, p, normal)) ++strong;
    }
    weakest = std::min(weakest, static_cast<double>(strong) / kSideSamples);
  }
  return weakest;
}

// Moves each side onto the edge it runs along: across the side, the
// strongest change of colour within reach, to a fraction of a pixel; a
// robust line through those points; corners where the lines meet.
std::array<cv::Point2f, 4> RefineToEdges(const std::array<cv::Point2f, 4>& corners,
                                         const cv::Mat& colour, int reach) {
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

// A page's outline as some segmentation saw it.
struct Outline {
  std::vector<cv::Point> points;
  double area = 0.0;
};

// A scored quadrilateral in detection pixels (pixel centres).
struct Found {
  std::array<cv::Point2f, 4> corners{};
  std::vector<std::vector<cv::Point>> outlines;
  double area = 0.0;
  double support = 0.0;
};

// The outer boundaries of the regions of mask and of its inverse: a light
// page is a region of a brightness split, a darker one a hole in it.
void AddRegionOutlines(const cv::Mat& mask, double minArea, std::vector<Outline>& outlines) {
  for (int inverse = 0; inverse < 2; ++inverse) {
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(inverse != 0 ? ~mask : mask, contours, hierarchy, cv::RETR_CCOMP,
                     cv::CHAIN_APPROX_NONE);
    for (size_t i = 0; i < contours.size(); ++i) {
      if (hierarchy[i][3] >= 0) continue;  // a hole's boundary
      const double area = cv::contourArea(contours[i]);
      if (area < minArea || TouchesAllBorders(contours[i], mask.size())) continue;
      outlines.push_back({std::move(contours[i]), area});
    }
  }
}

cv::Mat Opened(cv::Mat mask) {
  // Opening cuts thin bridges (a glare line, touching card corners) that
  // would join separate documents.
  cv::morphologyEx(mask, mask, cv::MORPH_OPEN,
                   cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5)));
  return mask;
}

// Candidate outlines from several segmentations; none of them is right on
// every desk, and the scoring picks among what they offer.
std::vector<Outline> CandidateOutlines(const Detection& d, double minArea) {
  std::vector<Outline> outlines;
  // The brightness split, and a second cut inside its bright part: the
  // lit part of a light desk falls on the page's side of the first cut.
  cv::Mat bright;
  const double cut = cv::threshold(d.grey, bright, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  AddRegionOutlines(Opened(bright), minArea, outlines);
  cv::Mat brightLevels;
  d.grey.copyTo(brightLevels);
  brightLevels.setTo(cv::Scalar(cut), ~bright);
  cv::Mat brighter;
  cv::threshold(brightLevels, brighter, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  AddRegionOutlines(Opened(brighter), minArea, outlines);

  // Colourfulness: paper is nearly neutral, wood and many desks are not.
  cv::Mat chroma;
  if (d.colour.channels() == 3) {
    std::vector<cv::Mat> channels;
    cv::split(d.colour, channels);
    cv::Mat high = cv::max(cv::max(channels[0], channels[1]), channels[2]);
    cv::Mat low = cv::min(cv::min(channels[0], channels[1]), channels[2]);
    chroma = high - low;
    double lowest = 0;
    double highest = 0;
    cv::minMaxLoc(chroma, &lowest, &highest);
    if (highest - lowest > 2 * kMinEdgeStep) {
      cv::Mat neutral;
      cv::threshold(chroma, neutral, 0, 255, cv::THRESH_BINARY_INV | cv::THRESH_OTSU);
      // Neutral but dark is no paper: a book's gutter, a pen, a shadow
      // line keep apart what they separate.
      neutral.setTo(0, d.grey < 0.75 * cut);
      AddRegionOutlines(Opened(neutral), minArea, outlines);
    }
  }

  // Regions bounded by edges: the page is what its own edge encloses,
  // however its brightness compares with the desk's.
  cv::Mat edges;
  cv::Canny(d.grey, edges, 12, 36);
  if (!chroma.empty()) {
    cv::Mat chromaEdges;
    cv::Canny(chroma, chromaEdges, 12, 36);
    edges |= chromaEdges;
  }
  cv::dilate(edges, edges, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
  const cv::Mat regions = ~edges;
  std::vector<std::vector<cv::Point>> contours;
  std::vector<cv::Vec4i> hierarchy;
  cv::findContours(regions, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_NONE);
  for (size_t i = 0; i < contours.size(); ++i) {
    if (hierarchy[i][3] >= 0) continue;
    const double area = cv::contourArea(contours[i]);
    if (area < minArea || TouchesAllBorders(contours[i], regions.size())) continue;
    outlines.push_back({std::move(contours[i]), area});
  }
  return outlines;
}

std::optional<Found> Score(std::vector<std::vector<cv::Point>> parts, const Detection& d,
                           double minArea) {
  std::vector<cv::Point> points;
  for (const auto& part : parts) points.insert(points.end(), part.begin(), part.end());
  std::array<cv::Point2f, 4> corners = FitQuad(points, d.grey.size());
  const std::vector<cv::Point2f> first(corners.begin(), corners.end());
  if (!cv::isContourConvex(first) || cv::contourArea(first) < minArea) return std::nullopt;
  corners = RefineToEdges(corners, d.colour, 4);
  corners = RefineToEdges(corners, d.colour, 2);
  const std::vector<cv::Point2f> quad(corners.begin(), corners.end());
  if (!cv::isContourConvex(quad)) return std::nullopt;
  Found found;
  found.corners = corners;
  found.area = cv::contourArea(quad);
  if (found.area < minArea) return std::nullopt;
  found.support = WeakestSideSupport(corners, d.colour);
  found.outlines = std::move(parts);
  return found;
}

double OverlapShare(const Found& a, const Found& b) {
  const std::vector<cv::Point2f> pa(a.corners.begin(), a.corners.end());
  const std::vector<cv::Point2f> pb(b.corners.begin(), b.corners.end());
  std::vector<cv::Point2f> common;
  const double shared = cv::intersectConvexConvex(pa, pb, common, true);
  return shared / std::max(1.0, std::min(a.area, b.area));
}

// Two pages of an open book: of like size, side by side at the same
// height, with no more than a gutter between them. Separate cards laid
// about the desk are not.
bool MakeSpread(const Found& a, const Found& b) {
  if (std::min(a.area, b.area) < 0.5 * std::max(a.area, b.area)) return false;
  const cv::Rect2f boxA =
      cv::boundingRect(std::vector<cv::Point2f>(a.corners.begin(), a.corners.end()));
  const cv::Rect2f boxB =
      cv::boundingRect(std::vector<cv::Point2f>(b.corners.begin(), b.corners.end()));
  const float height = std::max(boxA.height, boxB.height);
  const float width = std::max(boxA.width, boxB.width);
  if (std::min(boxA.height, boxB.height) < 0.8F * height) return false;
  const float rowOverlap = std::min(boxA.br().y, boxB.br().y) - std::max(boxA.y, boxB.y);
  if (rowOverlap < 0.8F * height) return false;
  const float gap = std::max(boxA.x, boxB.x) - std::min(boxA.br().x, boxB.br().x);
  // The gutter's shadow may be left out of both pages.
  return gap < 0.25F * width;
}

PageQuad ToFrame(const Found& found, const Detection& d) {
  PageQuad quad;
  quad.detectionScale = d.scale;
  quad.detectionMask = cv::Mat::zeros(d.grey.size(), CV_8UC1);
  cv::drawContours(quad.detectionMask, found.outlines, -1, cv::Scalar(255), cv::FILLED);
  for (size_t i = 0; i < 4; ++i) {
    // Pixel centres to the pixel grid's edges, then to frame pixels.
    quad.corners[i] =
        (found.corners[i] + cv::Point2f(0.5F, 0.5F)) * static_cast<float>(1.0 / d.scale);
  }
  return quad;
}

// The search when no outline has four clear sides (a page cut by the
// frame's edge, a page whose edge is lost in glare): the brightness split
// alone, when page and desk differ enough.
std::vector<PageQuad> BrightnessSplitPages(const Detection& d, PageSearch search) {
  std::vector<PageQuad> found;
  const cv::Mat& small = d.grey;
  cv::Mat mask;
  cv::threshold(small, mask, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  const double brightShare = cv::countNonZero(mask) / static_cast<double>(mask.total());
  if (brightShare < kMinCardFraction || brightShare > 0.98) return found;
  const double contrast = cv::mean(small, mask)[0] - cv::mean(small, ~mask)[0];
  if (contrast < kMinContrast) return found;
  mask = Opened(mask);
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
  const auto quadOf = [&](std::vector<const Candidate*> parts) {
    std::vector<cv::Point> points;
    Found f;
    for (const Candidate* part : parts) {
      points.insert(points.end(), part->contour.begin(), part->contour.end());
      f.outlines.push_back(part->contour);
    }
    f.corners = FitQuad(points, small.size());
    f.area = cv::contourArea(std::vector<cv::Point2f>(f.corners.begin(), f.corners.end()));
    PageQuad quad = ToFrame(f, d);
    // Outline points are the centres of the outermost bright pixels; the
    // page's edge lies half a pixel further out along each axis.
    const cv::Point2f centre = Centre(f.corners);
    for (size_t i = 0; i < 4; ++i) {
      const cv::Point2f outward(f.corners[i].x < centre.x ? -0.5F : 0.5F,
                                f.corners[i].y < centre.y ? -0.5F : 0.5F);
      quad.corners[i] += outward * static_cast<float>(1.0 / d.scale);
    }
    return std::make_pair(f, quad);
  };

  switch (search) {
    case PageSearch::kLargest:
      found.push_back(quadOf({&candidates.front()}).second);
      break;
    case PageSearch::kEvery:
      for (const Candidate& candidate : candidates) {
        if (candidate.area < kMinCardOfLargest * largest) break;
        found.push_back(quadOf({&candidate}).second);
      }
      break;
    case PageSearch::kBook: {
      auto first = quadOf({&candidates.front()});
      if (candidates.size() > 1 && candidates[1].area >= kMinBookPageOfLargest * largest &&
          MakeSpread(first.first, quadOf({&candidates[1]}).first)) {
        found.push_back(quadOf({&candidates[0], &candidates[1]}).second);
      } else {
        found.push_back(first.second);
      }
      break;
    }
  }
  return found;
}

// Pages whose four sides run along clear edges, best first: largest
// first, as a page is larger than what lies on it.
std::vector<Found> EdgeScoredPages(const Detection& d, PageSearch search) {
  const double frameArea = static_cast<double>(d.grey.total());
  const double minArea =
      (search == PageSearch::kEvery ? kMinCardFraction : kMinPageFraction) * frameArea;
  std::vector<Found> good;
  std::vector<cv::Rect> tried;
  for (Outline& outline : CandidateOutlines(d, minArea)) {
    // Segmentations often agree: an outline in the same box as one
    // already scored gives the same quadrilateral.
    const cv::Rect box = cv::boundingRect(outline.points);
    const bool same = std::any_of(tried.begin(), tried.end(), [&](const cv::Rect& other) {
      return (box & other).area() > 0.97 * std::max(box.area(), other.area());
    });
    if (same) continue;
    tried.push_back(box);
    auto found = Score({std::move(outline.points)}, d, minArea);
    if (found && found->support >= kMinSideSupport) good.push_back(std::move(*found));
  }
  std::sort(good.begin(), good.end(), [](const Found& a, const Found& b) {
    return a.area * (1 + a.support) > b.area * (1 + b.support);
  });
  // Two pages side by side also make a quadrilateral with four clear
  // sides (an open book): what is made of two or more good pages is no
  // page itself. The book search puts such a spread together again.
  // Smaller ones first, so that a spread inside a book's cover is known
  // for what it is before the cover is looked at.
  std::vector<bool> composite(good.size(), false);
  for (size_t i = good.size(); i-- > 0;) {
    std::vector<size_t> parts;
    double covered = 0;
    for (size_t j = i + 1; j < good.size(); ++j) {
      if (composite[j] || good[j].area < 0.3 * good[i].area ||
          OverlapShare(good[j], good[i]) < 0.9) {
        continue;
      }
      const bool apart = std::all_of(parts.begin(), parts.end(), [&](size_t k) {
        return OverlapShare(good[j], good[k]) < 0.2;
      });
      if (!apart) continue;
      parts.push_back(j);
      covered += good[j].area;
    }
    composite[i] = parts.size() >= 2 && covered > 0.85 * good[i].area;
  }
  // One of each: the same page comes from several segmentations.
  std::vector<Found> distinct;
  for (size_t i = 0; i < good.size(); ++i) {
    if (composite[i]) continue;
    Found& f = good[i];
    const auto kept = std::find_if(distinct.begin(), distinct.end(),
                                   [&](const Found& k) { return OverlapShare(f, k) > 0.2; });
    if (kept == distinct.end()) {
      distinct.push_back(std::move(f));
    } else if (f.area > 0.85 * kept->area && f.support >= kept->support - 0.02) {
      // Nearly the same region, a little tighter, with sides as clear: the
      // larger one took in a strip of desk as bright as the paper.
      *kept = std::move(f);
    }
  }
  return distinct;
}

}  // namespace

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

std::vector<PageQuad> FindPages(const cv::Mat& image, PageSearch search) {
  return FindPages(image, search, PageCamera{});
}

std::vector<PageQuad> FindPages(const cv::Mat& image, PageSearch search, const PageCamera& camera) {
  std::vector<PageQuad> pages;
  if (image.empty()) return pages;
  const Detection d = MakeDetection(image);
  const std::vector<Found> scored = EdgeScoredPages(d, search);
  if (!scored.empty()) {
    switch (search) {
      case PageSearch::kLargest:
        pages.push_back(ToFrame(scored.front(), d));
        break;
      case PageSearch::kEvery:
        for (const Found& f : scored) {
          if (f.area >= kMinCardOfLargest * scored.front().area) pages.push_back(ToFrame(f, d));
        }
        break;
      case PageSearch::kBook: {
        // The two largest, when they make a spread, as one quadrilateral
        // around both; anything else is cropped as the single page.
        std::optional<Found> spread;
        if (scored.size() > 1 && MakeSpread(scored[0], scored[1])) {
          std::vector<std::vector<cv::Point>> parts = scored[0].outlines;
          parts.insert(parts.end(), scored[1].outlines.begin(), scored[1].outlines.end());
          spread = Score(std::move(parts), d, scored[0].area);
        }
        pages.push_back(ToFrame(spread ? *spread : scored.front(), d));
        break;
      }
    }
  } else {
    pages = BrightnessSplitPages(d, search);
  }

  const PageCamera resolved = ResolvedCamera(camera, image.size());
  const cv::Point2d principal = resolved.principalPoint;
  const double focal = resolved.focalPixels;
  for (PageQuad& page : pages) {
    // The page keeps its area in frame pixels, the camera's own scale at
    // its middle, and gets its true proportions.
    const std::vector<cv::Point2f> outline(page.corners.begin(), page.corners.end());
    const double area = cv::contourArea(outline);
    const double aspect = RectangleAspect(page.corners, principal, focal);
    if (area > 0 && aspect > 0 && std::isfinite(aspect)) {
      page.size = cv::Size2d(std::sqrt(area * aspect), std::sqrt(area / aspect));
    }
  }
  SortReadingOrder(pages);
  return pages;
}

}  // namespace tavrin::lens

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

std::optional<PageSearch> SearchForCrop(int autoCrop) {
  switch (autoCrop) {
    case 1:
    case 3:
      return PageSearch::kLargest;
    case 2:
      return PageSearch::kEvery;
    case 4:
      return PageSearch::kBook;
    default:
      return std::nullopt;
  }
}

}  // namespace tavrin::lens
