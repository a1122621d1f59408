#include "quality_book.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "lens/src/virtual/curved_book.h"
#include "quality_scene.h"
#include "quality_scoring.h"

namespace tavrin::quality {

namespace {

// Lens blur and sensor noise, as DrawFrame adds them.
void AddSensor(cv::Mat& image, cv::RNG& rng) {
  cv::Mat f;
  image.convertTo(f, CV_32FC3);
  cv::GaussianBlur(f, f, cv::Size(0, 0), 1.1);
  cv::Mat noise(f.size(), CV_32FC3);
  rng.fill(noise, cv::RNG::NORMAL, 0, 1);
  cv::Mat spread;
  cv::sqrt(cv::max(f, 1.0), spread);
  f += noise.mul(spread * 0.25 + 1.5);
  f.convertTo(image, CV_8UC3);
}

}  // namespace

// The spread as the camera above the open book sees it.
cv::Mat DrawBookFrame(const cv::Mat& left, const cv::Mat& right, const BookScene& scene,
                      unsigned seed) {
  cv::RNG rng(seed);
  cv::Mat frame = DrawDesk("dark-wood", rng);
  tavrin::lens::CurvedBook book;
  book.left = left;
  book.right = right;
  book.pageWidthShare = kBookPageShare;
  book.lift = scene.lift;
  book.edgeBand = scene.edgeBand;
  book.leftGutterDepth = scene.leftGutterDepth;
  book.leftGutterReach = scene.leftGutterReach;
  book.focalPixels = FocalPixels();
  tavrin::lens::DrawCurvedBook(frame, book);
  AddSensor(frame, rng);
  return frame;
}

// One of the pages laid flat where the book lay, at the same scale and
// under the same light: what the flattened page should read like.
cv::Mat DrawFlatPageFrame(const cv::Mat& page, unsigned seed) {
  cv::RNG rng(seed);
  cv::Mat frame = DrawDesk("dark-wood", rng);
  const double width = kBookPageShare * kFrame.width;
  cv::Mat scaled;
  cv::resize(page, scaled,
             cv::Size(static_cast<int>(width),
                      static_cast<int>(width * kBookPageHeightMm / kBookPageWidthMm)),
             0, 0, cv::INTER_AREA);
  scaled.copyTo(frame(cv::Rect((kFrame.width - scaled.cols) / 2, (kFrame.height - scaled.rows) / 2,
                               scaled.cols, scaled.rows)));
  AddSensor(frame, rng);
  return frame;
}

// How far the worst text line bows away from straight, in mm: each line's
// ink is joined along its length, its baseline followed in steps of 8 mm
// (the commonest of the columns' lowest ink), a
// straight line fitted, and the bow is the farthest the followed baseline
// strays from it. Lines shorter than half the page's width (a paragraph's
// last) are left out: they say little about the bow. -1 when no line is
// long enough.
double WorstBaselineBow(const cv::Mat& grey, double widthMm, int* lines) {
  const double pxPerMm = grey.cols / widthMm;
  const cv::Mat ink = InkMask(grey);
  cv::Mat joined;
  cv::dilate(ink, joined,
             cv::getStructuringElement(cv::MORPH_RECT,
                                       cv::Size(std::max(3, static_cast<int>(3 * pxPerMm)), 1)));
  cv::Mat labels;
  cv::Mat stats;
  cv::Mat centroids;
  const int count = cv::connectedComponentsWithStats(joined, labels, stats, centroids, 8, CV_32S);
  double worst = -1;
  *lines = 0;
  const int step = std::max(4, static_cast<int>(8 * pxPerMm));
  for (int i = 1; i < count; ++i) {
    const cv::Rect box(stats.at<int>(i, cv::CC_STAT_LEFT), stats.at<int>(i, cv::CC_STAT_TOP),
                       stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT));
    if (box.width < grey.cols / 2 || box.height > 20 * pxPerMm) continue;
    std::vector<cv::Point2d> points;
    for (int x0 = box.x; x0 + step <= box.br().x; x0 += step) {
      std::vector<int> bottoms;
      for (int x = x0; x < x0 + step; ++x) {
        for (int y = box.br().y - 1; y >= box.y; --y) {
          if (ink.at<uchar>(y, x) != 0 && labels.at<int>(y, x) == i) {
            bottoms.push_back(y);
            break;
          }
        }
      }
      if (static_cast<int>(bottoms.size()) < step / 3) continue;
      // Most letters end on the baseline; descenders end below it and
      // the arms of r, f or T above it: the commonest bottom is the
      // baseline.
      std::map<int, int> histogram;
      for (const int y : bottoms) ++histogram[y];
      double best = -1;
      double baseline = 0;
      for (const auto& [y, n] : histogram) {
        const int below = histogram.count(y - 1) ? histogram[y - 1] : 0;
        const int above = histogram.count(y + 1) ? histogram[y + 1] : 0;
        const double near = n + below + above;
        if (near > best) {
          best = near;
          baseline = (y * n + (y - 1.0) * below + (y + 1.0) * above) / near;
        }
      }
      points.emplace_back(x0 + step / 2.0, baseline);
    }
    if (points.size() < 5) continue;
    cv::Vec4f fit;
    cv::fitLine(points, fit, cv::DIST_L2, 0, 0.01, 0.01);
    double bow = 0;
    for (const cv::Point2d& p : points) {
      bow = std::max(bow, std::abs((p.x - fit[2]) * fit[1] - (p.y - fit[3]) * fit[0]));
    }
    worst = std::max(worst, bow / pxPerMm);
    ++*lines;
  }
  return worst;
}

BookPageScore ScoreBookPage(const fs::path& file, const std::string& truth, bool geometry) {
  BookPageScore score;
  score.cer = CharacterErrorRate(truth, Ocr(file));
  if (geometry) {
    const cv::Mat grey = LoadGrey(file);
    score.bow = WorstBaselineBow(grey, kBookPageWidthMm, &score.lines);
    score.aspect = Measure(grey, kBookPageMm).aspect;
  }
  return score;
}

}  // namespace tavrin::quality
