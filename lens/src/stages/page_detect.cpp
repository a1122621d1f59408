#include "lens/src/stages/page_detect.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "lens/src/stages/area.h"
#include "lens/src/stages/color.h"
#include "lens/src/stages/geometry.h"
#include "lens/src/stages/page_edges.h"
#include "lens/src/stages/page_overlap.h"
#include "lens/src/stages/page_quad.h"

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
// A page's weakest side must run along an edge for this share of its
// length: a region that leaked into a lit patch of desk has a side that
// crosses plain desk and fails.
constexpr double kMinSideSupport = 0.6;
// Where a sheet lies over another, its side is placed again where it meets
// the desk, but moved no more than this share of its diagonal.
constexpr double kMaxRimShare = 0.015;
// A page's quadrilateral is at most this much larger than the region it
// was fitted to (a cut or folded corner leaves some of it out).
constexpr double kMaxQuadOverRegion = 1.3;
// The halves of a folded page: their shared corners lie within this share
// of the shared side of each other (the crease's width at most), and this
// share of the page's side off the line of its outer side; never less
// than the reach, in detection pixels.
constexpr double kJoinCornerShare = 0.03;
constexpr double kJoinOffLineShare = 0.01;
constexpr double kJoinMinReach = 2.0;

struct Candidate {
  std::vector<cv::Point> contour;
  double area = 0.0;
};

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
    small = AreaAverage(half, ScaledSize(image.size(), d.scale, d.scale));
  } else if (d.scale < 1.0) {
    small = AreaAverage(image, ScaledSize(image.size(), d.scale, d.scale));
  } else {
    small = image.clone();
  }
  if (small.channels() == 4) cv::cvtColor(small, small, cv::COLOR_BGRA2BGR);
  cv::GaussianBlur(small, small, cv::Size(5, 5), 0);
  d.colour = small;
  d.grey = ToGrey(small);
  return d;
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
  // Taken apart from a region of several pages: the page is only what of
  // the outlines lies inside its own corners.
  bool split = false;
  // The pages lying over part of this one, and the area left in sight.
  std::vector<Corners> coveredBy;
  double visibleArea = 0.0;
  size_t source = 0;  // the outline it came from
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
// every desk, and the scoring picks among what they offer. The
// segmentations are independent of each other, and the edges (the dearest)
// are followed on one core while the others split by brightness and
// colour; the outlines come in the same order either way.
std::vector<Outline> CandidateOutlines(const Detection& d, double minArea) {
  // The brightness split, and a second cut inside its bright part: the
  // lit part of a light desk falls on the page's side of the first cut.
  cv::Mat bright;
  const double cut = cv::threshold(d.grey, bright, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  // Colourfulness: paper is nearly neutral, wood and many desks are not.
  cv::Mat chroma;
  if (d.colour.channels() == 3) {
    std::vector<cv::Mat> channels;
    cv::split(d.colour, channels);
    cv::Mat high = cv::max(cv::max(channels[0], channels[1]), channels[2]);
    cv::Mat low = cv::min(cv::min(channels[0], channels[1]), channels[2]);
    chroma = high - low;
  }
  std::vector<Outline> byLevel;
  std::vector<Outline> byEdge;
  const auto splitByLevel = [&] {
    AddRegionOutlines(Opened(bright), minArea, byLevel);
    cv::Mat brightLevels;
    d.grey.copyTo(brightLevels);
    brightLevels.setTo(cv::Scalar(cut), ~bright);
    cv::Mat brighter;
    cv::threshold(brightLevels, brighter, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    AddRegionOutlines(Opened(brighter), minArea, byLevel);
    if (chroma.empty()) return;
    double lowest = 0;
    double highest = 0;
    cv::minMaxLoc(chroma, &lowest, &highest);
    if (highest - lowest > 2 * kMinEdgeStep) {
      cv::Mat neutral;
      cv::threshold(chroma, neutral, 0, 255, cv::THRESH_BINARY_INV | cv::THRESH_OTSU);
      // Neutral but dark is no paper: a book's gutter, a pen, a shadow
      // line keep apart what they separate.
      neutral.setTo(0, d.grey < 0.75 * cut);
      AddRegionOutlines(Opened(neutral), minArea, byLevel);
    }
  };
  // Regions bounded by edges: the page is what its own edge encloses,
  // however its brightness compares with the desk's.
  const auto splitByEdge = [&] {
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
      byEdge.push_back({std::move(contours[i]), area});
    }
  };
  cv::parallel_for_(
      cv::Range(0, 2),
      [&](const cv::Range& range) {
        for (int task = range.start; task < range.end; ++task) {
          if (task == 0) {
            splitByEdge();
          } else {
            splitByLevel();
          }
        }
      },
      2);
  std::vector<Outline> outlines = std::move(byLevel);
  for (Outline& outline : byEdge) outlines.push_back(std::move(outline));
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
  found.visibleArea = found.area;
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
  if (found.split) quad.detectionMask &= QuadMask(found.corners, d.grey.size());
  // The upper sheet's rim goes with it.
  const cv::Mat rim = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
  for (const Corners& over : found.coveredBy) {
    cv::Mat upper;
    cv::dilate(QuadMask(over, d.grey.size()), upper, rim);
    quad.detectionMask &= ~upper;
  }
  quad.underAnother = !found.coveredBy.empty();
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

// Pages that touch or overlap: a region whose outline runs along the
// sides of several pages (one region for both, or a lower page's region
// whose side follows the upper page's edge) is taken apart into whole
// pages. Each page's sides are then refined and scored only where no other
// page lies over them; the upper of two is the one whose edge shows where
// it crosses the other. Replaces what the outline gave as one page.
void SplitTouchingPages(const Detection& d, const std::vector<std::vector<cv::Point>>& outlines,
                        double minArea, std::vector<Found>& good) {
  const cv::Size size = d.grey.size();
  const cv::Mat near =
      cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5));  // two pixels about a side
  std::vector<Found> added;
  std::vector<size_t> replaced;
  for (size_t o = 0; o < outlines.size(); ++o) {
    cv::Mat region = cv::Mat::zeros(size, CV_8UC1);
    cv::drawContours(region, outlines, static_cast<int>(o), cv::Scalar(255), cv::FILLED);
    // Pages found in other regions: a page partly under one of them may
    // reach into it.
    cv::Mat paper = region.clone();
    std::vector<Found*> others;
    for (Found& f : good) {
      if (f.source == o) continue;
      const cv::Mat mask = QuadMask(f.corners, size);
      if (cv::countNonZero(mask & region) < 0.2 * cv::countNonZero(mask)) {
        paper |= mask;
        others.push_back(&f);
      }
    }
    const std::vector<Corners> pages = SplitRegion(outlines[o], paper, minArea);
    if (pages.empty()) continue;
    if (pages.size() == 1) {
      // One page: a split only when it reaches under another one.
      const cv::Mat mask = QuadMask(pages[0], size);
      if (cv::countNonZero(mask & ~region) < 0.02 * cv::countNonZero(mask)) continue;
    }
    std::vector<Found> split;
    std::vector<cv::Mat> masks;
    for (size_t i = 0; i < pages.size(); ++i) {
      cv::Mat hidden = cv::Mat::zeros(size, CV_8UC1);
      for (size_t j = 0; j < pages.size(); ++j) {
        if (j != i) hidden |= QuadMask(pages[j], size);
      }
      for (const Found* other : others) hidden |= QuadMask(other->corners, size);
      cv::dilate(hidden, hidden, near);
      Corners corners = RefineToEdges(pages[i], d.colour, 4, hidden);
      corners = RefineToEdges(corners, d.colour, 2, hidden);
      const std::vector<cv::Point2f> polygon(corners.begin(), corners.end());
      if (!cv::isContourConvex(polygon)) break;
      Found f;
      f.corners = corners;
      f.area = cv::contourArea(polygon);
      f.support = WeakestSideSupport(corners, d.colour, hidden);
      if (f.area < minArea || f.support < kMinSideSupport) break;
      f.outlines = {outlines[o]};
      f.split = true;
      f.source = o;
      split.push_back(std::move(f));
      masks.push_back(QuadMask(corners, size));
    }
    if (split.size() != pages.size()) continue;
    // Which lies over which: the upper sheet's edge shows where it
    // crosses the lower one; the lower one's runs unseen under it.
    const cv::Mat deep = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(7, 7));
    const auto over = [&](const Corners& a, const cv::Mat& maskA, const Corners& b,
                          const cv::Mat& maskB) {
      cv::Mat insideA;
      cv::Mat insideB;
      cv::erode(maskA, insideA, deep);
      cv::erode(maskB, insideB, deep);
      if (cv::countNonZero(insideA & insideB) <
          0.01 * std::min(cv::countNonZero(maskA), cv::countNonZero(maskB))) {
        return false;
      }
      const double shows = SupportWithin(a, d.colour, insideB);
      const double unseen = SupportWithin(b, d.colour, insideA);
      // Print crossing either side gives scattered hits; an edge runs on.
      return shows >= kMinSideSupport && unseen < kMinSideSupport - 0.2;
    };
    for (size_t i = 0; i < split.size(); ++i) {
      for (size_t j = 0; j < split.size(); ++j) {
        if (i != j && over(split[j].corners, masks[j], split[i].corners, masks[i])) {
          split[i].coveredBy.push_back(split[j].corners);
        }
      }
      for (Found* other : others) {
        const cv::Mat mask = QuadMask(other->corners, size);
        if (!over(other->corners, mask, split[i].corners, masks[i])) continue;
        // Over the lower sheet the upper one's edge shows only as a thin
        // lit rim or shadow, whose far flank draws the side inwards: the
        // side is placed where it meets the desk. A rim is a few pixels
        // wide: a side that moves further has found the lower sheet's own
        // edge, and stays.
        cv::Mat under;
        cv::erode(masks[i], under, near);
        Corners placed = RefineToEdges(other->corners, d.colour, 4, under);
        placed = RefineToEdges(placed, d.colour, 2, under);
        const double reach = kMaxRimShare * cv::norm(other->corners[2] - other->corners[0]);
        bool close = true;
        for (size_t k = 0; k < 4; ++k)
          close = close && cv::norm(placed[k] - other->corners[k]) < reach;
        if (close) other->corners = placed;
        split[i].coveredBy.push_back(other->corners);
      }
      cv::Mat seen = masks[i].clone();
      for (const Corners& c : split[i].coveredBy) seen &= ~QuadMask(c, size);
      split[i].visibleArea =
          split[i].area * cv::countNonZero(seen) / std::max(1, cv::countNonZero(masks[i]));
    }
    replaced.push_back(o);
    for (Found& f : split) added.push_back(std::move(f));
  }
  const auto isReplaced = [&](const Found& f) {
    return std::find(replaced.begin(), replaced.end(), f.source) != replaced.end();
  };
  good.erase(std::remove_if(good.begin(), good.end(), isReplaced), good.end());
  // A page that its own outline showed whole is placed better than the
  // same page taken from a region shared with another.
  for (Found& f : added) {
    const bool known = std::any_of(good.begin(), good.end(), [&](const Found& g) {
      return !g.split && OverlapShare(f, g) > 0.9 && g.area < 1.2 * f.area && f.area < 1.2 * g.area;
    });
    if (!known) good.push_back(std::move(f));
  }
}

// Pages whose four sides run along clear edges, best first: largest
// first, as a page is larger than what lies on it, and of two the size
// of each other the one in sight rather than the one under it.
std::vector<Found> EdgeScoredPages(const Detection& d, PageSearch search) {
  const double frameArea = static_cast<double>(d.grey.total());
  const double minArea =
      (search == PageSearch::kEvery ? kMinCardFraction : kMinPageFraction) * frameArea;
  std::vector<Found> good;
  std::vector<cv::Rect> tried;
  std::vector<std::vector<cv::Point>> outlines;
  for (Outline& outline : CandidateOutlines(d, minArea)) {
    // Segmentations often agree: an outline in the same box as one
    // already scored gives the same quadrilateral.
    const cv::Rect box = cv::boundingRect(outline.points);
    const bool same = std::any_of(tried.begin(), tried.end(), [&](const cv::Rect& other) {
      return (box & other).area() > 0.97 * std::max(box.area(), other.area());
    });
    if (same) continue;
    tried.push_back(box);
    outlines.push_back(std::move(outline.points));
  }
  // Each outline is scored on its own, so the cores share them.
  std::vector<std::optional<Found>> scores(outlines.size());
  cv::parallel_for_(cv::Range(0, static_cast<int>(outlines.size())), [&](const cv::Range& range) {
    for (int i = range.start; i < range.end; ++i) {
      scores[static_cast<size_t>(i)] = Score({outlines[static_cast<size_t>(i)]}, d, minArea);
    }
  });
  for (size_t i = 0; i < outlines.size(); ++i) {
    std::optional<Found>& found = scores[i];
    const double region = cv::contourArea(outlines[i]);
    // On a busy desk (cork, a print) any line finds some edge to run
    // along: a quadrilateral much larger than what it was fitted to holds
    // desk, whatever its sides run along.
    if (found && found->support >= kMinSideSupport && found->area <= kMaxQuadOverRegion * region) {
      found->source = i;
      good.push_back(std::move(*found));
    }
  }
  // An open book's two pages touch at the gutter, and are put together as
  // one spread below.
  if (search != PageSearch::kBook) SplitTouchingPages(d, outlines, minArea, good);
  std::sort(good.begin(), good.end(), [](const Found& a, const Found& b) {
    return a.visibleArea * (1 + a.support) > b.visibleArea * (1 + b.support);
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

// Sheets lying edge to edge that the search took for one page, each a page
// of its own; the page itself when it is one sheet.
std::vector<PageQuad> SheetsEdgeToEdge(const cv::Mat& image, const PageQuad& quad) {
  if (quad.underAnother) return {quad};
  const auto pieces = SplitAtSeam(image, quad.corners);
  if (!pieces) return {quad};
  std::vector<PageQuad> sheets;
  for (const Corners& corners : *pieces) {
    PageQuad sheet = quad;
    sheet.corners = corners;
    if (!quad.detectionMask.empty()) {
      Corners small{};
      for (size_t i = 0; i < 4; ++i) {
        small[i] = corners[i] * static_cast<float>(quad.detectionScale) - cv::Point2f(0.5F, 0.5F);
      }
      sheet.detectionMask = quad.detectionMask & QuadMask(small, quad.detectionMask.size());
    }
    sheets.push_back(std::move(sheet));
  }
  return sheets;
}

// The distance of p from the line through a and b.
double OffLine(cv::Point2f p, cv::Point2f a, cv::Point2f b) {
  const cv::Point2f along = b - a;
  return std::abs(along.x * (p.y - a.y) - along.y * (p.x - a.x)) / std::max(1e-6, cv::norm(along));
}

// Whether what lies inside whole but in neither half (the crease, or a
// gap between two sheets laid in line) differs clearly from the paper
// beside it: desk shows between the halves. Print may cross the crease,
// so each is taken at the level of its lightest tenth (the paper between
// words and in the margins), not its mean.
bool DeskBetween(const Detection& d, const Corners& whole, const Corners& a, const Corners& b) {
  const cv::Size size = d.grey.size();
  const cv::Mat halves = QuadMask(a, size) | QuadMask(b, size);
  // Away from the outer sides, where the halves' own sides and the whole's
  // part by a pixel along the blurred edge of the desk.
  cv::Mat between;
  cv::erode(QuadMask(whole, size), between,
            cv::getStructuringElement(cv::MORPH_RECT, cv::Size(7, 7)));
  between &= ~halves;
  if (cv::countNonZero(between) == 0) return false;
  cv::Mat beside;
  cv::dilate(between, beside, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(9, 9)));
  beside &= halves;
  if (cv::countNonZero(beside) == 0) return false;
  const auto lightest = [&](const cv::Mat& mask) {
    std::array<int, 256> counts{};
    int total = 0;
    for (int y = 0; y < size.height; ++y) {
      const uchar* m = mask.ptr<uchar>(y);
      const uchar* g = d.grey.ptr<uchar>(y);
      for (int x = 0; x < size.width; ++x) {
        if (m[x] == 0) continue;
        ++counts[g[x]];
        ++total;
      }
    }
    int level = 255;
    for (int seen = 0; level > 0; --level) {
      seen += counts[static_cast<size_t>(level)];
      if (seen >= total / 10) break;
    }
    return level;
  };
  return std::abs(lightest(between) - lightest(beside)) > kMinEdgeStep;
}

// A page folded in half and flattened again: at the search's scale the
// crease is an edge, and the page comes as its two halves lying along one
// shared side, each outer side running straight on into the other half's.
// They are one page unless desk shows between them: a hairline (two
// sheets edge to edge) or a wider strip (two laid in line a little apart).
std::optional<Found> JoinedHalves(const cv::Mat& image, const Detection& d, const Found& a,
                                  const Found& b) {
  // Side by side at one height is how an open book lies; its crop is the
  // book crop's, and the multiple crop keeps its pages apart.
  if (!a.coveredBy.empty() || !b.coveredBy.empty() || MakeSpread(a, b)) return std::nullopt;
  for (size_t i = 0; i < 4; ++i) {
    for (size_t j = 0; j < 4; ++j) {
      // Both run clockwise: the shared side is a's i to i+1 and b's j+1 to j.
      const auto corner = [](const Found& f, size_t k) { return f.corners[k % 4]; };
      const cv::Point2f s0 = corner(a, i);
      const cv::Point2f s1 = corner(a, i + 1);
      const double shared = cv::norm(s1 - s0);
      const double reach = std::max(kJoinMinReach, kJoinCornerShare * shared);
      if (cv::norm(corner(b, j + 1) - s0) > reach || cv::norm(corner(b, j) - s1) > reach) continue;
      const Corners joined{corner(a, i + 2), corner(a, i + 3), corner(b, j + 2), corner(b, j + 3)};
      // The outer sides run straight on past the shared corners.
      const double slack0 =
          std::max(kJoinMinReach, kJoinOffLineShare * cv::norm(joined[2] - joined[1]));
      const double slack1 =
          std::max(kJoinMinReach, kJoinOffLineShare * cv::norm(joined[0] - joined[3]));
      const bool straight = OffLine(s0, joined[1], joined[2]) <= slack0 &&
                            OffLine(corner(b, j + 1), joined[1], joined[2]) <= slack0 &&
                            OffLine(s1, joined[3], joined[0]) <= slack1 &&
                            OffLine(corner(b, j), joined[3], joined[0]) <= slack1;
      if (!straight) continue;
      const std::vector<cv::Point2f> polygon(joined.begin(), joined.end());
      if (!cv::isContourConvex(polygon)) continue;
      Found f;
      // Clockwise from the top left, as everywhere else.
      const auto topLeft = std::min_element(polygon.begin(), polygon.end(),
                                            [](auto p, auto q) { return p.x + p.y < q.x + q.y; });
      const auto first = static_cast<size_t>(topLeft - polygon.begin());
      for (size_t k = 0; k < 4; ++k) f.corners[k] = polygon[(first + k) % 4];
      f.area = cv::contourArea(polygon);
      f.support = WeakestSideSupport(f.corners, d.colour);
      if (f.support < kMinSideSupport) return std::nullopt;
      f.outlines = a.outlines;
      f.outlines.insert(f.outlines.end(), b.outlines.begin(), b.outlines.end());
      f.split = a.split || b.split;
      f.visibleArea = f.area;
      f.source = a.source;
      if (DeskBetween(d, f.corners, a.corners, b.corners)) return std::nullopt;
      if (SplitAtSeam(image, ToFrame(f, d).corners)) return std::nullopt;
      return f;
    }
  }
  return std::nullopt;
}

// Folded pages put together again, each from its halves (or thirds: a
// letter folded twice joins one fold at a time).
void JoinFoldedPages(const cv::Mat& image, const Detection& d, std::vector<Found>& pages) {
  bool joinedAny = false;
  for (bool again = true; again;) {
    again = false;
    for (size_t i = 0; i < pages.size() && !again; ++i) {
      for (size_t j = i + 1; j < pages.size() && !again; ++j) {
        auto joined = JoinedHalves(image, d, pages[i], pages[j]);
        if (!joined) continue;
        pages[i] = std::move(*joined);
        pages.erase(pages.begin() + static_cast<long>(j));
        again = joinedAny = true;
      }
    }
  }
  if (joinedAny) {
    std::stable_sort(pages.begin(), pages.end(), [](const Found& x, const Found& y) {
      return x.visibleArea * (1 + x.support) > y.visibleArea * (1 + y.support);
    });
  }
}

double QuadArea(const PageQuad& quad) {
  return cv::contourArea(std::vector<cv::Point2f>(quad.corners.begin(), quad.corners.end()));
}

}  // namespace

std::vector<PageQuad> FindPages(const cv::Mat& image, PageSearch search) {
  return FindPages(image, search, PageCamera{});
}

std::vector<PageQuad> FindPages(const cv::Mat& image, PageSearch search, const PageCamera& camera) {
  std::vector<PageQuad> pages;
  if (image.empty()) return pages;
  const Detection d = MakeDetection(image);
  std::vector<Found> scored = EdgeScoredPages(d, search);
  if (search != PageSearch::kBook) JoinFoldedPages(image, d, scored);
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
  if (search != PageSearch::kBook) {
    std::vector<PageQuad> sheets;
    for (const PageQuad& page : pages) {
      std::vector<PageQuad> parts = SheetsEdgeToEdge(image, page);
      if (search == PageSearch::kLargest) {
        // The single crop takes the larger sheet, not both as one page.
        sheets.push_back(*std::max_element(
            parts.begin(), parts.end(),
            [](const PageQuad& x, const PageQuad& y) { return QuadArea(x) < QuadArea(y); }));
      } else {
        for (PageQuad& part : parts) sheets.push_back(std::move(part));
      }
    }
    pages = std::move(sheets);
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
