#include "lens/src/stages/watermark.h"

#include <algorithm>
#include <cmath>

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

namespace tavrin::lens {

static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "BGRA bytes are read as ARGB32 words");

namespace {

constexpr double kPointsPerInch = 72.0;
constexpr int kMiddlePosition = 4;
// Distance from the image edge to a watermark in an edge cell, as a part of
// the shorter side.
constexpr double kEdgeMargin = 0.02;
// A watermark never grows beyond this part of the image, so that a large
// size on a small picture still shows the whole text.
constexpr double kMaxImageShare = 0.96;
// Families tried, in order, when the requested one is not installed.
// fonts-liberation2 provides the first; the others cover other set-ups.
constexpr const char* kFallbackFamilies[] = {"Liberation Sans", "DejaVu Sans", "Noto Sans"};

struct Layout {
  QFont font;
  double advance = 0.0;  // width of the text line, pixels
  double ascent = 0.0;
  double descent = 0.0;
  QRectF rotatedBox;  // around the text's centre, after rotation
};

Layout MakeLayout(const QFont& font, const QString& text, double angleDegrees) {
  Layout layout;
  layout.font = font;
  const QFontMetricsF metrics(font);
  layout.advance = metrics.horizontalAdvance(text);
  layout.ascent = metrics.ascent();
  layout.descent = metrics.descent();
  const QRectF local(-layout.advance / 2, -(layout.ascent + layout.descent) / 2, layout.advance,
                     layout.ascent + layout.descent);
  layout.rotatedBox = QTransform().rotate(-angleDegrees).mapRect(local);
  return layout;
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

WatermarkResult DrawWatermark(cv::Mat& image, const WatermarkOptions& options, int dpiX, int dpiY) {
  const double transparency =
      std::clamp(static_cast<double>(options.transparencyPercent), 0.0, 100.0);
  if (!options.enable || options.text.empty() || transparency >= 100.0 || image.empty() ||
      options.fontSize <= 0) {
    return WatermarkResult::kNothingToDraw;
  }
  // A plain QCoreApplication has no font database either.
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
    return WatermarkResult::kNoFonts;
  }

  const QString text = QString::fromUtf8(options.text.c_str());
  const double dpi = std::max(1, (dpiX + dpiY) / 2);
  QFont font(QString::fromStdString(ResolveFontFamily(options.fontName)));
  font.setBold(options.bold);
  font.setItalic(options.italic);
  font.setUnderline(options.underline);
  font.setPixelSize(
      std::max(1, static_cast<int>(std::lround(options.fontSize * dpi / kPointsPerInch))));
  const double angle = options.angleDegrees;
  Layout layout = MakeLayout(font, text, angle);
  const double fit =
      std::min(kMaxImageShare * image.cols / std::max(1.0, layout.rotatedBox.width()),
               kMaxImageShare * image.rows / std::max(1.0, layout.rotatedBox.height()));
  if (fit < 1.0) {
    font.setPixelSize(std::max(1, static_cast<int>(std::floor(font.pixelSize() * fit))));
    layout = MakeLayout(font, text, angle);
  }

  const int position = NormalizeWatermarkPosition(options.position);
  const double margin = kEdgeMargin * std::min(image.cols, image.rows);
  const double centreX = CellCentre(position % 3, image.cols, layout.rotatedBox.width(), margin);
  const double centreY = CellCentre(position / 3, image.rows, layout.rotatedBox.height(), margin);

  // Only the watermark's own rectangle goes through QImage and back.
  const QRectF box = layout.rotatedBox.translated(centreX, centreY).adjusted(-3, -3, 3, 3);
  const cv::Rect region =
      cv::Rect(static_cast<int>(std::floor(box.left())), static_cast<int>(std::floor(box.top())),
               static_cast<int>(std::ceil(box.width())),
               static_cast<int>(std::ceil(box.height()))) &
      cv::Rect(0, 0, image.cols, image.rows);
  if (region.empty()) return WatermarkResult::kNothingToDraw;
  cv::Mat roi = image(region);
  cv::Mat canvas;
  cv::cvtColor(roi, canvas, image.channels() == 1 ? cv::COLOR_GRAY2BGRA : cv::COLOR_BGR2BGRA);
  // BGRA bytes are ARGB32 words on a little-endian machine, all opaque.
  QImage target(canvas.data, canvas.cols, canvas.rows, static_cast<qsizetype>(canvas.step),
                QImage::Format_ARGB32_Premultiplied);
  {
    QPainter painter(&target);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setOpacity(1.0 - transparency / 100.0);
    painter.setPen(QColor(std::clamp(options.red, 0, 255), std::clamp(options.green, 0, 255),
                          std::clamp(options.blue, 0, 255)));
    painter.setFont(layout.font);
    painter.translate(centreX - region.x, centreY - region.y);
    painter.rotate(-angle);
    painter.drawText(QPointF(-layout.advance / 2, (layout.ascent - layout.descent) / 2), text);
  }
  cv::cvtColor(canvas, roi, image.channels() == 1 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGRA2BGR);
  return WatermarkResult::kDrawn;
}

}  // namespace tavrin::lens
