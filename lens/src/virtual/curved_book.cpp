#include "lens/src/virtual/curved_book.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace tavrin::lens {

namespace {

constexpr int kProfileSteps = 4096;

// Where a sheet is paper and not print: brighter than most of it.
cv::Mat ToGreyMask(const cv::Mat& sheet) {
  cv::Mat grey;
  cv::cvtColor(sheet, grey, cv::COLOR_BGR2GRAY);
  return grey > 200;
}

// One page's cross-section, spine outwards, in frame pixels at the desk's
// height (the camera stands one focal length above the desk): x away
// from the spine, z up from the desk, at equal steps of arc length.
struct Profile {
  std::vector<double> x;
  std::vector<double> z;
  std::vector<double> slope;  // the surface's angle to the desk
  double width = 0.0;
};

Profile PageProfile(double width, double lift) {
  // The angle falls off away from the spine and turns slightly downwards
  // at the outer edge: steep out of the gutter, then nearly flat, then
  // curling back towards the desk.
  const double decay = 0.25 * width;
  const auto angleShape = [&](double u) { return std::exp(-u / decay) - 0.15; };
  double rise = 0.0;
  const double step = width / kProfileSteps;
  for (int i = 0; i < kProfileSteps; ++i) rise += std::sin(angleShape((i + 0.5) * step)) * step;
  // Scale the angles so the highest point is near lift * width.
  const double scale = lift * width / std::max(1e-9, rise);
  Profile p;
  p.width = width;
  p.x.resize(kProfileSteps + 1);
  p.z.resize(kProfileSteps + 1);
  p.slope.resize(kProfileSteps + 1);
  double x = 0.0;
  double z = 0.0;
  for (int i = 0; i <= kProfileSteps; ++i) {
    const double angle = std::clamp(scale * angleShape(i * step), -1.2, 1.2);
    p.x[static_cast<size_t>(i)] = x;
    p.z[static_cast<size_t>(i)] = z;
    p.slope[static_cast<size_t>(i)] = angle;
    x += std::cos(angle) * step;
    z += std::sin(angle) * step;
  }
  return p;
}

double Focal(const cv::Mat& frame, const CurvedBook& book) {
  return book.focalPixels > 0 ? book.focalPixels : 0.5 * frame.cols / std::tan(CV_PI / 6);
}

// The gutter's shadow on one page.
struct Gutter {
  double depth = 0.6;
  double reach = 0.035;
};

// Draws one page: side -1 left of the spine, +1 right of it.
void DrawPage(cv::Mat& frame, const cv::Mat& sheet, const Profile& profile, double height,
              double focal, int side, const Gutter& shadow) {
  const double cx = frame.cols / 2.0;
  const double cy = frame.rows / 2.0;
  const size_t n = profile.x.size();
  std::vector<double> imageX(n);
  for (size_t i = 0; i < n; ++i) {
    imageX[i] = cx + side * focal * profile.x[i] / (focal - profile.z[i]);
  }
  const double innerX = imageX.front();
  const double outerX = imageX.back();
  const int x0 = std::max(0, static_cast<int>(std::floor(std::min(innerX, outerX))));
  const int x1 = std::min(frame.cols - 1, static_cast<int>(std::ceil(std::max(innerX, outerX))));
  if (x1 < x0) return;
  double highest = 0.0;
  for (double z : profile.z) highest = std::max(highest, z);
  const double reachY = 0.5 * height * focal / (focal - highest) + 2;
  const int y0 = std::max(0, static_cast<int>(std::floor(cy - reachY)));
  const int y1 = std::min(frame.rows - 1, static_cast<int>(std::ceil(cy + reachY)));
  const cv::Size box(x1 - x0 + 1, y1 - y0 + 1);
  cv::Mat mapX(box, CV_32F);
  cv::Mat mapY(box, CV_32F);
  std::vector<float> shade(static_cast<size_t>(box.width));
  for (int c = 0; c < box.width; ++c) {
    // The arc length at this column: the image x grows monotonically
    // with it on either page.
    const double x = x0 + c + 0.5;
    double u = -1.0;
    size_t at = 0;
    if ((x - innerX) * (outerX - x) >= 0) {
      size_t lo = 0;
      size_t hi = n - 1;
      while (hi - lo > 1) {
        const size_t mid = (lo + hi) / 2;
        if ((imageX[mid] - innerX) * side <= (x - innerX) * side) {
          lo = mid;
        } else {
          hi = mid;
        }
      }
      const double span = imageX[hi] - imageX[lo];
      const double t = std::abs(span) > 1e-12 ? (x - imageX[lo]) / span : 0.0;
      u = (lo + std::clamp(t, 0.0, 1.0)) * profile.width / (n - 1);
      at = lo;
    }
    const double depth = focal - profile.z[at];
    // Light from above, and the gutter's shadow close to the spine.
    const double gutter =
        1.0 - shadow.depth * std::exp(-std::max(0.0, u) / (shadow.reach * profile.width));
    shade[static_cast<size_t>(c)] =
        static_cast<float>(gutter * (0.8 + 0.2 * std::cos(profile.slope[at])));
    const double sheetX = side > 0 ? u : profile.width - u;
    for (int r = 0; r < box.height; ++r) {
      const double worldY = (y0 + r + 0.5 - cy) * depth / focal + 0.5 * height;
      const bool inside = u >= 0 && worldY >= 0 && worldY <= height;
      mapX.at<float>(r, c) =
          inside ? static_cast<float>(sheetX * sheet.cols / profile.width - 0.5) : -10.0F;
      mapY.at<float>(r, c) =
          inside ? static_cast<float>(worldY * sheet.rows / height - 0.5) : -10.0F;
    }
  }
  cv::Mat drawn;
  cv::remap(sheet, drawn, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  const cv::Mat white(sheet.size(), CV_32F, cv::Scalar(1.0F));
  cv::Mat alpha;
  cv::remap(white, alpha, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  cv::Mat region = frame(cv::Rect(cv::Point(x0, y0), box));
  for (int r = 0; r < box.height; ++r) {
    const cv::Vec3b* page = drawn.ptr<cv::Vec3b>(r);
    const float* a = alpha.ptr<float>(r);
    cv::Vec3b* out = region.ptr<cv::Vec3b>(r);
    for (int c = 0; c < box.width; ++c) {
      const float k = a[c];
      if (k <= 0) continue;
      for (int ch = 0; ch < 3; ++ch) {
        out[c][ch] = cv::saturate_cast<uchar>(k * page[c][ch] * shade[static_cast<size_t>(c)] +
                                              (1 - k) * out[c][ch]);
      }
    }
  }
}

// The stacked page edges beyond a page's fore-edge: a band as tall as the
// fore-edge where it meets it, narrowing to the desk-level page's height,
// of fine lines along the edge in the paper's colour, a little darker than
// the page (they face the light less).
void DrawEdgeBand(cv::Mat& frame, const Profile& profile, double height, double focal, int side,
                  double band, const cv::Scalar& paper) {
  const double cx = frame.cols / 2.0;
  const double cy = frame.rows / 2.0;
  const double edgeZ = profile.z.back();
  const double edgeX = cx + side * focal * profile.x.back() / (focal - edgeZ);
  const double edgeHalf = 0.5 * height * focal / (focal - edgeZ);
  const double endHalf = 0.5 * height;
  for (int k = 0; k <= static_cast<int>(band); ++k) {
    const int x = static_cast<int>(std::lround(edgeX + side * (k + 0.5)));
    if (x < 0 || x >= frame.cols) continue;
    const double t = k / std::max(1.0, band);
    const double half = edgeHalf + t * (endHalf - edgeHalf);
    // Each sheet's edge a bright line, the gaps between them darker.
    const double stripe = 0.5 + 0.5 * std::cos(2 * CV_PI * k / 3.3 + 1.7 * std::sin(0.37 * k));
    const double light = 0.62 + 0.18 * stripe - 0.08 * t;
    const int y0 = std::max(0, static_cast<int>(std::lround(cy - half)));
    const int y1 = std::min(frame.rows - 1, static_cast<int>(std::lround(cy + half)));
    for (int y = y0; y <= y1; ++y) {
      cv::Vec3b& p = frame.at<cv::Vec3b>(y, x);
      for (int ch = 0; ch < 3; ++ch) p[ch] = cv::saturate_cast<uchar>(paper[ch] * light);
    }
  }
}

}  // namespace

cv::Size2d CurvedBookPageSize(cv::Size frameSize, const CurvedBook& book) {
  const double width = book.pageWidthShare * frameSize.width;
  const double height =
      book.left.empty() ? width * 1.4 : width * book.left.rows / std::max(1, book.left.cols);
  return {width, height};
}

void DrawCurvedBook(cv::Mat& frame, const CurvedBook& book) {
  if (frame.empty() || book.left.empty() || book.right.empty()) return;
  const cv::Size2d page = CurvedBookPageSize(frame.size(), book);
  const double focal = Focal(frame, book);
  const Profile profile = PageProfile(page.width, book.lift);
  // The cover lies on the desk, a little larger than the pages and the
  // band of their edges.
  const double band = book.edgeBand * page.width;
  const double margin = 0.03 * page.width;
  double reach = profile.x.back();
  if (band > 0) reach = focal * reach / (focal - profile.z.back()) + band;
  const cv::Point2d centre(frame.cols / 2.0, frame.rows / 2.0);
  const cv::Rect cover(cv::Point(static_cast<int>(centre.x - reach - margin),
                                 static_cast<int>(centre.y - page.height / 2 - margin)),
                       cv::Point(static_cast<int>(centre.x + reach + margin),
                                 static_cast<int>(centre.y + page.height / 2 + margin)));
  cv::rectangle(frame, cover, book.cover, cv::FILLED);
  if (band > 0) {
    // The paper's colour: the sheet's brightest common level.
    const cv::Scalar paper = cv::mean(book.left, ToGreyMask(book.left));
    DrawEdgeBand(frame, profile, page.height, focal, -1, band, paper);
    DrawEdgeBand(frame, profile, page.height, focal, +1, band, paper);
  }
  DrawPage(frame, book.left, profile, page.height, focal, -1,
           {book.leftGutterDepth, book.leftGutterReach});
  DrawPage(frame, book.right, profile, page.height, focal, +1,
           {book.gutterDepth, book.gutterReach});
}

}  // namespace tavrin::lens
