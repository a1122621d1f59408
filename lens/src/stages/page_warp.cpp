// The straightening half of page_detect.h: one perspective warp from the
// found quadrilateral, with the desk inside it painted as paper on request.
#include "lens/src/stages/page_detect.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "lens/src/memory/large_picture.h"
#include "lens/src/stages/geometry.h"

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
  cv::Mat out = NewPicture(outSize, image.type());
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

}  // namespace tavrin::lens
