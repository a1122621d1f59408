#include "lens/src/stages/combine.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>

#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QString>

#include "lens/include/TavrinLens.h"
#include "lens/src/encode.h"

namespace tavrin::lens {

namespace {

// A combined picture larger than this is refused: it would take gigabytes
// and no viewer would show it.
constexpr qint64 kMaxCanvasPixels = 256LL * 1000 * 1000;
constexpr double kMetersPerInch = 0.0254;

int DpiFromDotsPerMeter(int dotsPerMeter) {
  return static_cast<int>(std::lround(dotsPerMeter * kMetersPerInch));
}

struct Placement {
  QSize canvas;
  QRect firstRect;
  QRect secondRect;
};

bool IsLeftOrRight(int mode) {
  return mode == kTavrinMergeLeftUpper || mode == kTavrinMergeRightUpper ||
         mode == kTavrinMergeRightLower || mode == kTavrinMergeLeftLower;
}

QSize OutsideSize(QSize first, QSize second, int mode, int w, int h) {
  if (w > 0 && h > 0) return {w, h};
  if (IsLeftOrRight(mode)) {
    const double width = static_cast<double>(second.width()) * first.height() / second.height();
    return {std::max(1, static_cast<int>(std::lround(width))), first.height()};
  }
  const double height = static_cast<double>(second.height()) * first.width() / second.width();
  return {first.width(), std::max(1, static_cast<int>(std::lround(height)))};
}

std::optional<Placement> Place(QSize first, QSize second, int mode, int x, int y, int w, int h) {
  Placement placement;
  if (mode == kTavrinMergeInside) {
    if (w <= 0 || h <= 0) return std::nullopt;
    placement.canvas = first;
    placement.firstRect = QRect(QPoint(0, 0), first);
    placement.secondRect = QRect(x, y, w, h);
    return placement;
  }
  if (mode < kTavrinMergeLeftUpper || mode > kTavrinMergeLeftLower) return std::nullopt;
  const QSize inset = OutsideSize(first, second, mode, w, h);
  if (IsLeftOrRight(mode)) {
    const bool left = mode == kTavrinMergeLeftUpper || mode == kTavrinMergeLeftLower;
    const bool upper = mode == kTavrinMergeLeftUpper || mode == kTavrinMergeRightUpper;
    placement.canvas =
        QSize(first.width() + inset.width(), std::max(first.height(), inset.height()));
    placement.firstRect = QRect(QPoint(left ? inset.width() : 0, 0), first);
    placement.secondRect = QRect(
        QPoint(left ? 0 : first.width(), upper ? 0 : placement.canvas.height() - inset.height()),
        inset);
  } else {
    const bool above = mode == kTavrinMergeAboveLeft || mode == kTavrinMergeAboveRight;
    const bool leftPart = mode == kTavrinMergeAboveLeft || mode == kTavrinMergeBelowLeft;
    placement.canvas =
        QSize(std::max(first.width(), inset.width()), first.height() + inset.height());
    placement.firstRect = QRect(QPoint(0, above ? inset.height() : 0), first);
    placement.secondRect = QRect(
        QPoint(leftPart ? 0 : placement.canvas.width() - inset.width(), above ? 0 : first.height()),
        inset);
  }
  return placement;
}

QImage Decode(const std::string& path) {
  QImageReader reader(QString::fromUtf8(path.c_str()));
  return reader.read();
}

int Combine(const std::string& first, const std::string& second, const std::string& output,
            int mode, int x, int y, int w, int h) {
  if (FormatForPath(output) == ImageFormat::kUnsupported) return kCombineBadOutputType;
  const QImage firstImage = Decode(first);
  if (firstImage.isNull()) return kCombineFirstUnreadable;
  const QImage secondImage = Decode(second);
  if (secondImage.isNull()) return kCombineSecondUnreadable;

  const auto placement = Place(firstImage.size(), secondImage.size(), mode, x, y, w, h);
  if (!placement) return kCombineBadPlacement;
  const qint64 canvasPixels =
      static_cast<qint64>(placement->canvas.width()) * placement->canvas.height();
  const qint64 secondPixels =
      static_cast<qint64>(placement->secondRect.width()) * placement->secondRect.height();
  if (canvasPixels > kMaxCanvasPixels || secondPixels > kMaxCanvasPixels) {
    return kCombineBadPlacement;
  }

  QImage canvas(placement->canvas, QImage::Format_RGB32);
  if (canvas.isNull()) return kCombineWriteFailed;
  canvas.fill(Qt::white);
  {
    QPainter painter(&canvas);
    painter.drawImage(placement->firstRect.topLeft(), firstImage);
    painter.drawImage(placement->secondRect.topLeft(),
                      secondImage.scaled(placement->secondRect.size(), Qt::IgnoreAspectRatio,
                                         Qt::SmoothTransformation));
  }
  const int dpiX = DpiFromDotsPerMeter(firstImage.dotsPerMeterX());
  const int dpiY = DpiFromDotsPerMeter(firstImage.dotsPerMeterY());
  return WriteImageFile(output, canvas, dpiX, dpiY) ? kCombineWritten : kCombineWriteFailed;
}

}  // namespace

int CombineImages(const std::string& first, const std::string& second, const std::string& output,
                  int mode, int x, int y, int w, int h) {
  try {
    return Combine(first, second, output, mode, x, y, w, h);
  } catch (const std::bad_alloc&) {
    // Qt reports most allocation failures as null images, but not all.
    return kCombineWriteFailed;
  }
}

}  // namespace tavrin::lens
