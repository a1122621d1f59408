#include "lens/src/stages/watermark.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include <QColor>
#include <QCoreApplication>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QTransform>
#include <opencv2/imgproc.hpp>

#include "lens/src/stages/text_raster.h"

namespace tavrin::lens {

static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "the alpha of ARGB32 words is their fourth byte");

namespace {

constexpr double kPointsPerInch = 72.0;
constexpr int kMiddlePosition = 4;
// Distance from the image edge to a watermark in an edge cell, as a part of
// the shorter side.
constexpr double kEdgeMargin = 0.02;
// A watermark never grows beyond this part of the image, so that a large
// size on a small picture still shows the whole text.
constexpr double kMaxImageShare = 0.96;
// Text is measured at this pixel size at most before it is drawn at the
// size it is to have.
constexpr long kMeasurePixels = 64;
// Families tried, in order, when the requested one is not installed.
// fonts-liberation2 provides the first; the others cover other set-ups.
constexpr const char* kFallbackFamilies[] = {"Liberation Sans", "DejaVu Sans", "Noto Sans"};

// An 8 x 8 ordered dither: the order in which the cells of a tile turn
// black as the opacity rises, spread so that every level is an even
// pattern rather than a clump.
constexpr int kBayer8[8][8] = {{0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
                               {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
                               {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
                               {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21}};

bool HaveGui() {
  // A plain QCoreApplication has no font database either.
  return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

// The text upright through Qt: its coverage is the alpha of white text
// drawn on a transparent image.
RasterText RasterizeWithQt(const QString& text, const TextStyle& style) {
  QFont font(QString::fromStdString(ResolveFontFamily(style.family)));
  font.setBold(style.bold);
  font.setItalic(style.italic);
  font.setUnderline(style.underline);
  font.setPixelSize(style.pixelSize);
  const QFontMetricsF metrics(font);
  RasterText raster;
  raster.advance = metrics.horizontalAdvance(text);
  raster.ascent = metrics.ascent();
  raster.descent = metrics.descent();
  const double height = raster.ascent + raster.descent;
  const cv::Point margin = TextMargins(height);
  const int marginX = margin.x;
  const int marginY = margin.y;
  raster.origin = cv::Point2d(marginX, marginY);
  cv::Mat canvas =
      cv::Mat::zeros(static_cast<int>(std::ceil(height)) + 2 * marginY,
                     static_cast<int>(std::ceil(raster.advance)) + 2 * marginX, CV_8UC4);
  QImage target(canvas.data, canvas.cols, canvas.rows, static_cast<qsizetype>(canvas.step),
                QImage::Format_ARGB32_Premultiplied);
  {
    QPainter painter(&target);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(QColor(255, 255, 255));
    painter.setFont(font);
    painter.drawText(QPointF(marginX, marginY + raster.ascent), text);
  }
  cv::extractChannel(canvas, raster.coverage, 3);
  return raster;
}

std::optional<RasterText> Rasterize(const std::string& text, const TextStyle& style) {
  if (HaveGui()) return RasterizeWithQt(QString::fromUtf8(text.c_str()), style);
  return RasterizeText(text, style);
}

QRectF RotatedBox(const RasterText& raster, double angleDegrees) {
  const QRectF local(-raster.advance / 2, -(raster.ascent + raster.descent) / 2, raster.advance,
                     raster.ascent + raster.descent);
  return QTransform().rotate(-angleDegrees).mapRect(local);
}

// Blends colour into image by coverage times opacity.
void Blend(cv::Mat& image, const cv::Mat& coverage, double opacity, const cv::Scalar& bgr) {
  const double grey = 0.114 * bgr[0] + 0.587 * bgr[1] + 0.299 * bgr[2];
  for (int y = 0; y < image.rows; ++y) {
    const uchar* a = coverage.ptr<uchar>(y);
    uchar* p = image.ptr<uchar>(y);
    for (int x = 0; x < image.cols; ++x) {
      if (a[x] == 0) continue;
      const double weight = opacity * a[x] / 255.0;
      if (image.channels() == 1) {
        p[x] = cv::saturate_cast<uchar>(p[x] * (1 - weight) + grey * weight);
      } else {
        for (int c = 0; c < 3; ++c) {
          p[3 * x + c] = cv::saturate_cast<uchar>(p[3 * x + c] * (1 - weight) + bgr[c] * weight);
        }
      }
    }
  }
}

// Black dots where coverage times opacity passes the dither level of the
// pixel; origin anchors the pattern to the whole image.
void Halftone(cv::Mat& image, const cv::Mat& coverage, double opacity, cv::Point origin) {
  for (int y = 0; y < image.rows; ++y) {
    const uchar* a = coverage.ptr<uchar>(y);
    uchar* p = image.ptr<uchar>(y);
    for (int x = 0; x < image.cols; ++x) {
      if (a[x] == 0) continue;
      const double level = opacity * a[x] / 255.0;
      const double cut = (kBayer8[(origin.y + y) & 7][(origin.x + x) & 7] + 0.5) / 64.0;
      if (level > cut) {
        for (int c = 0; c < image.channels(); ++c) p[image.channels() * x + c] = 0;
      }
    }
  }
}

double CellCentre(int cell, double extent, double boxExtent, double margin) {
  switch (cell) {
    case 0:
      return margin + boxExtent / 2;
    case 2:
      return extent - margin - boxExtent / 2;
    default:
      return extent / 2;
  }
}

}  // namespace

int NormalizeWatermarkPosition(int position) {
  return position >= 0 && position <= 8 ? position : kMiddlePosition;
}

std::string ResolveFontFamily(const std::string& requested) {
  const QString family = QString::fromUtf8(requested.c_str());
  if (!family.isEmpty() && QFontDatabase::hasFamily(family)) return requested;
  for (const char* fallback : kFallbackFamilies) {
    if (QFontDatabase::hasFamily(QString::fromLatin1(fallback))) return fallback;
  }
  return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family().toStdString();
}

WatermarkResult DrawWatermark(cv::Mat& image, const WatermarkOptions& options, int dpiX, int dpiY,
                              WatermarkInk ink) {
  const double transparency =
      std::clamp(static_cast<double>(options.transparencyPercent), 0.0, 100.0);
  if (!options.enable || options.text.empty() || transparency >= 100.0 || image.empty() ||
      options.fontSize <= 0) {
    return WatermarkResult::kNothingToDraw;
  }

  const double dpi = std::max(1, (dpiX + dpiY) / 2);
  TextStyle style;
  style.family = options.fontName;
  style.bold = options.bold;
  style.italic = options.italic;
  style.underline = options.underline;
  const double wanted = static_cast<double>(options.fontSize) * dpi / kPointsPerInch;
  const double angle = options.angleDegrees;
  // The size is measured small first and the text drawn once at the size
  // that fits: drawn as asked first, a size of thousands of points is a
  // raster of gigabytes before it is ever fitted to the picture.
  style.pixelSize = static_cast<int>(std::clamp(std::lround(wanted), 1L, kMeasurePixels));
  auto raster = Rasterize(options.text, style);
  if (!raster) return WatermarkResult::kNoFonts;
  QRectF rotated = RotatedBox(*raster, angle);
  const double scale = std::max(1.0, wanted / style.pixelSize);
  const double fit = std::min({scale, kMaxImageShare * image.cols / std::max(1.0, rotated.width()),
                               kMaxImageShare * image.rows / std::max(1.0, rotated.height())});
  const int fitted = std::max(1, static_cast<int>(std::floor(style.pixelSize * fit)));
  if (fitted != style.pixelSize) {
    style.pixelSize = fitted;
    raster = Rasterize(options.text, style);
    if (!raster) return WatermarkResult::kNoFonts;
    rotated = RotatedBox(*raster, angle);
  }

  const int position = NormalizeWatermarkPosition(options.position);
  const double margin = kEdgeMargin * std::min(image.cols, image.rows);
  const double centreX = CellCentre(position % 3, image.cols, rotated.width(), margin);
  const double centreY = CellCentre(position / 3, image.rows, rotated.height(), margin);

  // The raster's own box centre goes to the cell's centre, turned
  // counter-clockwise on screen (y grows downwards).
  const cv::Point2d boxCentre =
      raster->origin + cv::Point2d(raster->advance / 2, (raster->ascent + raster->descent) / 2);
  const double radians = angle * CV_PI / 180.0;
  const double c = std::cos(radians);
  const double s = std::sin(radians);
  cv::Matx23d toImage(c, s, 0, -s, c, 0);
  toImage(0, 2) = centreX - (c * boxCentre.x + s * boxCentre.y);
  toImage(1, 2) = centreY - (-s * boxCentre.x + c * boxCentre.y);
  const bool upright = std::abs(s) < 1e-9 && c > 0;
  if (upright) {
    // Upright text lands on whole pixels, keeping the glyphs' own
    // antialiasing instead of resampling it.
    toImage(0, 2) = std::round(toImage(0, 2));
    toImage(1, 2) = std::round(toImage(1, 2));
  }
  const cv::Size rasterSize = raster->coverage.size();
  std::vector<cv::Point2f> rasterCorners{
      {0, 0},
      {static_cast<float>(rasterSize.width), 0},
      {static_cast<float>(rasterSize.width), static_cast<float>(rasterSize.height)},
      {0, static_cast<float>(rasterSize.height)}};
  std::vector<cv::Point2f> imageCorners;
  cv::transform(rasterCorners, imageCorners, cv::Mat(toImage));
  const cv::Rect region =
      (cv::boundingRect(imageCorners) + cv::Size(2, 2)) & cv::Rect(0, 0, image.cols, image.rows);
  if (region.empty()) return WatermarkResult::kNothingToDraw;

  cv::Matx23d toRegion = toImage;
  toRegion(0, 2) -= region.x;
  toRegion(1, 2) -= region.y;
  cv::Mat coverage;
  const double shiftX = toRegion(0, 2);
  const double shiftY = toRegion(1, 2);
  if (upright) {
    coverage = cv::Mat::zeros(region.size(), CV_8UC1);
    const cv::Rect placed(static_cast<int>(shiftX), static_cast<int>(shiftY), rasterSize.width,
                          rasterSize.height);
    const cv::Rect inside = placed & cv::Rect(0, 0, region.width, region.height);
    if (!inside.empty()) {
      raster->coverage(cv::Rect(inside.tl() - placed.tl(), inside.size())).copyTo(coverage(inside));
    }
  } else {
    cv::warpAffine(raster->coverage, coverage, cv::Mat(toRegion), region.size(), cv::INTER_LINEAR,
                   cv::BORDER_CONSTANT, cv::Scalar(0));
  }

  cv::Mat roi = image(region);
  const double opacity = 1.0 - transparency / 100.0;
  if (ink == WatermarkInk::kHalftoneBlack) {
    Halftone(roi, coverage, opacity, region.tl());
  } else {
    Blend(roi, coverage, opacity,
          cv::Scalar(std::clamp(options.blue, 0, 255), std::clamp(options.green, 0, 255),
                     std::clamp(options.red, 0, 255)));
  }
  return WatermarkResult::kDrawn;
}

}  // namespace tavrin::lens
