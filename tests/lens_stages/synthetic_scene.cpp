#include "tests/lens_stages/synthetic_scene.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include <opencv2/imgproc.hpp>

namespace tavrin::lens::synthetic {

namespace {

cv::Point2f Rotated(cv::Point2f local, const DrawnPage& page) {
  const double radians = page.angleDegrees * CV_PI / 180.0;
  // Counter-clockwise on screen, where y grows downwards.
  const double c = std::cos(radians);
  const double s = std::sin(radians);
  return {static_cast<float>(page.centre.x + local.x * c + local.y * s),
          static_cast<float>(page.centre.y - local.x * s + local.y * c)};
}

constexpr const char* kWords[] = {"scan",  "page", "camera", "document", "light",  "paper",
                                  "the",   "of",   "and",    "capture",  "window", "desk",
                                  "image", "to",   "record", "a",        "files",  "settings",
                                  "text",  "with", "in",     "lines",    "every",  "copy"};

// The page upright, as printed: a heading and lines of words.
cv::Mat RenderUprightPage(const DrawnPage& page) {
  const cv::Size size(std::max(8, cvRound(page.size.width)),
                      std::max(8, cvRound(page.size.height)));
  cv::Mat sheet(size, CV_8UC3, page.colour);
  if (!page.text) return sheet;
  const double margin = 0.1 * std::min(size.width, size.height);
  const double lineStep = std::max(6.0, size.height / 30.0);
  const double scale = lineStep / 40.0;
  const int thickness = std::max(1, cvRound(lineStep / 14.0));
  // The heading: larger and bolder than the text.
  double y = margin + lineStep * 1.2;
  cv::putText(sheet, "Tavrin Report", cv::Point(cvRound(margin), cvRound(y)),
              cv::FONT_HERSHEY_DUPLEX, scale * 2.0, kInkColour, thickness * 3, cv::LINE_AA);
  y += lineStep * 1.2;
  int word = 0;
  for (int line = 0; y + lineStep < size.height - margin; ++line, y += lineStep) {
    double x = margin;
    const double lineEnd = (line % 6 == 5) ? size.width * 0.55 : size.width - margin;
    while (true) {
      const char* text = kWords[(word * 7 + line * 3) % std::size(kWords)];
      int baseline = 0;
      const cv::Size extent =
          cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, scale, thickness, &baseline);
      if (x + extent.width > lineEnd) break;
      cv::putText(sheet, text, cv::Point(cvRound(x), cvRound(y)), cv::FONT_HERSHEY_SIMPLEX, scale,
                  kInkColour, thickness, cv::LINE_AA);
      x += extent.width + lineStep * 0.35;
      ++word;
    }
    if (line % 6 == 5) y += lineStep * 0.6;  // a paragraph break
  }
  return sheet;
}

// Lays the upright page onto the scene, turned and placed, with soft edges.
void LayPage(cv::Mat& scene, const DrawnPage& page) {
  const cv::Mat sheet = RenderUprightPage(page);
  cv::Mat shape(sheet.size(), CV_8UC1, cv::Scalar(255));
  if (page.cutCorner > 0) {
    const std::vector<cv::Point> corner{{0, 0},
                                        {cvRound(page.cutCorner * sheet.cols), 0},
                                        {0, cvRound(page.cutCorner * sheet.rows)}};
    cv::fillConvexPoly(shape, corner, cv::Scalar(0), cv::LINE_AA);
  }
  const auto corners = PageCorners(page);
  // Pixel centres, not pixel edges, are what the warp maps.
  const float w = static_cast<float>(sheet.cols);
  const float h = static_cast<float>(sheet.rows);
  const cv::Point2f half(0.5F, 0.5F);
  const cv::Point2f source[4] = {cv::Point2f(0, 0) - half, cv::Point2f(w, 0) - half,
                                 cv::Point2f(w, h) - half, cv::Point2f(0, h) - half};
  const cv::Point2f target[4] = {corners[0] - half, corners[1] - half, corners[2] - half,
                                 corners[3] - half};
  const cv::Mat toScene = cv::getPerspectiveTransform(source, target);
  cv::Mat laid;
  cv::Mat alpha;
  cv::warpPerspective(sheet, laid, toScene, scene.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  cv::warpPerspective(shape, alpha, toScene, scene.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                      cv::Scalar(0));
  cv::Mat alphaF;
  alpha.convertTo(alphaF, CV_32F, 1.0 / 255);
  cv::cvtColor(alphaF, alphaF, cv::COLOR_GRAY2BGR);
  cv::Mat sceneF;
  cv::Mat laidF;
  scene.convertTo(sceneF, CV_32FC3);
  laid.convertTo(laidF, CV_32FC3);
  sceneF = sceneF.mul(cv::Scalar::all(1.0) - alphaF) + laidF.mul(alphaF);
  sceneF.convertTo(scene, CV_8UC3);
}

}  // namespace

std::array<cv::Point2f, 4> PageCorners(const DrawnPage& page) {
  if (page.projected) return *page.projected;
  const float hw = page.size.width / 2;
  const float hh = page.size.height / 2;
  return {Rotated({-hw, -hh}, page), Rotated({hw, -hh}, page), Rotated({hw, hh}, page),
          Rotated({-hw, hh}, page)};
}

cv::Mat DrawScene(cv::Size size, const std::vector<DrawnPage>& pages, unsigned noiseSeed,
                  const Desk& desk) {
  cv::Mat scene(size, CV_8UC3, desk.colour);
  // A soft vertical gradient, as the light on a desk falls off.
  for (int y = 0; y < size.height; ++y) {
    const double factor = 0.9 + 0.2 * y / std::max(1, size.height - 1);
    cv::Mat row = scene.row(y);
    row *= factor;
  }
  for (const DrawnPage& page : pages) LayPage(scene, page);
  if (desk.lamp > 0) {
    const double reach = 0.6 * std::hypot(size.width, size.height);
    for (int y = 0; y < size.height; ++y) {
      cv::Vec3b* row = scene.ptr<cv::Vec3b>(y);
      for (int x = 0; x < size.width; ++x) {
        const double r = std::hypot(x, y) / reach;
        const double factor = (1.0 + desk.lamp * std::exp(-r * r)) / (1.0 + desk.lamp);
        for (int c = 0; c < 3; ++c) row[x][c] = cv::saturate_cast<uchar>(row[x][c] * factor);
      }
    }
  }
  cv::Mat noise(size, CV_16SC3);
  cv::RNG rng(noiseSeed);
  rng.fill(noise, cv::RNG::NORMAL, 0, 3);
  cv::Mat scene16;
  scene.convertTo(scene16, CV_16SC3);
  scene16 += noise;
  scene16.convertTo(scene, CV_8UC3);
  return scene;
}

DrawnPage DocumentPage(cv::Size frameSize, float angleDegrees) {
  DrawnPage page;
  page.centre = cv::Point2f(frameSize.width * 0.52F, frameSize.height * 0.5F);
  const float height = frameSize.height * 0.78F;
  page.size = cv::Size2f(height / 1.4142F, height);  // A4 upright
  page.angleDegrees = angleDegrees;
  return page;
}

std::vector<DrawnPage> ThreeCards(cv::Size frameSize) {
  const float w = static_cast<float>(frameSize.width);
  const float h = static_cast<float>(frameSize.height);
  DrawnPage first;
  first.centre = {w * 0.22F, h * 0.3F};
  first.size = {w * 0.3F, w * 0.19F};
  first.angleDegrees = 6;
  first.colour = cv::Scalar(250, 250, 250);
  DrawnPage second;
  second.centre = {w * 0.7F, h * 0.28F};
  second.size = {w * 0.26F, w * 0.17F};
  second.angleDegrees = -9;
  second.colour = cv::Scalar(200, 235, 250);  // cream
  DrawnPage third;
  third.centre = {w * 0.45F, h * 0.74F};
  third.size = {w * 0.34F, w * 0.2F};
  third.angleDegrees = 3;
  third.colour = cv::Scalar(250, 225, 205);  // pale blue
  return {first, second, third};
}

std::vector<DrawnPage> BookSpread(cv::Size frameSize) {
  const float w = static_cast<float>(frameSize.width);
  const float h = static_cast<float>(frameSize.height);
  const float pageHeight = h * 0.74F;
  const float pageWidth = pageHeight * 0.68F;
  const float angle = 2.0F;
  DrawnPage left;
  left.size = {pageWidth, pageHeight};
  left.angleDegrees = angle;
  left.centre = {w * 0.5F, h * 0.5F};
  DrawnPage right = left;
  // Each page sits half a page width from the spine, along the turned axis.
  const double radians = angle * CV_PI / 180.0;
  const cv::Point2f along(static_cast<float>(std::cos(radians)),
                          static_cast<float>(-std::sin(radians)));
  left.centre -= along * (pageWidth / 2);
  right.centre += along * (pageWidth / 2);
  right.colour = cv::Scalar(228, 232, 236);
  return {left, right};
}

cv::Mat DrawBookScene(cv::Size size) {
  const std::vector<DrawnPage> pages = BookSpread(size);
  cv::Mat scene = DrawScene(size, pages);
  // The gutter: a shadow along the spine, darkest in its middle.
  const auto leftCorners = PageCorners(pages[0]);
  const cv::Point2f top = leftCorners[1];
  const cv::Point2f bottom = leftCorners[2];
  const float width = pages[0].size.width * 0.03F;
  for (int step = 0; step < 8; ++step) {
    const int shade = 90 + step * 18;
    const int thickness = std::max(1, cvRound(width * (8 - step) / 8));
    cv::line(scene, top, bottom, cv::Scalar(shade, shade, shade), thickness, cv::LINE_AA);
  }
  return scene;
}

void ApplyUnevenLight(cv::Mat& image, double darkestFactor) {
  for (int x = 0; x < image.cols; ++x) {
    const double factor = 1.0 - (1.0 - darkestFactor) * x / std::max(1, image.cols - 1);
    cv::Mat column = image.col(x);
    column *= factor;
  }
}

}  // namespace tavrin::lens::synthetic
